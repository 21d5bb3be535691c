// Reading one run's files for the report.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
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
    script.nextOrFail("record 1 of the input script (the reflection file)");
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

// ------------------------------------------------------------ the deposition

// The data-reduction items of the data kept (ovostats's "kept" table) in
// the first block, in place of the same items ovofit wrote (its
// completeness counts the reflections before the cut) and of its
// _reflns_shell loop.
void putMergingItems(gemmi::cif::Document& doc, const common::merging_table::Table& kept) {
    if (doc.blocks.empty()) doc.blocks.emplace_back("ovofit");
    gemmi::cif::Block& block = doc.blocks.front();
    const common::merging_table::DepositionItems items = common::merging_table::depositionItems(kept);
    if (gemmi::cif::Table old = block.find_mmcif_category("_reflns_shell."); old.ok()) old.erase();
    for (const auto& [name, value] : items.reflns) block.set_pair("_reflns." + name, value);
    gemmi::cif::Loop& loop = block.init_mmcif_loop("_reflns_shell.", items.shellTags);
    for (const std::vector<std::string>& row : items.shellRows) loop.add_row(row);
}

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

std::string fixed(double value, int decimals) { return common::fixedText(static_cast<float>(value), decimals); }

// ovofit's mmCIF fragment (none when `name` is empty), read with gemmi's
// CIF reader and written out again, then the B tensor's principal components as _reflns items.
Deposition readDeposition(const std::string& name, const std::optional<Anisotropy>& anisotropy,
                          const common::merging_table::Table* kept) {
    Deposition d;
    d.file = name;
    gemmi::cif::Document doc;
    if (!name.empty()) {
        common::InputFile opened(name);  // the report of a missing file, as for every other
        try {
            doc = gemmi::cif::read_file(name);
        } catch (const std::exception& e) {
            common::fail("cannot read the mmCIF fragment " + common::quoted(name) + ": " + e.what());
        }
    }
    if (kept) putMergingItems(doc, *kept);
    std::ostringstream text;
    for (const gemmi::cif::Block& block : doc.blocks) {
        gemmi::cif::write_cif_block_to_stream(text, block, gemmi::cif::Style::Simple);
    }
    if (anisotropy) {
        if (doc.blocks.empty()) text << "data_ovofit\n";
        // The logs give components that sum to zero (the isotropic part
        // removed); the dictionary allows no negative eigenvalue. Each is
        // given less the smallest: the same tensor of differences, relative
        // to the direction of the best diffraction.
        double smallest = anisotropy->components[0].value;
        for (const Component& c : anisotropy->components) smallest = std::min(smallest, static_cast<double>(c.value));
        for (size_t n = 0; n < 3; ++n) {
            const Component& c = anisotropy->components[n];
            text << "_reflns.pdbx_aniso_B_tensor_eigenvalue_" << n + 1 << "   " << fixed(c.value - smallest, 3)
                 << '\n';
            for (size_t i = 0; i < 3; ++i) {
                text << "_reflns.pdbx_aniso_B_tensor_eigenvector_" << n + 1 << "_ortho[" << i + 1 << "]   "
                     << fixed(c.cosines[i], 4) << '\n';
            }
        }
    }
    d.text = text.str();
    return d;
}

// ------------------------------------------------------------ the comparison

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

Run readRun(const Answers& answers) {
    Run run;
    run.answers = answers;
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
    if (!answers.startingLog.empty() && !answers.finalLog.empty()) {
        Statistics s;
        s.startingFile = answers.startingLog;
        s.finalFile = answers.finalLog;
        common::InputFile starting(answers.startingLog);
        common::InputFile finished(answers.finalLog);
        const bool startingRead = common::shell_statistics::readTable(starting, s.starting);
        const bool finalRead = common::shell_statistics::readTable(finished, s.finished);
        if (startingRead && finalRead) {
            run.statistics = std::move(s);
            run.statistics->lines = common::shell_statistics::pairRows(run.statistics->starting, run.statistics->finished);
        } else {
            none(std::string(common::shell_statistics::kMissingTable) + " in " +
                 (startingRead ? answers.finalLog : answers.startingLog) + ": the statistics are not shown");
        }
    } else if (answers.mergingTable.empty()) {
        none("the statistics need both logs, the starting and the final XSCALE.LP or CORRECT.LP: not shown");
    }
    if (!answers.mergingTable.empty()) run.merging = readMergingTables(answers.mergingTable);
    const common::merging_table::Table* kept = run.merging && run.merging->kept ? &*run.merging->kept : nullptr;
    if (!answers.ovofitCif.empty()) {
        run.deposition = readDeposition(answers.ovofitCif, run.anisotropy, kept);
    } else {
        none("no mmCIF fragment of ovofit: the deposition block holds only the B tensor");
        if (run.anisotropy || kept) run.deposition = readDeposition("", run.anisotropy, kept);
    }
    if (run.applied && run.measured) run.ellipsoidDifferences = differences(*run.applied, *run.measured);
    listFiles(run);
    return run;
}

}  // namespace ovoreport
