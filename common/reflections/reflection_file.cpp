#include "common/reflections/reflection_file.hpp"

#include <cstdio>
#include <filesystem>

#include "common/failure.hpp"
#include "common/file_names.hpp"
#include "common/reflections/cell_check.hpp"

namespace common::reflections {

bool isMtz(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return false;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;  // the open that follows reports it
    char start[4] = {};
    const size_t got = std::fread(start, 1, 4, file);
    std::fclose(file);
    return got == 4 && std::string_view(start, 4) == "MTZ ";
}

const char* kindName(FileKind kind) {
    switch (kind) {
    case FileKind::xdsMerged: return "XDS_ASCII, merged";
    case FileKind::xdsUnmerged: return "XDS_ASCII, unmerged";
    case FileKind::mtzMerged: return "MTZ, merged";
    case FileKind::mtzUnmerged: return "MTZ, unmerged";
    }
    return "";
}

ReflectionFile::ReflectionFile(const std::string& path, const ReflectionOptions& options) {
    header_.name = path;
    if (!isMtz(path)) {
        xds_.emplace(path);
        header_.name = xds_->name();
        xdsHeader_ = readXdsHeader(*xds_);
        header_.cell = xdsHeader_.cell;
        header_.spaceGroup = gemmi::find_spacegroup_by_number(xdsHeader_.spaceGroupNumber);
        if (header_.spaceGroup == nullptr) {
            common::fail(xds_->name() + ": no space group numbered " + std::to_string(xdsHeader_.spaceGroupNumber));
        }
        checkCellAgainstGroup(xds_->name(), header_.cell, *header_.spaceGroup);
        header_.merged = xdsHeader_.merged;
        header_.kind = header_.merged ? FileKind::xdsMerged : FileKind::xdsUnmerged;
        header_.friedelsLaw = xdsHeader_.friedelsLaw;
        frames_ = options.frames && !header_.merged;
        std::error_code unknown;
        const uintmax_t bytes = std::filesystem::file_size(xds_->name(), unknown);
        header_.recordsAtMost = unknown ? 0 : static_cast<size_t>(bytes / (common::xds_record::kPrintedRecordLength + 1));
        return;
    }
    mtz_ = std::make_unique<MtzHeaders>(readMtzHeaders(path));
    MtzColumns columns = chooseMtzColumns(*mtz_, options.labels);
    header_.cell = mtz_->cell;
    header_.spaceGroup = mtz_->spaceGroup;
    header_.merged = !mtz_->unmerged();
    header_.kind = header_.merged ? FileKind::mtzMerged : FileKind::mtzUnmerged;
    header_.amplitudes = columns.amplitudes;
    // The labels are the mean's two, then the mates' four.
    const std::string& labels = columns.labels;
    const size_t afterMean = columns.value < 0 ? 0 : labels.find(' ', labels.find(' ') + 1);
    if (columns.anomalous() && (options.keepMates || columns.value < 0)) {
        columns.value = columns.sigma = -1;
        header_.friedelsLaw = false;
        header_.columns = afterMean == std::string::npos ? labels : labels.substr(afterMean == 0 ? 0 : afterMean + 1);
    } else {
        columns.plus = columns.sigmaPlus = columns.minus = columns.sigmaMinus = -1;
        header_.columns = labels.substr(0, afterMean);
    }
    // Each row one record, I(+) and I(-) two.
    header_.recordsAtMost = static_cast<size_t>(mtz_->mtz.nreflections) * (header_.friedelsLaw ? 1 : 2);
    mtzObservations_ = std::make_unique<MtzObservations>(*mtz_, columns);
}

ReflectionFile::~ReflectionFile() = default;

bool ReflectionFile::nextOfOtherKind(Observation& observation) {
    if (xds_) return readObservationWithFrame(*xds_, xdsHeader_, observation);
    return mtzObservations_->next(observation);
}

void ReflectionFile::failAtRecord(int first, int last, const std::string& message) const {
    if (xds_) xds_->failAt(first, last, message);
    common::fail("row " + std::to_string(mtzObservations_->rowNumber()) + " of " + common::quoted(header_.name) + ": " +
                 message);
}

}  // namespace common::reflections
