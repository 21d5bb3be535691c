// Reading one run's files for the report.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>

#include <gemmi/cif.hpp>
#include <gemmi/to_cif.hpp>

#include "common/failure.hpp"
#include "common/file_names.hpp"
#include "common/input_file.hpp"
#include "common/layout/cad_script.hpp"
#include "common/layout/eigen_b.hpp"
#include "common/layout/input_script.hpp"
#include "common/layout/limits_table.hpp"
#include "common/layout/planeview_script.hpp"
#include "common/records.hpp"
#include "ovoreport/run_files.hpp"

namespace ovoreport {

float Anisotropy::range() const {
    float low = components[0].value, high = components[0].value;
    for (const Component& c : components) {
        low = std::min(low, c.value);
        high = std::max(high, c.value);
    }
    return high - low;
}

namespace {

namespace fs = std::filesystem;

// ------------------------------------------------------------ input scripts

// Row i of the axes, a vector of the orthonormal frame of reciprocal space,
// as u a* + v b* + w c*: the frame's matrix (its columns a*, b*, c*) is lower
// triangular, so the coefficients come by substitution.
std::array<double, 3> asReciprocalCombination(const common::UnitCell& cell, const float axis[3]) {
    const common::ReciprocalCell reciprocal = common::computeReciprocalCell(cell);
    const auto m = common::orthonormalFrame<double>(cell, reciprocal);
    std::array<double, 3> c{};
    c[0] = axis[0] / m.m11;
    c[1] = (axis[1] - m.m21 * c[0]) / m.m22;
    c[2] = (axis[2] - m.m31 * c[0] - m.m32 * c[1]) / m.m33;
    double largest = 0;
    for (const double v : c) largest = std::max(largest, std::fabs(v));
    if (largest > 0 && std::isfinite(largest)) {
        // to four decimals, as the axes are written: no 1e-8 of rounding noise
        for (double& v : c) v = std::round(v / largest * 1e4) / 1e4 + 0.0;
    }
    return c;
}

Ellipsoid readEllipsoid(const std::string& name) {
    common::InputFile script(name);
    Ellipsoid e;
    e.file = name;
    e.reflectionFile = std::string(script.nextOrFail("record 1 of the input script (the reflection file)"));
    while (!e.reflectionFile.empty() && e.reflectionFile.back() == ' ') e.reflectionFile.pop_back();
    script.nextOrFail("record 2 of the input script (the truncated file)");
    e.cell = common::input_script::readCell(script.nextOrFail("record 3 of the input script (the cell)"), script);
    common::input_script::readAxes(script.nextOrFail("record 4 of the input script (the axes)"), script, e.axes);
    float limits[3];
    common::input_script::readLimits(script.nextOrFail("record 5 of the input script (the limits)"), script, limits);
    const auto byRow = common::input_script::limitsByRow(limits);
    e.limitOfRow[0] = byRow.lowResLimit;
    e.limitOfRow[1] = byRow.mediumResLimit;
    e.limitOfRow[2] = byRow.highResLimit;
    for (int i = 0; i < 3; ++i) e.reciprocalCombination[static_cast<size_t>(i)] = asReciprocalCombination(e.cell, e.axes[i]);
    return e;
}

Truncation readTruncation(const std::string& name) {
    namespace ps = common::planeview_script;
    common::InputFile script(name);
    Truncation t;
    t.file = name;
    t.read = ps::readCount(script.nextOrFail("record 1 of the planeview script (reflections read)"), script);
    t.rejected = ps::readCount(script.nextOrFail("record 2 of the planeview script (reflections rejected)"), script);
    t.meanRejected = ps::readMean(script.nextOrFail("record 3 of the planeview script (mean of the rejected)"), script);
    t.kept = ps::readCount(script.nextOrFail("record 4 of the planeview script (reflections kept)"), script);
    return t;
}

AppliedB readAppliedB(const std::string& name) {
    common::InputFile cad(name);
    cad.nextOrFail("record 1 of the cad input file");
    return {name, common::cad_script::readScaleRecord(cad.nextOrFail("record 2 of the cad input file (the B value)"), cad)};
}

// ------------------------------------------------------- the eigenB table

// The first table of principal components in the log (common::eigen_b, the
// layout of Phaser's logs that ovoscale writes too): the one honer applies.
std::optional<Anisotropy> readAnisotropy(common::InputFile& log) {
    if (!common::eigen_b::findHeading(log)) return std::nullopt;
    const common::eigen_b::Table table = common::eigen_b::readTable(log);
    Anisotropy a;
    a.file = log.name();
    for (size_t i = 0; i < 3; ++i) a.components[i] = {table[i].value, table[i].cosines};
    return a;
}

// ------------------------------------------------- ovofit's limits table

// ovofit's table of limits in its transcript (common::limits_table): per
// axis the direction, the shell-edge limit, the fitted I/sigma and CC1/2
// limits with their marks.
std::optional<OvofitLimits> readOvofitLimits(const std::string& transcript) {
    common::InputFile opened(transcript);  // the report of a missing file, as for every other
    namespace lt = common::limits_table;
    const std::optional<lt::Table> table = lt::find(transcript);
    if (!table) return std::nullopt;
    const auto limit = [](const lt::Limit& l) {
        return FittedLimit{l.angstrom, l.mark == lt::Mark::beyond ? "beyond" : l.mark == lt::Mark::lowest ? "lowest" : ""};
    };
    OvofitLimits limits;
    limits.file = transcript;
    limits.criterion = table->criterion == lt::Criterion::cc ? "CC1/2" : "I/sigma";
    limits.iOverSigmaThreshold = table->iOverSigmaThreshold;
    limits.ccThreshold = table->ccThreshold;
    for (const lt::Axis& axis : table->axes) {
        FittedAxis a;
        a.cosines = axis.direction;
        a.direction = axis.combination;
        a.shellEdge = limit(axis.shellEdge);
        a.bySigma = limit(axis.iOverSigma);
        if (axis.cc) a.byHalfSets = limit(*axis.cc);
        limits.axes.push_back(a);
    }
    return limits;
}

// The space group a transcript of ovofit names: " space group NAME (N); ...".
std::optional<std::string> spaceGroupInTranscript(common::InputFile& transcript) {
    std::string_view line;
    if (!transcript.skipToLine("space group ", 2, line)) return std::nullopt;
    std::string_view rest = line.substr(std::min<size_t>(line.size(), 13));
    rest = rest.substr(0, rest.find(';'));
    while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
    if (rest.empty()) return std::nullopt;
    return std::string(rest);
}

// "Space-Group Name (Hall Symbol): P 2 2 2 ( P 2 2)" in a Phaser log.
std::optional<std::string> spaceGroupInLog(const std::string& name) {
    common::InputFile log(name);
    constexpr std::string_view kKey = "Space-Group Name (Hall Symbol):";
    std::string_view line;
    while (log.next(line)) {
        const size_t at = line.find(kKey);
        if (at == std::string_view::npos) continue;
        std::string_view rest = line.substr(at + kKey.size());
        rest = rest.substr(0, rest.find('('));
        const size_t first = rest.find_first_not_of(' ');
        if (first == std::string_view::npos) return std::nullopt;
        rest = rest.substr(first);
        while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
        return std::string(rest);
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- pictures

// The first bytes of a file, up to `count`, as they stand.
std::string leadingBytes(const std::string& name, size_t count) {
    // A picture is read twice, here and when it is embedded: a pipe could not be.
    std::error_code error;
    const fs::file_status status = fs::status(name, error);
    if (fs::exists(status) && !fs::is_regular_file(status) && !fs::is_directory(status)) {
        common::fail("cannot embed " + common::quoted(name) + ": not a regular file");
    }
    common::InputFile opened(name);  // the report of a missing file or a folder, as for every other
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(name.c_str(), "rb"), std::fclose);
    if (!file) common::fail("cannot open " + common::quoted(name) + " for reading");
    std::string bytes(count, '\0');
    bytes.resize(std::fread(bytes.data(), 1, count, file.get()));
    if (std::ferror(file.get())) common::fail("cannot read " + common::quoted(name));
    return bytes;
}

bool isPng(const std::string& name) {
    return leadingBytes(name, 8) == std::string_view("\x89PNG\r\n\x1a\n", 8);
}

bool isSvg(const std::string& name) {
    const std::string start = leadingBytes(name, 4096);
    return start.find("<svg") != std::string::npos;
}

// ------------------------------------------------- lines of transcripts and logs

// ovostats's table file: the table of all the data, then that of the data
// inside the ellipsoid when the run had one.
MergingTables readMergingTables(const std::string& name) {
    common::InputFile file(name);
    MergingTables tables;
    tables.file = name;
    bool all = false;
    while (std::optional<common::merging_table::Table> table = common::merging_table::readTable(file)) {
        if (table->name == common::merging_table::kAllName && !all) {
            tables.all = std::move(*table);
            all = true;
        } else if (table->name == common::merging_table::kKeptName && all && !tables.kept) {
            tables.kept = std::move(*table);
        } else {
            file.failAt(0, 0, "a table \"" + table->name + "\" where \"all\", then \"kept\", belong");
        }
    }
    if (!all) common::fail(common::quoted(name) + " holds no table of ovostats");
    return tables;
}

// The data-reduction items of the data kept (ovostats's "kept" table) in
// the one _reflns block, in place of the same items from ovofit (its
// completeness counts the reflections before the cut) and of its
// _reflns_shell loop.
void putMergingItems(common::reflns_block::Block& block, const common::merging_table::Table& kept) {
    common::merging_table::DepositionItems items = common::merging_table::depositionItems(kept);
    for (auto& [name, value] : items.reflns) block.set(name, std::move(value));
    block.setLoop({"_reflns_shell", std::move(items.shellTags), std::move(items.shellRows)});
}

// The number that ends `text` ("... 13395" of "... 13395 records"), none
// when it ends in no digit.
std::optional<int64_t> numberBefore(std::string_view text) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    size_t start = text.size();
    while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') --start;
    if (start == text.size() || text.size() - start > 15) return std::nullopt;
    return std::stoll(std::string(text.substr(start)));
}

// ovofit's or ovoscale's line "N records of merged|unmerged data read; ...
// M unique reflections": the kind of the records and the unique count.
struct RecordsLine {
    bool merged = false;
    std::optional<int64_t> unique;
};
std::optional<RecordsLine> recordsLine(const std::string& name) {
    common::InputFile file(name);
    std::string_view line;
    while (file.next(line)) {
        const bool merged = line.find("records of merged data read;") != std::string_view::npos;
        if (!merged && line.find("records of unmerged data read;") == std::string_view::npos) continue;
        RecordsLine found;
        found.merged = merged;
        const size_t unique = line.find(" unique reflections");
        if (unique != std::string_view::npos) found.unique = numberBefore(line.substr(0, unique));
        return found;
    }
    return std::nullopt;
}

// ovoscale's "Isotropic B (trace/3):    50.928", and whether the line after
// it says the data end before the Wilson region ("Isotropic B: the data end
// at 4.50 A, before the Wilson region ...").
std::optional<IsotropicB> isotropicBInLog(const std::string& name) {
    common::InputFile log(name);
    constexpr std::string_view kKey = "Isotropic B (trace/3):", kRough = "Isotropic B: the data end at";
    std::string_view line;
    while (log.next(line)) {
        const size_t at = line.find(kKey);
        if (at == std::string_view::npos) continue;
        const std::string rest(line.substr(at + kKey.size()));
        char* end = nullptr;
        const double b = std::strtod(rest.c_str(), &end);
        if (end == rest.c_str() || !std::isfinite(b)) return std::nullopt;
        IsotropicB found{name, b, false};
        if (log.next(line)) found.rough = line.find(kRough) != std::string_view::npos;
        return found;
    }
    return std::nullopt;
}

// The last SPACE_GROUP_NUMBER= and UNIT_CELL_CONSTANTS= of an XDS log (the
// refined ones of CORRECT come last).
LogSymmetry symmetryInLog(const std::string& name) {
    LogSymmetry found;
    found.file = name;
    common::InputFile log(name);
    std::string_view line;
    while (log.next(line)) {
        constexpr std::string_view kGroup = "SPACE_GROUP_NUMBER=", kCell = "UNIT_CELL_CONSTANTS=";
        const size_t group = line.find(kGroup);
        if (group != std::string_view::npos) {
            const std::string rest(line.substr(group + kGroup.size()));
            char* end = nullptr;
            const long number = std::strtol(rest.c_str(), &end, 10);
            if (end != rest.c_str() && number > 0 && number <= 230) found.spaceGroupNumber = static_cast<int>(number);
        }
        const size_t cell = line.find(kCell);
        if (cell != std::string_view::npos) {
            const std::string rest(line.substr(cell + kCell.size()));
            std::array<double, 6> values{};
            const char* at = rest.c_str();
            bool ok = true;
            for (double& v : values) {
                char* end = nullptr;
                v = std::strtod(at, &end);
                if (end == at || !std::isfinite(v) || v <= 0) {
                    ok = false;
                    break;
                }
                at = end;
            }
            if (ok) found.cell = values;
        }
    }
    return found;
}

// The space group number that ends a name such as "P 2 2 2 (16)".
std::optional<int> spaceGroupNumber(const std::string& name) {
    const size_t open = name.rfind('(');
    if (open == std::string::npos || name.empty() || name.back() != ')') return std::nullopt;
    const std::string_view inside = std::string_view(name).substr(open + 1, name.size() - open - 2);
    if (inside.empty() || inside.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    const std::optional<int64_t> n = numberBefore(inside);
    if (!n || *n < 1 || *n > 230) return std::nullopt;
    return static_cast<int>(*n);
}

// Where a log's cell or space group is not the data's: edges that differ
// by more than 2 %, angles by more than 2 degrees, another space group.
std::vector<std::string> symmetryDifferences(const Run& run, const LogSymmetry& log) {
    const std::optional<Ellipsoid>& applied = run.applied;
    const std::optional<std::string>& group = run.spaceGroup;
    std::vector<std::string> found;
    const std::optional<int> number = group ? spaceGroupNumber(*group) : std::nullopt;
    if (log.spaceGroupNumber && number && *log.spaceGroupNumber != *number) {
        found.push_back(run.shown(log.file) + " is of space group number " + std::to_string(*log.spaceGroupNumber) +
                        ", the data of " + *group);
    }
    if (log.cell && applied) {
        const common::UnitCell& c = applied->cell;
        const double data[6] = {c.a, c.b, c.c, c.alpha, c.beta, c.gamma};
        bool differs = false;
        for (size_t i = 0; i < 6; ++i) {
            const double gap = std::fabs((*log.cell)[i] - data[i]);
            differs = differs || (i < 3 ? gap > 0.02 * data[i] : gap > 2.0);
        }
        if (differs) {
            std::string text = run.shown(log.file) + " has the cell ";
            for (size_t i = 0; i < 6; ++i) text += (i ? " " : "") + common::reflns_block::cifNumber((*log.cell)[i], i < 3 ? 2 : 1);
            text += ", the data ";
            for (size_t i = 0; i < 6; ++i) text += (i ? " " : "") + common::reflns_block::cifNumber(data[i], i < 3 ? 2 : 1);
            found.push_back(text + " (" + run.shown(applied->file) + ")");
        }
    }
    return found;
}

// ------------------------------------------------------------ the deposition

namespace rb = common::reflns_block;

// The items of ovofit's fragment, none when no fragment was given.
gemmi::cif::Document readFragment(const std::string& name) {
    gemmi::cif::Document doc;
    if (name.empty()) return doc;
    common::InputFile opened(name);  // the report of a missing file, as for every other
    try {
        doc = gemmi::cif::read_file(name);
    } catch (const std::exception& e) {
        common::fail("cannot read the mmCIF fragment " + common::quoted(name) + ": " + e.what());
    }
    return doc;
}

// One item of ovofit's fragment as it is written there (a CIF value), none
// when it is not there.
std::optional<std::string> fragmentValue(gemmi::cif::Document& doc, const std::string& name) {
    for (gemmi::cif::Block& block : doc.blocks) {
        if (const std::string* v = block.find_value("_reflns." + name)) return *v;
    }
    return std::nullopt;
}

// The one _reflns block to copy into the deposition: its keys, the
// ellipsoid applied (or, without the script applied, the one ovofit
// measured) with where it comes from, how the signal was measured and the
// completeness when the ellipsoid is ovofit's, and the B tensor.
Deposition composeDeposition(const Run& run) {
    Deposition d;
    d.file = run.answers.ovofitCif;
    gemmi::cif::Document doc = readFragment(d.file);
    rb::Block& block = d.block;
    block.comment("_reflns items of the data set " + run.dataSet + ", cut anisotropically; written by ovoreport " +
                  run.version + ", " + run.written + ".");
    block.comment("No data_ line: copy the items into the data block of the entry's mmCIF file, and give");
    block.comment("_reflns.entry_id the entry's _entry.id (here the data set's name stands in for it).");
    block.set("pdbx_ordinal", "1");
    block.setText("entry_id", run.dataSet);
    block.set("pdbx_diffrn_id", "1");

    // The ellipsoid: the one applied, ovofit's when it is the same.
    const bool ovofitsOwn = run.applied && run.measured && run.ellipsoidDifferences.empty();
    const Ellipsoid* ellipsoid = run.applied ? &*run.applied : nullptr;
    if (run.applied && !run.measured) {
        d.ellipsoidSource = "the ellipsoid applied, " + run.applied->file + "; no script of ovofit was given, so how its limits were chosen is not known here";
    } else if (ovofitsOwn) {
        d.ellipsoidSource = "the ellipsoid applied, " + run.applied->file + ", which is the one ovofit measured (" +
                            run.measured->file + ")";
    } else if (run.applied) {
        d.ellipsoidSource = "the ellipsoid applied, " + run.applied->file + ", set by hand or elsewhere: it differs from the one ovofit measured (" +
                            run.measured->file + "), whose signal and completeness items are therefore left out";
    } else if (run.measured) {
        ellipsoid = &*run.measured;
        d.ellipsoidSource = "the ellipsoid ovofit measured, " + run.measured->file +
                            "; no ovoclip input script applied was given: that it was applied is not known here";
    }
    if (!d.ellipsoidSource.empty()) {
        std::string text = "Ellipsoid: " + d.ellipsoidSource + ".";
        // comment lines of at most about 100 characters
        while (text.size() > 100) {
            size_t cut = text.rfind(' ', 100);
            if (cut == std::string::npos || cut == 0) cut = 100;
            block.comment(text.substr(0, cut));
            text = "  " + text.substr(cut + 1);
        }
        block.comment(text);
    }
    if (ellipsoid) {
        for (size_t i = 0; i < 3; ++i) {
            block.setNumber("pdbx_aniso_diffraction_limit_" + std::to_string(i + 1), ellipsoid->limitOfRow[i], 3);
        }
        for (size_t i = 0; i < 3; ++i) {
            for (size_t j = 0; j < 3; ++j) {
                block.setNumber("pdbx_aniso_diffraction_limit_axis_" + std::to_string(i + 1) + "_ortho[" +
                                    std::to_string(j + 1) + "]",
                                ellipsoid->axes[i][j], 4);
            }
        }
        block.set("pdbx_orthogonalization_convention", "pdb");
    }
    // ovofit's measurement describes the ellipsoid only when it is the one applied.
    if (ovofitsOwn || (!run.applied && run.measured)) {
        for (const char* name : {"pdbx_signal_type", "pdbx_signal_details"}) {
            if (auto v = fragmentValue(doc, name)) block.setText(name, gemmi::cif::as_string(*v));
        }
        if (auto t = fragmentValue(doc, "pdbx_observed_signal_threshold")) block.set("pdbx_observed_signal_threshold", *t);
        if (auto p = fragmentValue(doc, "pdbx_percent_possible_ellipsoidal")) block.set("pdbx_percent_possible_ellipsoidal", *p);
        for (gemmi::cif::Block& b : doc.blocks) {
            const std::vector<std::string> names = {"pdbx_ordinal", "pdbx_diffrn_id", "d_res_low", "d_res_high",
                                                    "pdbx_percent_possible_ellipsoidal"};
            gemmi::cif::Table table = b.find("_reflns_shell.", names);
            if (!table.ok() || table.length() == 0) continue;
            rb::Loop loop{"_reflns_shell", names, {}};
            for (gemmi::cif::Table::Row tableRow : table) {
                std::vector<std::string> row;
                for (size_t c = 0; c < names.size(); ++c) row.push_back(tableRow.at(static_cast<int>(c)));
                loop.rows.push_back(std::move(row));
            }
            block.addLoop(std::move(loop));
            break;
        }
    }
    if (run.anisotropy) {
        // The logs give components that sum to zero (the isotropic part
        // removed); the dictionary allows no negative eigenvalue. Each is
        // given less the smallest: the same tensor of differences, relative
        // to the direction of the best diffraction.
        const Anisotropy& a = *run.anisotropy;
        double smallest = a.components[0].value;
        for (const Component& c : a.components) smallest = std::min(smallest, static_cast<double>(c.value));
        std::string shown;
        for (const Component& c : a.components) shown += (shown.empty() ? "" : ", ") + rb::cifNumber(c.value, 3);
        block.comment("B tensor: the principal components of the anisotropic B of " + a.file + " (" + shown + " A^2),");
        block.comment("  each less the smallest, " + rb::cifNumber(smallest, 3) +
                      ", as eigenvalue: the dictionary allows no negative eigenvalue.");
        for (size_t n = 0; n < 3; ++n) {
            const Component& c = a.components[n];
            block.setNumber("pdbx_aniso_B_tensor_eigenvalue_" + std::to_string(n + 1), c.value - smallest, 3);
            for (size_t i = 0; i < 3; ++i) {
                block.setNumber("pdbx_aniso_B_tensor_eigenvector_" + std::to_string(n + 1) + "_ortho[" +
                                    std::to_string(i + 1) + "]",
                                c.cosines[i], 4);
            }
        }
    }
    return d;
}

// ------------------------------------------------------------ the comparison

std::string fixed(double value, int decimals) { return common::fixedText(static_cast<float>(value), decimals); }

std::vector<std::string> differences(const Ellipsoid& applied, const Ellipsoid& measured) {
    std::vector<std::string> found;
    static const char* kRow[3] = {"lowest", "middle", "highest"};
    for (int i = 0; i < 3; ++i) {
        if (std::fabs(applied.limitOfRow[i] - measured.limitOfRow[i]) > 0.005f) {
            found.push_back(std::string("the ") + kRow[i] + "-resolution limit: " + fixed(applied.limitOfRow[i], 3) +
                            " \xC3\x85 applied, " + fixed(measured.limitOfRow[i], 3) + " \xC3\x85 measured");
        }
        float gap = 0;
        for (int j = 0; j < 3; ++j) gap = std::max(gap, std::fabs(applied.axes[i][j] - measured.axes[i][j]));
        if (gap > 0.001f) found.push_back(std::string("the direction of the ") + kRow[i] + "-resolution axis");
    }
    return found;
}

// ------------------------------------------------------------ the files

void listFiles(Run& run) {
    const Answers& a = run.answers;
    const std::vector<std::string> read = {a.appliedScript, a.planeviewScript, a.scalingLog, a.cadScript,
                                           a.ovofitScript,  a.ovofitTranscript, a.ovofitPlot, a.ovofitCif,
                                           a.pagePicture,   a.startingLog,     a.finalLog,         a.mergingTable};
    // The folder of the report is the run's folder: every file in it, and the
    // files read from elsewhere.
    fs::path folder = fs::path(a.report).parent_path();
    if (folder.empty()) folder = ".";
    const std::string reportName = fs::path(a.report).filename().string();
    const std::string jsonName = a.json.empty() ? std::string() : fs::path(a.json).filename().string();
    std::error_code error;
    std::vector<RunFile> files;
    constexpr size_t kMostListed = 2000;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.' || name == reportName || name == jsonName) continue;
        std::error_code sizeError;
        if (!it->is_regular_file(sizeError)) continue;
        const uintmax_t size = it->file_size(sizeError);
        files.push_back({folder == "." ? name : (folder / name).string(), sizeError ? std::nullopt : std::optional(size), false});
        if (files.size() == kMostListed) break;
    }
    for (const std::string& name : read) {
        if (name.empty()) continue;
        bool listed = false;
        for (RunFile& f : files) {
            std::error_code same;
            if (f.name == name || fs::equivalent(f.name, name, same)) {
                f.read = true;
                listed = true;
            }
        }
        if (!listed) {
            std::error_code sizeError;
            const uintmax_t size = fs::file_size(name, sizeError);
            files.push_back({name, sizeError ? std::nullopt : std::optional(size), true});
        }
    }
    std::sort(files.begin(), files.end(), [](const RunFile& x, const RunFile& y) { return x.name < y.name; });
    run.files = std::move(files);
}

}  // namespace

std::string Run::shown(const std::string& file) const {
    if (file.empty()) return file;
    std::error_code error;
    const fs::path path = fs::absolute(fs::path(file), error).lexically_normal();
    if (error) return file;
    const fs::path here(folder);
    for (const fs::path& base : {here, here.parent_path()}) {
        if (base.empty() || base == base.root_path()) continue;
        const fs::path within = path.lexically_relative(base);
        if (!within.empty() && *within.begin() != "..") return within.string();
    }
    const fs::path parent = path.parent_path().filename();
    return parent.empty() ? path.string() : (parent / path.filename()).string();
}

Run readRun(const Answers& answers) {
    Run run;
    run.answers = answers;
    run.version = common::suiteVersion();
    {
        // SOURCE_DATE_EPOCH, when set, fixes the date (a report made again reads alike).
        std::time_t now = std::time(nullptr);
        if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
            char* end = nullptr;
            const long long seconds = std::strtoll(epoch, &end, 10);
            if (end != epoch && *end == '\0' && seconds >= 0) now = static_cast<std::time_t>(seconds);
        }
        std::tm utc{};
        gmtime_r(&now, &utc);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &utc);
        run.written = text;
    }
    {
        std::error_code error;
        fs::path folder = fs::absolute(fs::path(answers.report).parent_path().empty() ? fs::path(".")
                                                                                        : fs::path(answers.report).parent_path(),
                                       error);
        run.folder = folder.lexically_normal().string();
        while (run.folder.size() > 1 && run.folder.back() == '/') run.folder.pop_back();
    }
    const auto none = [&](const std::string& what) { run.missing.push_back(what); };

    if (!answers.appliedScript.empty()) {
        run.applied = readEllipsoid(answers.appliedScript);
    } else {
        none("no ovoclip input script: the cell and the ellipsoid applied are not shown");
    }
    if (!answers.planeviewScript.empty()) {
        run.truncation = readTruncation(answers.planeviewScript);
    } else {
        none("no planeview script: the reflections in, rejected and kept are not shown");
    }
    if (!answers.scalingLog.empty()) {
        common::InputFile log(answers.scalingLog);
        run.anisotropy = readAnisotropy(log);
        if (!run.anisotropy) {
            none("no table of principal components (\"eigenB\" in columns 6-11) in " + answers.scalingLog +
                 ": the anisotropic B is not shown");
        }
    } else {
        none("no log of the anisotropic scaling (ovoscale's or Phaser's): the principal components of B are not shown");
    }
    if (!answers.scalingLog.empty()) {
        run.isotropicB = isotropicBInLog(answers.scalingLog);
    }
    if (!answers.cadScript.empty()) {
        run.appliedB = readAppliedB(answers.cadScript);
    } else {
        none("no cad input file: the B applied is not shown");
    }
    if (!answers.ovofitScript.empty()) {
        run.measured = readEllipsoid(answers.ovofitScript);
    } else {
        none("no input script of ovofit: the ellipsoid ovofit measured is not shown, nor compared with the one applied");
    }
    if (!answers.ovofitTranscript.empty()) {
        run.ovofitLimits = readOvofitLimits(answers.ovofitTranscript);
        common::InputFile transcript(answers.ovofitTranscript);
        if (!run.ovofitLimits) {
            none("no table of limits by I/sigma and CC1/2 in ovofit's transcript " + answers.ovofitTranscript);
        }
        if (auto group = spaceGroupInTranscript(transcript)) {
            run.spaceGroup = group;
            run.spaceGroupFile = answers.ovofitTranscript;
        }
    } else {
        none("no transcript of ovofit: its limits by I/sigma and CC1/2 are not shown");
    }
    if (!run.spaceGroup && !answers.scalingLog.empty()) {
        if (auto group = spaceGroupInLog(answers.scalingLog)) {
            run.spaceGroup = group;
            run.spaceGroupFile = answers.scalingLog;
        }
    }
    if (!answers.ovofitPlot.empty()) {
        run.plotUsable = isSvg(answers.ovofitPlot);
        if (!run.plotUsable) none("ovofit's plot " + answers.ovofitPlot + " is not an SVG picture: it is not shown");
    } else {
        none("no plot of ovofit");
    }
    if (!answers.pagePicture.empty()) {
        run.pictureUsable = isPng(answers.pagePicture);
        if (!run.pictureUsable) none("the report page " + answers.pagePicture + " is not a PNG picture: it is not shown");
    } else {
        none("no picture of the report page (page.png): the twelve panels are not shown");
    }
    if (!answers.startingLog.empty() || !answers.finalLog.empty()) {
        Statistics s;
        s.startingFile = answers.startingLog;
        s.finalFile = answers.finalLog;
        // One log's table, or a line saying why it is not shown.
        const auto readLog = [&](const std::string& name, common::shell_statistics::ShellTable& table, std::string& file,
                                 const char* which, const char* when) {
            if (name.empty()) {
                none(std::string("no ") + which + " XSCALE.LP or CORRECT.LP: the statistics " + when + " are not shown");
                return false;
            }
            common::InputFile log(name);
            if (common::shell_statistics::readTable(log, table)) return true;
            none(std::string(common::shell_statistics::kMissingTable) + " in " + name + ": the statistics " + when +
                 " are not shown");
            file.clear();
            return false;
        };
        const bool startingRead = readLog(answers.startingLog, s.starting, s.startingFile, "starting", "before");
        const bool finalRead = readLog(answers.finalLog, s.finished, s.finalFile, "final", "after");
        if (startingRead || finalRead) {
            run.statistics = std::move(s);
            run.statistics->lines = common::shell_statistics::pairRows(run.statistics->starting, run.statistics->finished);
        }
        for (const std::string* log : {&answers.startingLog, &answers.finalLog}) {
            if (!log->empty()) run.logSymmetry.push_back(symmetryInLog(*log));
        }
    } else if (answers.mergingTable.empty()) {
        none("no XSCALE.LP or CORRECT.LP, starting or final: the statistics are not shown");
    }
    if (!answers.mergingTable.empty()) run.merging = readMergingTables(answers.mergingTable);
    if (run.applied && run.measured) run.ellipsoidDifferences = differences(*run.applied, *run.measured);
    for (const LogSymmetry& log : run.logSymmetry) {
        for (std::string& w : symmetryDifferences(run, log)) {
            run.symmetryWarnings.push_back(std::move(w));
        }
    }
    // What the counts of records are.
    if (!answers.ovofitTranscript.empty()) {
        if (auto line = recordsLine(answers.ovofitTranscript)) {
            run.recordKind.merged = line->merged;
            run.recordKind.file = answers.ovofitTranscript;
            run.recordKind.uniqueIn = line->unique;
            run.recordKind.uniqueInFile = answers.ovofitTranscript;
        }
    }
    if (!answers.scalingLog.empty()) {
        if (auto line = recordsLine(answers.scalingLog)) {
            if (!run.recordKind.merged) {
                run.recordKind.merged = line->merged;
                run.recordKind.file = answers.scalingLog;
            }
            run.recordKind.uniqueKept = line->unique;
            run.recordKind.uniqueKeptFile = answers.scalingLog;
        }
    }
    // The data set: the folder of the reflection file the script cuts.
    const Ellipsoid* script = run.applied ? &*run.applied : run.measured ? &*run.measured : nullptr;
    if (script && !script->reflectionFile.empty()) {
        std::error_code error;
        const fs::path data = fs::absolute(fs::path(script->reflectionFile), error).lexically_normal();
        run.dataSet = data.parent_path().filename().string();
        run.dataSetFrom = "the folder of " + script->reflectionFile + ", record 1 of " + script->file;
    }
    if (run.dataSet.empty()) {
        run.dataSet = fs::path(run.folder).filename().string();
        run.dataSetFrom = "the report's folder";
    }
    if (run.dataSet.empty()) run.dataSet = "unnamed";
    const common::merging_table::Table* kept = run.merging && run.merging->kept ? &*run.merging->kept : nullptr;
    if (!answers.ovofitCif.empty() || run.anisotropy || run.applied || run.measured || kept) {
        run.deposition = composeDeposition(run);
        if (kept) putMergingItems(run.deposition->block, *kept);
    } else {
        none("no ellipsoid, mmCIF fragment of ovofit or table of principal components: no deposition block");
    }
    if (answers.ovofitCif.empty()) none("no mmCIF fragment of ovofit: the deposition block has no signal items");
    listFiles(run);
    return run;
}

}  // namespace ovoreport
