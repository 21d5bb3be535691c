// bapply: runs honer's cad input file on an MTZ file, as CAD does with its
// SCAL, LABI and LABO keywords: the two LABI columns, an amplitude and its
// standard deviation, times scale x exp(-B s^2 / 4) (s = 1/d, from the
// file's cell), written as the two LABO columns beside every column of the
// file read.
//
// Run: three file names on standard input (the cad input file, the MTZ file
// to read, the MTZ file to create). The new file is written whole or not at
// all. Exit 0 with the file written, 1 when no reflection has both LABI
// values (no file), 2 on a failure.

#define USE_STD_SNPRINTF  // gemmi's own formatter is not packaged
#define GEMMI_WRITE_IMPLEMENTATION
#include <gemmi/mtz.hpp>

#include "bapply/bapply.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/failure.hpp"
#include "common/file_names.hpp"
#include "common/input_file.hpp"
#include "common/layout/cad_script.hpp"
#include "common/mtz_input.hpp"
#include "common/output_file.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"

namespace bapply {

namespace {

namespace layout = common::cad_script;

struct FileNames {
    std::string cadInput;
    std::string mtzIn;
    std::string mtzOut;
};

FileNames askFileNames() {
    FileNames names;
    names.cadInput = common::askFileName("Type cad input file", "name of the cad input file");
    names.mtzIn = common::askFileName("Type MTZ file to read", "name of the MTZ file to read");
    names.mtzOut = common::askFileName("Type MTZ file to create", "name of the MTZ file to create");
    return names;
}

// ------------------------------------------------------- the cad input file

// The longest column label an MTZ file holds.
constexpr size_t kLongestLabel = 30;

struct CadInput {
    std::string title;
    layout::ScaleAndB scale;
    layout::Labels from;  // LABI
    layout::Labels to;    // LABO
};

bool sameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y)); });
}

// The record's keyword must be `keyword`; any other, named, ends the run.
void requireKeyword(std::string_view record, std::string_view keyword, const common::LineSource& source) {
    const size_t first = record.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        source.failAt(0, 0, "a blank record where the keyword " + std::string(keyword) +
                                " was expected (a cad input file holds title, SCAL, LABI, LABO and end)");
    }
    size_t end = record.find(' ', first);
    if (end == std::string_view::npos) end = record.size();
    const std::string_view word = record.substr(first, end - first);
    if (!sameWord(word, keyword)) {
        source.failAt(static_cast<int>(first) + 1, static_cast<int>(end),
                      "keyword \"" + std::string(word) + "\" where " + std::string(keyword) +
                          " was expected (a cad input file holds title, SCAL, LABI, LABO and end)");
    }
}

CadInput readCadInput(common::InputFile& cad) {
    CadInput input;
    std::string_view record = cad.nextOrFail("record 1 of the cad input file (title)");
    requireKeyword(record, layout::kTitleKeyword, cad);
    input.title = std::string(record);

    record = cad.nextOrFail("record 2 of the cad input file (SCAL)");
    requireKeyword(record, layout::kScaleKeyword, cad);
    input.scale = layout::readScaleAndB(record, cad);
    // Columns 20-23 and 25-36, as the record gives them.
    const int scaleFirst = static_cast<int>(layout::kScaleText.size()) + 1;
    const int bFirst = static_cast<int>(layout::kScaleKeywords.size()) + 1;
    if (!std::isfinite(input.scale.scale)) {
        cad.failAt(scaleFirst, scaleFirst + layout::kScaleWidth - 1, "the scale is not a finite number");
    }
    if (!(input.scale.scale > 0)) {
        cad.failAt(scaleFirst, scaleFirst + layout::kScaleWidth - 1,
                   "a scale of " + common::fixedText(input.scale.scale, 2) +
                       ": the amplitudes would be " + (input.scale.scale == 0 ? "zero" : "negative") +
                       "; a scale is positive");
    }
    if (!std::isfinite(input.scale.b)) {
        cad.failAt(bFirst, bFirst + layout::kBWidth - 1, "the B is not a finite number");
    }
    if (cad.lineCut()) cad.failAt(0, 0, "a record too long for a cad input file");
    const size_t afterB = layout::kScaleKeywords.size() + layout::kBWidth;
    if (record.size() > afterB && record.find_first_not_of(' ', afterB) != std::string_view::npos) {
        const size_t at = record.find_first_not_of(' ', afterB);
        cad.failAt(static_cast<int>(at) + 1, static_cast<int>(record.size()), "more after the B value");
    }

    record = cad.nextOrFail("record 3 of the cad input file (LABI)");
    requireKeyword(record, layout::kInputLabelsKeyword, cad);
    input.from = layout::readLabelsRecord(record, layout::kInputLabelsKeyword, cad);

    record = cad.nextOrFail("record 4 of the cad input file (LABO)");
    requireKeyword(record, layout::kOutputLabelsKeyword, cad);
    input.to = layout::readLabelsRecord(record, layout::kOutputLabelsKeyword, cad);

    record = cad.nextOrFail("record 5 of the cad input file (end)");
    requireKeyword(record, layout::kEndRecord, cad);
    if (record.find_first_not_of(' ', record.find_first_not_of(' ') + layout::kEndRecord.size()) != std::string_view::npos) {
        cad.failAt(0, 0, "more after the keyword end");
    }
    if (cad.next(record)) {
        cad.failAt(0, 0, "a record after end (a cad input file holds title, SCAL, LABI, LABO and end, nothing else)");
    }
    // The COLUMN record of an MTZ file holds a label of 30 characters: a
    // longer one would push the type, range and data set past its 80 bytes.
    for (const std::string* label : {&input.to.f, &input.to.sigma}) {
        if (label->size() > kLongestLabel) {
            common::fail("the LABO record of " + common::quoted(cad.name()) + " names a column of " +
                         std::to_string(label->size()) + " characters, " + label->substr(0, 40) +
                         (label->size() > 40 ? "...," : ",") + " where an MTZ file's labels hold " +
                         std::to_string(kLongestLabel));
        }
    }
    if (input.to.f == input.to.sigma) {
        common::fail("the LABO record of " + common::quoted(cad.name()) + " names both columns " + input.to.f);
    }
    return input;
}

// ------------------------------------------------------------ the MTZ file

// gemmi's messages may run over several lines; a report is one.
std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

constexpr size_t kNewColumns = 2;  // the LABO columns

// Read from the one opening: a regular file at the offsets gemmi seeks,
// anything else (a FIFO, a pipe) read whole first.
gemmi::Mtz readMtz(const std::string& file) {
    if (file.empty()) common::fail("cannot open an input file with an empty name");
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        common::fail("cannot open " + common::quoted(file) + " for reading: " + std::strerror(error));
    }
    gemmi::fileptr_t stream(::fdopen(fd, "rb"), &std::fclose);
    if (!stream) {
        ::close(fd);
        common::fail("cannot open " + common::quoted(file) + " for reading: " + std::strerror(errno));
    }
    struct stat info;
    if (::fstat(fd, &info) != 0) common::fail("cannot read " + common::quoted(file) + ": " + std::strerror(errno));
    if (S_ISDIR(info.st_mode)) common::fail("cannot open " + common::quoted(file) + " for reading: it is a directory");

    gemmi::Mtz mtz;
    try {
        if (S_ISREG(info.st_mode)) {
            gemmi::FileStream input{stream.get()};
            common::readMtzChecked(mtz, input, static_cast<uint64_t>(info.st_size), kNewColumns);
        } else {
            std::string bytes;
            char chunk[1 << 16];
            for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, stream.get())) > 0;) bytes.append(chunk, got);
            if (std::ferror(stream.get())) {
                common::fail("cannot read " + common::quoted(file) + ": " + std::strerror(errno));
            }
            gemmi::MemoryStream input(bytes.data(), bytes.size());
            common::readMtzChecked(mtz, input, bytes.size(), kNewColumns);
        }
    } catch (const common::RunTimeFailure&) {
        throw;
    } catch (const std::exception& error) {
        common::fail("cannot read " + common::quoted(file) + " as an MTZ file: " + oneLine(error.what()));
    }
    if (!mtz.spacegroup) {
        common::fail("cannot read " + common::quoted(file) + " as an MTZ file: no space group is named in it (\"" +
                     oneLine(mtz.spacegroup_name) + "\")");
    }
    return mtz;
}

std::string columnsOfType(const gemmi::Mtz& mtz, char type) {
    std::string labels;
    for (const gemmi::Mtz::Column* column : mtz.columns_with_type(type)) labels += " " + column->label;
    return labels.empty() ? " none" : labels;
}

size_t findColumn(const gemmi::Mtz& mtz, const std::string& file, const std::string& label, char type,
                  std::string_view meaning) {
    const gemmi::Mtz::Column* column = mtz.column_with_label(label);
    if (!column) {
        common::fail("no column " + label + " in " + common::quoted(file) + "; its columns of type " +
                     std::string(1, type) + ":" + columnsOfType(mtz, type));
    }
    if (column->type != type) {
        common::fail("column " + label + " of " + common::quoted(file) + " is of type " + std::string(1, column->type) +
                     ", not " + std::string(1, type) + " (" + std::string(meaning) + ")");
    }
    // The new columns join its data set, which must be described.
    if (std::none_of(mtz.datasets.begin(), mtz.datasets.end(),
                     [&](const gemmi::Mtz::Dataset& d) { return d.id == column->dataset_id; })) {
        common::fail("column " + label + " of " + common::quoted(file) + " belongs to data set " +
                     std::to_string(column->dataset_id) + ", which the file does not describe");
    }
    return column->idx;
}

// ------------------------------------------------------------------ the run

struct Applied {
    uint64_t withBoth = 0;  // reflections with both LABI values
    double lowResolution = 0, highResolution = 0;
};

bool wholeIndex(float index) {
    return std::fabs(index) < 1e6f && static_cast<float>(static_cast<int32_t>(index)) == index;
}

// The two new columns at the end of every row of `mtz`: the rows are moved
// apart in place, the last one first, into the room reserved when the file
// was read.
Applied applyScaleAndB(gemmi::Mtz& mtz, const std::string& file, const CadInput& cad, size_t fColumn,
                       size_t sigmaColumn) {
    const size_t width = mtz.columns.size(), wide = width + kNewColumns;
    const auto rows = static_cast<size_t>(mtz.nreflections);
    const int dataset = mtz.columns[fColumn].dataset_id;
    const gemmi::UnitCell& cell = mtz.get_cell(dataset);
    if (!cell.is_crystal() || !(cell.volume > 0)) common::fail("no cell in " + common::quoted(file));
    const float absent = std::isnan(mtz.valm) ? NAN : mtz.valm;
    auto missing = [&](float value) { return std::isnan(value) || value == mtz.valm; };
    const double scale = cad.scale.scale, b = cad.scale.b;

    mtz.data.resize(rows * wide);
    float* data = mtz.data.data();
    Applied applied;
    double minS2 = INFINITY, maxS2 = 0;
    for (size_t row = rows; row-- > 0;) {
        float* out = data + row * wide;
        std::memmove(out, data + row * width, width * sizeof(float));
        if (!wholeIndex(out[0]) || !wholeIndex(out[1]) || !wholeIndex(out[2])) {
            common::fail("reflection " + common::generalText(out[0]) + " " + common::generalText(out[1]) + " " +
                         common::generalText(out[2]) + " of " + common::quoted(file) +
                         ": an index is not a whole number");
        }
        const double s2 = cell.calculate_1_d2_double(out[0], out[1], out[2]);
        const double factor = scale * std::exp(-b * s2 / 4);
        const float values[2] = {out[fColumn], out[sigmaColumn]};
        for (int i = 0; i < 2; ++i) {
            if (missing(values[i])) {
                out[width + static_cast<size_t>(i)] = absent;
                continue;
            }
            const auto scaled = static_cast<float>(values[i] * factor);
            // Beyond the range of a float either way: too large, or a value
            // not zero that becomes zero, lost as surely.
            const bool lost = scaled == 0 && values[i] != 0;
            if (!std::isfinite(scaled) || lost) {
                common::fail("reflection " + common::generalText(out[0]) + " " + common::generalText(out[1]) + " " +
                             common::generalText(out[2]) + " of " + common::quoted(file) + ": " +
                             common::generalText(values[i]) + " times the factor " +
                             common::generalText(static_cast<float>(factor)) + " is " +
                             (lost ? "below" : "beyond") + " the range of an MTZ value");
            }
            out[width + static_cast<size_t>(i)] = scaled;
        }
        if (!missing(values[0]) && !missing(values[1])) {
            ++applied.withBoth;
            minS2 = std::min(minS2, s2);
            maxS2 = std::max(maxS2, s2);
        }
    }
    if (maxS2 > 0) {
        applied.lowResolution = 1 / std::sqrt(minS2);
        applied.highResolution = 1 / std::sqrt(maxS2);
    }
    mtz.add_column(cad.to.f, 'F', dataset, -1, false);
    mtz.add_column(cad.to.sigma, 'Q', dataset, -1, false);
    return applied;
}

std::string historyLine(const CadInput& cad) {
    std::string line = "bapply: " + cad.to.f + " " + cad.to.sigma + " = " + cad.from.f + " " + cad.from.sigma + " x " +
                       common::fixedText(cad.scale.scale, 2) + " exp(-B s^2/4), B " + common::fixedText(cad.scale.b, 3);
    return line.substr(0, 80);
}

void writeMtz(const gemmi::Mtz& mtz, common::AllOrNothingFile& out) {
    try {
        mtz.write_to_stream([&](const void* bytes, size_t size, size_t count) {
            out.writeText(std::string_view(static_cast<const char*>(bytes), size * count));
            return count;
        });
    } catch (const common::RunTimeFailure&) {
        throw;
    } catch (const std::exception& error) {
        common::fail("cannot write " + common::quoted(out.name()) + ": " + oneLine(error.what()));
    }
    out.close();
}

}  // namespace

int runBapply() {
    const FileNames names = askFileNames();
    CadInput cad;
    {
        common::InputFile cadFile(names.cadInput);
        cad = readCadInput(cadFile);
    }
    common::say(common::FreeLine()
                    .text("scale")
                    .text(common::fixedText(cad.scale.scale, 2))
                    .text("and B")
                    .text(common::fixedText(cad.scale.b, 3))
                    .text("for")
                    .text(cad.from.f)
                    .text(cad.from.sigma)
                    .text("as")
                    .text(cad.to.f)
                    .text(cad.to.sigma));

    gemmi::Mtz mtz = readMtz(names.mtzIn);
    const size_t fColumn = findColumn(mtz, names.mtzIn, cad.from.f, 'F', "an amplitude");
    const size_t sigmaColumn = findColumn(mtz, names.mtzIn, cad.from.sigma, 'Q', "a standard deviation");
    for (const std::string& label : {cad.to.f, cad.to.sigma}) {
        if (mtz.column_with_label(label)) {
            common::fail("column " + label + " of the LABO record is in " + common::quoted(names.mtzIn) +
                         " already; LABO names new columns");
        }
    }
    // The name is taken now: a file of that name ends the run before the
    // work. The file is kept once the transcript is written too.
    common::RunOutputs outputs;
    common::AllOrNothingFile out(outputs, names.mtzOut);

    const size_t columnsRead = mtz.columns.size();
    const Applied applied = applyScaleAndB(mtz, names.mtzIn, cad, fColumn, sigmaColumn);
    common::say(common::FreeLine()
                    .text("reflections")
                    .integer(mtz.nreflections)
                    .text("with both values")
                    .integer(static_cast<int64_t>(applied.withBoth))
                    .text("resolution")
                    .text(common::fixedText(static_cast<float>(applied.lowResolution), 2))
                    .text("to")
                    .text(common::fixedText(static_cast<float>(applied.highResolution), 2)));
    if (applied.withBoth == 0) {
        common::report("no reflection of " + common::quoted(names.mtzIn) + " has both " + cad.from.f + " and " +
                       cad.from.sigma + "; no MTZ file written");
        return common::kExitNoResult;
    }
    mtz.history.insert(mtz.history.begin(), historyLine(cad));
    writeMtz(mtz, out);
    common::say(common::FreeLine()
                    .text(names.mtzOut)
                    .text("written: the")
                    .integer(static_cast<int64_t>(columnsRead))
                    .text("columns read and")
                    .text(cad.to.f)
                    .text(cad.to.sigma));
    outputs.keep();
    return 0;
}

}  // namespace bapply
