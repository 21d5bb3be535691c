// Reading a stage with gemmi, from an MTZ file or from an mmCIF file of
// structure factors as deposited: the header checks, the two columns, and
// the rows reduced to the reflections with both values.
#include "finjoin/stage.hpp"

#include <gemmi/cif.hpp>
#include <gemmi/input.hpp>
#include <gemmi/mmcif_impl.hpp>  // the cell and space group of a block
#include <gemmi/mtz.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "common/hkl_key.hpp"
#include "common/failure.hpp"
#include "common/file_names.hpp"
#include "common/layout/fin_file.hpp"
#include "common/mtz_input.hpp"
#include "common/records.hpp"

namespace finjoin {

namespace {


// gemmi's messages may run over several lines; a report is one.
std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

// An input opened once and read from its descriptor only: a FIFO or a
// pipe (<(zcat x.mtz)) can be read but once, and a file renamed or replaced
// meanwhile is not looked at.
class Descriptor {
public:
    explicit Descriptor(const std::string& file) {
        if (file.empty()) common::fail("cannot open an input file with an empty name");
        if (const std::string fault = common::faultOfFileName(file); !fault.empty()) {
            common::fail("cannot open " + common::quotedStart(file) + " for reading: " + fault);
        }
        fd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            const int error = errno;
            common::fail("cannot open " + common::quoted(file) + " for reading: " + std::strerror(error));
        }
        struct stat info;
        if (::fstat(fd_, &info) == 0) {
            if (S_ISDIR(info.st_mode)) common::fail("cannot open " + common::quoted(file) + " for reading: it is a directory");
            regular_ = S_ISREG(info.st_mode);
            size_ = regular_ && info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
        }
    }
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int fd() const { return fd_; }
    // Handed on to a FILE that closes it.
    int release() { return std::exchange(fd_, -1); }
    // A regular file can be read at any offset, and has a known size.
    bool regular() const { return regular_; }
    uint64_t size() const { return size_; }

private:
    int fd_ = -1;
    bool regular_ = false;
    uint64_t size_ = 0;
};

// Bytes read whole: a compressed file's, or a file that cannot be read at
// an offset. Grown by realloc, which moves large blocks without copying.
class Bytes {
public:
    Bytes() = default;
    ~Bytes() { std::free(data_); }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;

    const char* data() const { return data_; }
    size_t size() const { return size_; }
    bool held() const { return held_; }
    // Room for `more` bytes behind those held.
    char* roomFor(size_t more) {
        held_ = true;
        if (size_ + more > capacity_) {
            const size_t capacity = std::max(size_ + more, 2 * capacity_);
            char* grown = static_cast<char*>(std::realloc(data_, capacity));
            if (!grown) throw std::bad_alloc();
            data_ = grown;
            capacity_ = capacity;
        }
        return data_ + size_;
    }
    void added(size_t count) { size_ += count; }
    void release() {
        std::free(std::exchange(data_, nullptr));
        size_ = capacity_ = 0;
        held_ = false;
    }

private:
    char* data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
    bool held_ = false;
};

constexpr size_t kChunk = 1 << 20;

// Up to `count` bytes, fewer only at the end of the file.
size_t readSome(int fd, char* into, size_t count, const std::string& file) {
    size_t got = 0;
    while (got < count) {
        const ssize_t n = ::read(fd, into + got, count - got);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            common::fail("cannot read " + common::quoted(file) + ": " + std::strerror(error));
        }
        got += static_cast<size_t>(n);
    }
    return got;
}

bool startsAsMtz(const char* bytes, size_t size) { return size >= 4 && std::memcmp(bytes, "MTZ ", 4) == 0; }

// Bytes that are not MTZ must read as mmCIF text, checked as they arrive
// so that an endless stream (/dev/zero, a FIFO fed by `yes`, a huge file of
// one repeated line) ends the read where it goes wrong, in bounded memory:
// no NUL byte; no line longer than kLongestLine; and before the first
// data_ block header only blank and comment lines, at most kLongestHeader
// bytes of them.
constexpr size_t kLongestLine = size_t{1} << 20;
constexpr size_t kLongestHeader = size_t{1} << 20;

class TextCheck {
public:
    explicit TextCheck(const std::string& file) : file_(file) {}

    // Checks bytes[from, size), those before having been checked.
    void check(const Bytes& bytes, size_t from) {
        if (bytes.size() == from || startsAsMtz(bytes.data(), bytes.size())) return;
        const char* data = bytes.data();
        const void* nul = std::memchr(data + from, '\0', bytes.size() - from);
        if (nul) {  // reported first, wherever in these bytes it is
            const auto at = static_cast<size_t>(static_cast<const char*>(nul) - data);
            const std::string_view before(data + lineStart_, at - lineStart_);
            const size_t lineStart = before.rfind('\n') + 1;  // 0 when none
            fail("line " + std::to_string(line_ + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'))) +
                 ", column " + std::to_string(before.size() - lineStart + 1) +
                 " holds a NUL byte (\\x00), which text does not");
        }
        for (size_t at = from; at < bytes.size();) {
            const void* newline = std::memchr(data + at, '\n', bytes.size() - at);
            if (!newline) {
                if (bytes.size() - lineStart_ > kLongestLine) {
                    fail("line " + std::to_string(line_) + " runs past " + std::to_string(kLongestLine >> 20) +
                         " MiB without a line end, which text does not");
                }
                break;
            }
            const auto stop = static_cast<size_t>(static_cast<const char*>(newline) - data);
            if (stop - lineStart_ > kLongestLine) {
                fail("line " + std::to_string(line_) + " is longer than " + std::to_string(kLongestLine >> 20) +
                     " MiB, which text is not");
            }
            if (!headerSeen_) takeHeaderLine(std::string_view(data + lineStart_, stop - lineStart_));
            ++line_;
            lineStart_ = at = stop + 1;
        }
        if (!headerSeen_ && bytes.size() > kLongestHeader) {
            fail("no data_ block header in its first " + std::to_string(kLongestHeader >> 20) + " MiB");
        }
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        common::fail(common::quoted(file_) + " is neither MTZ nor mmCIF: " + what);
    }
    void takeHeaderLine(std::string_view text) {
        if (line_ == 1 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // a UTF-8 byte order mark
        const size_t first = text.find_first_not_of(" \t\r\f\v");
        if (first == std::string_view::npos || text[first] == '#') return;
        text.remove_prefix(first);
        if (gemmi::istarts_with(std::string(text.substr(0, 5)), "data_")) {
            headerSeen_ = true;
            return;
        }
        fail("line " + std::to_string(line_) + " begins " + common::quoted(oneLine(std::string(text.substr(0, 20)))) +
             ", not a data_ block header or a comment");
    }

    const std::string& file_;
    size_t lineStart_ = 0;
    size_t line_ = 1;
    bool headerSeen_ = false;
};

void readRest(int fd, Bytes& bytes, const std::string& file, size_t expected) {
    if (expected > bytes.size()) bytes.roomFor(expected - bytes.size());
    TextCheck text(file);
    text.check(bytes, 0);
    for (;;) {
        const size_t from = bytes.size();
        const size_t got = readSome(fd, bytes.roomFor(kChunk), kChunk, file);
        bytes.added(got);
        text.check(bytes, from);
        if (got < kChunk) return;
    }
}

// A gzip file inflated whole. It must end with a complete member whose
// length and CRC agree with the data (zlib checks both before it reports
// the end of a member); members may follow one another. A file named .gz
// that is not gzip data is taken as it is, as it always was.
void inflateFile(const Descriptor& input, Bytes& out, const std::string& file) {
    std::unique_ptr<char[]> in(new char[kChunk]);
    size_t have = readSome(input.fd(), in.get(), kChunk, file);
    if (have == 0) common::fail("cannot read " + common::quoted(file) + ": the file is empty, not gzip data");
    if (have < 2 || static_cast<unsigned char>(in[0]) != 0x1f || static_cast<unsigned char>(in[1]) != 0x8b) {
        std::memcpy(out.roomFor(have), in.get(), have);
        out.added(have);
        if (have == kChunk) readRest(input.fd(), out, file, input.size());
        return;
    }
    z_stream z = {};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
    struct End {
        z_stream& z;
        ~End() { inflateEnd(&z); }
    } end{z};
    // Room for about the size the last member gives (mod 4 GiB), at most
    // what deflate can reach (1032 to 1).
    if (input.size() > 0 && input.size() < (uint64_t{1} << 40)) {
        unsigned char tail[4];
        if (::pread(input.fd(), tail, 4, static_cast<off_t>(input.size() - 4)) == 4) {
            const uint64_t told = uint64_t{tail[0]} | uint64_t{tail[1]} << 8 | uint64_t{tail[2]} << 16 | uint64_t{tail[3]} << 24;
            if (told <= 1032 * input.size()) out.roomFor(static_cast<size_t>(told) + 1);
        }
    }
    bool memberEnded = false;
    TextCheck text(file);
    z.next_in = reinterpret_cast<Bytef*>(in.get());
    z.avail_in = static_cast<uInt>(have);
    for (;;) {
        if (z.avail_in == 0) {
            have = readSome(input.fd(), in.get(), kChunk, file);
            if (have == 0) break;
            z.next_in = reinterpret_cast<Bytef*>(in.get());
            z.avail_in = static_cast<uInt>(have);
        }
        if (memberEnded) {  // more bytes: another member must begin
            if (inflateReset(&z) != Z_OK) throw std::bad_alloc();
            memberEnded = false;
        }
        z.next_out = reinterpret_cast<Bytef*>(out.roomFor(kChunk));
        z.avail_out = static_cast<uInt>(kChunk);
        const int status = inflate(&z, Z_NO_FLUSH);
        const size_t from = out.size();
        out.added(kChunk - z.avail_out);
        text.check(out, from);
        if (status == Z_STREAM_END) {
            memberEnded = true;
        } else if (status == Z_MEM_ERROR) {
            throw std::bad_alloc();
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            common::fail("cannot read " + common::quoted(file) + " as gzip data: " +
                         (z.msg ? std::string(z.msg) : "damaged") + " (a damaged or cut file?)");
        }
    }
    if (!memberEnded) {
        common::fail("cannot read " + common::quoted(file) +
                     ": its gzip data end before their end (a cut file?); nothing of it is taken");
    }
}

// Bytes read whole (a compressed file, a FIFO) are read from memory; a
// regular MTZ file from its descriptor, at the offsets gemmi seeks.
void readMtz(gemmi::Mtz& mtz, Descriptor& input, const Bytes& bytes) {
    if (bytes.held()) {
        gemmi::MemoryStream stream(bytes.data(), bytes.size());
        common::readMtzChecked(mtz, stream, bytes.size());
    } else {
        const uint64_t size = input.size();
        gemmi::fileptr_t file(::fdopen(input.fd(), "rb"), &std::fclose);
        if (!file) gemmi::sys_fail("fdopen");
        input.release();
        gemmi::FileStream stream{file.get()};
        common::readMtzChecked(mtz, stream, size);
    }
}

std::string amplitudeColumns(const gemmi::Mtz& mtz) {
    std::string labels;
    for (const gemmi::Mtz::Column* column : mtz.columns_with_type('F')) labels += " " + column->label;
    return labels.empty() ? " none" : labels;
}

const gemmi::Mtz::Column& findColumn(const gemmi::Mtz& mtz, const std::string& file, const std::string& label,
                                     char type, std::string_view meaning) {
    const gemmi::Mtz::Column* column = mtz.column_with_label(label);
    if (!column) {
        common::fail("no column " + label + " in " + common::quoted(file) + "; its amplitude columns (type F):" +
                     amplitudeColumns(mtz));
    }
    if (column->type != type) {
        common::fail("column " + label + " of " + common::quoted(file) + " is of type " + std::string(1, column->type) +
                     ", not " + std::string(1, type) + " (" + std::string(meaning) + ")");
    }
    return *column;
}

bool missing(float value, float valm) { return std::isnan(value) || (!std::isnan(valm) && value == valm); }

std::string rowText(const int32_t (&index)[3]) {
    return std::to_string(index[0]) + " " + std::to_string(index[1]) + " " + std::to_string(index[2]);
}

// The indices of a row, whole numbers within I4.
void takeIndices(const float* row, const std::string& file, int32_t (&index)[3]) {
    for (int i = 0; i < 3; ++i) {
        const float value = row[i];
        if (!(value >= common::fin_file::kIndexMin && value <= common::fin_file::kIndexMax)) {
            common::fail("reflection " + common::generalText(row[0]) + " " + common::generalText(row[1]) + " " +
                         common::generalText(row[2]) + " of " + common::quoted(file) +
                         ": an index outside the fin file's I4 columns (-999 to 9999)");
        }
        index[i] = static_cast<int32_t>(value);
        if (static_cast<float>(index[i]) != value) {
            common::fail("reflection " + common::generalText(row[0]) + " " + common::generalText(row[1]) + " " +
                         common::generalText(row[2]) + " of " + common::quoted(file) + ": an index is not a whole number");
        }
    }
}

void checkValue(float value, const std::string& label, const int32_t (&index)[3], const std::string& file) {
    if (!common::fin_file::valueFits(value)) {
        common::fail("reflection " + rowText(index) + " of " + common::quoted(file) + ": " + label + " " +
                     common::generalText(value) + " does not fit the fin file's F12.2 columns");
    }
}

void sortAndCheckUnique(std::vector<StageRow>& rows, const std::string& file) {
    auto byKey = [](const StageRow& a, const StageRow& b) { return a.key < b.key; };
    if (!std::is_sorted(rows.begin(), rows.end(), byKey)) std::sort(rows.begin(), rows.end(), byKey);
    const auto twice = std::adjacent_find(rows.begin(), rows.end(),
                                          [](const StageRow& a, const StageRow& b) { return a.key == b.key; });
    if (twice != rows.end()) {
        int32_t index[3];
        common::unpackHkl(twice->key, index[0], index[1], index[2]);
        common::fail("reflection " + rowText(index) + " appears twice in " + common::quoted(file) +
                     "; merged data are expected, one row a reflection");
    }
}

void takeResolution(StageData& stage, const gemmi::UnitCell& cell, const int32_t (&index)[3], double& minInverseD2,
                    double& maxInverseD2) {
    if (!stage.cellKnown) return;
    const double inverseD2 = cell.calculate_1_d2_double(index[0], index[1], index[2]);
    if (inverseD2 > 0) {
        minInverseD2 = std::min(minInverseD2, inverseD2);
        maxInverseD2 = std::max(maxInverseD2, inverseD2);
    }
}

void setResolution(StageData& stage, double minInverseD2, double maxInverseD2) {
    if (maxInverseD2 > 0) {
        stage.lowResolution = 1 / std::sqrt(minInverseD2);
        stage.highResolution = 1 / std::sqrt(maxInverseD2);
    }
}

void readMtzStage(const StageRequest& request, Descriptor& input, Bytes& bytes, StageData& stage) {
    const std::string& file = request.file;
    gemmi::Mtz mtz;
    try {
        readMtz(mtz, input, bytes);
        bytes.release();  // the data are in mtz now
    } catch (const std::exception& error) {
        common::fail("cannot read " + common::quoted(file) + " as an MTZ file: " + oneLine(error.what()));
    }

    stage.spaceGroup = mtz.spacegroup               ? mtz.spacegroup->xhm()
                       : mtz.spacegroup_name.empty() ? "none"
                                                     : mtz.spacegroup_name;
    if (mtz.spacegroup) stage.spaceGroupHall = mtz.spacegroup->hall;
    stage.cellKnown = true;
    stage.cellEdges[0] = mtz.cell.a;
    stage.cellEdges[1] = mtz.cell.b;
    stage.cellEdges[2] = mtz.cell.c;
    stage.cellAngles[0] = mtz.cell.alpha;
    stage.cellAngles[1] = mtz.cell.beta;
    stage.cellAngles[2] = mtz.cell.gamma;
    stage.fileReflections = static_cast<uint64_t>(mtz.nreflections);
    stage.fLabel = request.fLabel.empty() ? request.usualMtzF : request.fLabel;
    stage.sigmaLabel = request.sigmaLabel.empty() ? request.usualMtzSigma : request.sigmaLabel;

    const size_t fColumn = findColumn(mtz, file, stage.fLabel, 'F', "an amplitude").idx;
    const size_t sigmaColumn = findColumn(mtz, file, stage.sigmaLabel, 'Q', "a standard deviation").idx;

    const size_t width = mtz.columns.size();
    double minInverseD2 = INFINITY, maxInverseD2 = 0;
    stage.rows.reserve(static_cast<size_t>(mtz.nreflections));
    for (size_t at = 0; at < mtz.data.size(); at += width) {
        const float* row = mtz.data.data() + at;
        const float F = row[fColumn], sigF = row[sigmaColumn];
        if (missing(F, mtz.valm) || missing(sigF, mtz.valm)) continue;
        int32_t index[3];
        takeIndices(row, file, index);
        checkValue(F, stage.fLabel, index, file);
        checkValue(sigF, stage.sigmaLabel, index, file);
        stage.rows.push_back({common::packHkl(index[0], index[1], index[2]), F, sigF});
        takeResolution(stage, mtz.cell, index, minInverseD2, maxInverseD2);
    }
    setResolution(stage, minInverseD2, maxInverseD2);
}

// mmCIF: the first block whose _refln loop holds h, k and l. Items are
// named without "_refln." (F_meas_au), in any case as CIF allows.

constexpr std::string_view kRefln = "_refln.";

// An answer may give the whole tag, _refln.F_meas_au.
std::string itemName(const std::string& label, const char* usual) {
    if (label.empty()) return usual;
    return gemmi::istarts_with(label, std::string(kRefln)) ? label.substr(kRefln.size()) : label;
}

int findItem(const gemmi::cif::Loop& loop, const std::string& item) {
    return loop.find_tag_lc(std::string(kRefln) + gemmi::to_lower(item));
}

std::string amplitudeItems(const gemmi::cif::Loop& loop) {
    std::string items;
    for (const std::string& tag : loop.tags) {
        if (gemmi::istarts_with(tag, "_refln.f_")) items += " " + tag.substr(kRefln.size());
    }
    return items.empty() ? " none" : items;
}

size_t itemColumn(const gemmi::cif::Loop& loop, const std::string& file, const std::string& label) {
    const int column = findItem(loop, label);
    if (column < 0) {
        common::fail("no item _refln." + label + " in " + common::quoted(file) + "; its amplitude items (F_*):" +
                     amplitudeItems(loop));
    }
    return static_cast<size_t>(column);
}

// A value of the loop as a float: NaN for '?' and '.' (no value) where that
// is allowed, a report for anything that is not a number.
float cifNumber(const std::string& value, const gemmi::cif::Loop& loop, size_t column, size_t row,
                const std::string& file, bool mayBeMissing = true) {
    auto where = [&] { return "row " + std::to_string(row + 1) + " of the _refln loop of " + common::quoted(file) + ": "; };
    if (gemmi::cif::is_null(value)) {
        if (!mayBeMissing) common::fail(where() + loop.tags[column] + " has no value");
        return NAN;
    }
    const double number = gemmi::cif::as_number(value);
    if (std::isnan(number)) {
        common::fail(where() + loop.tags[column] + " " + oneLine(value.substr(0, 40)) + " is not a number");
    }
    // Beyond the range of float the value is infinite, which fits no column.
    if (std::fabs(number) > FLT_MAX) return number > 0 ? INFINITY : -INFINITY;
    return static_cast<float>(number);
}

void readCifStage(const StageRequest& request, const std::string& path, Bytes& bytes, StageData& stage) {
    const std::string& file = request.file;
    gemmi::cif::Document document;
    try {
        document = gemmi::cif::read_memory(bytes.data(), bytes.size(), path.c_str());
        bytes.release();
    } catch (const std::exception& error) {
        common::fail(common::quoted(file) + " is neither MTZ nor mmCIF: " + oneLine(error.what()));
    }
    gemmi::cif::Block* block = nullptr;
    gemmi::cif::Loop* loop = nullptr;
    for (gemmi::cif::Block& candidate : document.blocks) {
        loop = candidate.find_loop("_refln.index_h").get_loop();
        if (loop && loop->has_tag("_refln.index_k") && loop->has_tag("_refln.index_l")) {
            block = &candidate;
            break;
        }
    }
    if (!block) {
        common::fail(common::quoted(file) + " is neither MTZ nor mmCIF with reflections: no block has a _refln loop with "
                     "index_h, index_k, index_l");
    }

    gemmi::UnitCell cell;
    const gemmi::SpaceGroup* group = nullptr;
    const std::string* groupName = nullptr;
    try {
        gemmi::impl::set_cell_from_mmcif(*block, cell);
        groupName = gemmi::impl::find_spacegroup_hm_value(*block);
        if (groupName && gemmi::cif::is_null(*groupName)) groupName = nullptr;
        if (groupName) group = gemmi::find_spacegroup_by_name(gemmi::cif::as_string(*groupName), cell.alpha, cell.gamma);
    } catch (const std::exception& error) {
        common::fail("cannot read the cell or space group of " + common::quoted(file) + ": " + oneLine(error.what()));
    }
    // A cell of '?' reads as 1 1 1, one of words as NaN: neither is known.
    stage.cellKnown = cell.is_crystal() && cell.a > 0 && cell.b > 0 && cell.c > 0 && cell.alpha > 0 &&
                      cell.beta > 0 && cell.gamma > 0 && std::isfinite(cell.volume) && cell.volume > 0;
    if (stage.cellKnown) {
        stage.cellEdges[0] = cell.a;
        stage.cellEdges[1] = cell.b;
        stage.cellEdges[2] = cell.c;
        stage.cellAngles[0] = cell.alpha;
        stage.cellAngles[1] = cell.beta;
        stage.cellAngles[2] = cell.gamma;
    }
    if (group) {
        stage.spaceGroup = group->xhm();
        stage.spaceGroupHall = group->hall;
    } else if (groupName) {
        stage.spaceGroup = oneLine(gemmi::cif::as_string(*groupName).substr(0, 40));
    }

    stage.fLabel = itemName(request.fLabel, "F_meas_au");
    stage.sigmaLabel = itemName(request.sigmaLabel, "F_meas_sigma_au");
    const size_t fColumn = itemColumn(*loop, file, stage.fLabel);
    const size_t sigmaColumn = itemColumn(*loop, file, stage.sigmaLabel);
    const size_t indexColumns[3] = {static_cast<size_t>(loop->find_tag("_refln.index_h")),
                                    static_cast<size_t>(loop->find_tag("_refln.index_k")),
                                    static_cast<size_t>(loop->find_tag("_refln.index_l"))};

    const size_t width = loop->tags.size();
    stage.fileReflections = loop->length();
    stage.rows.reserve(loop->length());
    double minInverseD2 = INFINITY, maxInverseD2 = 0;
    for (size_t row = 0, at = 0; at < loop->values.size(); ++row, at += width) {
        const float F = cifNumber(loop->values[at + fColumn], *loop, fColumn, row, file);
        const float sigF = cifNumber(loop->values[at + sigmaColumn], *loop, sigmaColumn, row, file);
        if (std::isnan(F) || std::isnan(sigF)) continue;
        float indices[3];
        for (int i = 0; i < 3; ++i) {
            indices[i] = cifNumber(loop->values[at + indexColumns[i]], *loop, indexColumns[i], row, file, false);
        }
        int32_t index[3];
        takeIndices(indices, file, index);
        checkValue(F, stage.fLabel, index, file);
        checkValue(sigF, stage.sigmaLabel, index, file);
        stage.rows.push_back({common::packHkl(index[0], index[1], index[2]), F, sigF});
        takeResolution(stage, cell, index, minInverseD2, maxInverseD2);
    }
    setResolution(stage, minInverseD2, maxInverseD2);
}

}  // namespace

StageData readStage(const StageRequest& request) {
    const std::string& file = request.file;
    Descriptor input(file);
    // Named as gemmi names the file in its reports ("-" is a file here).
    const std::string path = file == "-" ? "./-" : file;
    Bytes bytes;  // the file's bytes, where they are read whole
    if (gemmi::iends_with(file, ".gz")) {
        inflateFile(input, bytes, file);
    } else if (!input.regular()) {
        readRest(input.fd(), bytes, file, 0);
    }
    bool mtz = false;
    if (bytes.held()) {
        mtz = startsAsMtz(bytes.data(), bytes.size());
    } else {
        char head[4];
        const ssize_t got = ::pread(input.fd(), head, sizeof head, 0);
        if (got < 0) {
            const int error = errno;
            common::fail("cannot read " + common::quoted(file) + ": " + std::strerror(error));
        }
        mtz = startsAsMtz(head, static_cast<size_t>(got));
    }

    StageData stage;
    // Whichever the format, the file's data go before the rows are sorted.
    if (mtz) {
        readMtzStage(request, input, bytes, stage);
    } else {
        if (!bytes.held()) readRest(input.fd(), bytes, file, input.size());
        readCifStage(request, path, bytes, stage);
    }
    sortAndCheckUnique(stage.rows, file);
    return stage;
}

}  // namespace finjoin
