#include "ovostats/input.hpp"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

#include <gemmi/mtz.hpp>

#include "common/failure.hpp"
#include "common/file_names.hpp"
#include "common/input_file.hpp"
#include "common/layout/xds_record.hpp"
#include "common/mtz_input.hpp"

namespace ovostats {

namespace {

namespace xds_record = common::xds_record;

// The value after `keyword` on a header line ("!SPACE_GROUP_NUMBER=   16"),
// the keyword at the line's start after "!" or after a blank; empty when
// the line does not hold it. "! ISET=" lines repeat each input file's
// keywords and are not the data set's.
std::optional<std::string> headerValue(std::string_view line, std::string_view keyword) {
    if (line.size() < 2 || line[0] != '!' || line[1] == ' ') return std::nullopt;
    for (size_t at = line.find(keyword); at != std::string_view::npos; at = line.find(keyword, at + 1)) {
        if (at == 1 || line[at - 1] == ' ') {
            std::string_view rest = line.substr(at + keyword.size());
            return std::string(rest);
        }
    }
    return std::nullopt;
}

class XdsInput final : public ObservationInput {
public:
    explicit XdsInput(const std::string& name) : file_(name) {
        kind = "XDS_ASCII";
        std::string_view line;
        int spaceGroupNumber = 0;
        bool cellRead = false;
        for (;;) {
            if (!file_.next(line)) file_.failEndOfFile("the header's \"!END_OF_HEADER\" line");
            if (xds_record::isEndOfHeader(line)) break;
            if (auto v = headerValue(line, "SPACE_GROUP_NUMBER=")) {
                std::istringstream in(*v);
                if (!(in >> spaceGroupNumber)) file_.failAt(0, 0, "SPACE_GROUP_NUMBER= is not a number");
            }
            if (auto v = headerValue(line, "UNIT_CELL_CONSTANTS=")) {
                std::istringstream in(*v);
                double p[6];
                for (double& x : p) {
                    if (!(in >> x)) file_.failAt(0, 0, "UNIT_CELL_CONSTANTS= is not six numbers");
                }
                cell.set(p[0], p[1], p[2], p[3], p[4], p[5]);
                cellRead = true;
            }
            if (auto v = headerValue(line, "FRIEDEL'S_LAW=")) friedelsLaw = v->substr(0, 4) != "FALS";
            if (auto v = headerValue(line, "MERGE=")) merged = v->substr(0, 4) == "TRUE";
            for (int i = 0; i < 5; ++i) {
                const int32_t place = xds_record::itemPlace(line, xds_record::kItemKeywords[i]);
                if (place != 0 && place != i + 1) {
                    file_.failAt(0, 0, std::string(xds_record::kItemKeywords[i]) + " puts the item elsewhere than " +
                                           std::to_string(i + 1) + ", where this program reads it");
                }
            }
        }
        if (!cellRead || !(cell.volume > 0) || !std::isfinite(cell.volume)) {
            common::fail(file_.name() + ": the header gives no cell (UNIT_CELL_CONSTANTS=) that describes one");
        }
        spaceGroup = gemmi::find_spacegroup_by_number(spaceGroupNumber);
        if (spaceGroupNumber < 1 || spaceGroupNumber > 230 || spaceGroup == nullptr) {
            common::fail(file_.name() + ": the header gives no space group (SPACE_GROUP_NUMBER=) from 1 to 230");
        }
    }

    void forEach(const std::function<void(const Observation&)>& take) override {
        if (passes_++ > 0) {
            file_.rewind();
            std::string_view line;
            while (file_.next(line) && !xds_record::isEndOfHeader(line)) {
            }
        }
        std::string_view line;
        xds_record::Reflection r;
        for (;;) {
            if (!file_.next(line)) file_.failEndOfFile("more observations or the \"!END_OF_DATA\" line");
            if (!xds_record::readGeneralRecord(line, file_, xds_record::OnDamagedRecord::stop, r)) break;
            take(Observation{r.h, r.k, r.l, r.intensity, r.sigma, 0});
        }
    }

private:
    common::InputFile file_;
    int passes_ = 0;
};

class MtzInput final : public ObservationInput {
public:
    explicit MtzInput(const std::string& name) {
        kind = "MTZ";
        const auto refuse = [&](const std::string& why) {
            common::fail("cannot read " + common::quoted(name) + " as an unmerged MTZ file: " + why);
        };
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream(std::fopen(name.c_str(), "rb"), &std::fclose);
        if (!stream) common::fail("cannot open " + common::quoted(name) + " for reading: " + std::strerror(errno));
        struct stat info;
        if (::fstat(::fileno(stream.get()), &info) != 0 || !S_ISREG(info.st_mode)) refuse("not a regular file");
        try {
            gemmi::FileStream input{stream.get()};
            common::readMtzChecked(mtz_, input, static_cast<uint64_t>(info.st_size));
            if (mtz_.is_merged()) refuse("it holds no batches (merged data)");
            if (!mtz_.spacegroup) refuse("no space group is named in it");
            mtz_.switch_to_original_hkl();
        } catch (const common::RunTimeFailure&) {
            throw;
        } catch (const std::exception& error) {
            refuse(error.what());
        }
        cell = mtz_.get_cell();
        if (!(cell.volume > 0) || !std::isfinite(cell.volume) || (cell.a == 1 && cell.b == 1 && cell.c == 1)) {
            refuse("no cell is given");
        }
        spaceGroup = mtz_.spacegroup;
        const gemmi::Mtz::Column* i = mtz_.column_with_label("I");
        const gemmi::Mtz::Column* sigma = mtz_.column_with_label("SIGI");
        const gemmi::Mtz::Column* batch = mtz_.column_with_label("BATCH");
        if (!i || !sigma) refuse("no I and SIGI columns");
        intensity_ = i->idx;
        sigma_ = sigma->idx;
        batch_ = batch ? static_cast<int>(batch->idx) : -1;
        // An unmerged file keeps I+ and I- apart by its M/ISYM column: the
        // statistics keep Friedel mates apart as well, for the anomalous
        // columns.
        friedelsLaw = false;
    }

    void forEach(const std::function<void(const Observation&)>& take) override {
        const size_t columns = mtz_.columns.size();
        for (size_t row = 0; row + columns <= mtz_.data.size(); row += columns) {
            const float* r = &mtz_.data[row];
            take(Observation{static_cast<int32_t>(r[0]), static_cast<int32_t>(r[1]), static_cast<int32_t>(r[2]),
                             r[intensity_], r[sigma_], batch_ >= 0 ? static_cast<int32_t>(r[batch_]) : 0});
        }
    }

private:
    gemmi::Mtz mtz_;
    size_t intensity_ = 0, sigma_ = 0;
    int batch_ = -1;
};

}  // namespace

std::unique_ptr<ObservationInput> openObservations(const std::string& name) {
    char first[4] = {};
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> probe(std::fopen(name.c_str(), "rb"), &std::fclose);
        if (probe && std::fread(first, 1, 4, probe.get()) == 4 && std::memcmp(first, "MTZ ", 4) == 0) {
            return std::make_unique<MtzInput>(name);
        }
    }
    return std::make_unique<XdsInput>(name);
}

}  // namespace ovostats
