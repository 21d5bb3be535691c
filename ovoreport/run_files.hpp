// What ovoreport reads of one run: each file's numbers, and the name of the
// file they come from. A file the run does not have (a blank answer) or
// that does not hold what is looked for leaves its part empty, and a line
// of `missing` says what is not shown and why.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/cell.hpp"
#include "common/layout/merging_table.hpp"
#include "common/layout/reflns_block.hpp"
#include "common/layout/shell_statistics.hpp"

namespace ovoreport {

// The names given on standard input, in the order asked; empty for none.
struct Answers {
    std::string appliedScript;   // the ovoclip input script of the run
    std::string planeviewScript; // ovoclip's summary for planeview
    std::string scalingLog;      // ovoscale's or Phaser's log (eigenB table)
    std::string cadScript;       // honer's cad input file
    std::string ovofitScript;    // the input script ovofit wrote
    std::string ovofitTranscript;// ovofit's standard output, kept in a file
    std::string ovofitPlot;      // ovofit's SVG plot
    std::string ovofitCif;       // ovofit's mmCIF fragment
    std::string pagePicture;     // page.png
    std::string startingLog;     // XSCALE.LP or CORRECT.LP, before
    std::string finalLog;        // likewise, after
    std::string report;          // report.html, to create
    std::string json;            // report.json, to create; empty for none
    std::string mergingTable;    // ovostats's table (asked last: the end of the input is none)
};

// An ellipsoid as an ovoclip input script gives it.
struct Ellipsoid {
    std::string file;
    std::string reflectionFile;  // record 1: the XDS file it cuts
    common::UnitCell cell;
    float axes[3][3] = {};      // rows in the orthonormal frame
    float limitOfRow[3] = {};   // Angstrom, row i paired as ovoclip pairs it
    // Row i as u a* + v b* + w c*, scaled so that the largest |coefficient| is 1.
    std::array<std::array<double, 3>, 3> reciprocalCombination{};
};

struct Truncation {
    std::string file;
    int32_t read = 0;
    int32_t rejected = 0;
    float meanRejected = 0;  // sum I over sum sigma(I) of the rejected; may be NaN or infinite
    int32_t kept = 0;
};

// What the counts of records are: ovoclip counts the records of the XDS
// file, observations when it is unmerged, unique reflections when merged.
struct RecordKind {
    std::optional<bool> merged;   // none when no file of the run says
    std::string file;             // the transcript or log that says
    std::optional<int64_t> uniqueIn;    // ovofit: the unique reflections of the data read
    std::string uniqueInFile;
    std::optional<int64_t> uniqueKept;  // ovoscale on the truncated data
    std::string uniqueKeptFile;
};

struct IsotropicB {
    std::string file;
    double b = 0;  // A^2, the trace of the fitted B over 3
    // The log says the data end before the Wilson region (3.5 A), where
    // the value follows the reference curve's shape as much as the data.
    bool rough = false;
};

// The cell and space group a statistics log names (its last
// SPACE_GROUP_NUMBER= and UNIT_CELL_CONSTANTS=), and how they compare with
// the data's.
struct LogSymmetry {
    std::string file;
    std::optional<int> spaceGroupNumber;
    std::optional<std::array<double, 6>> cell;
};

struct Component {
    float value = 0;                // A^2
    std::array<float, 3> cosines{}; // orthonormal frame
};

struct Anisotropy {
    std::string file;
    std::array<Component, 3> components;  // as listed, largest first
    float range() const;                  // largest less smallest
};

struct AppliedB {
    std::string file;
    float b = 0;  // A^2, as CAD applies it
};

// ovofit's limits by axis (its limits table); read by readOvofitLimits.
struct FittedLimit {
    double angstrom = 0;
    std::string mark;  // empty, "beyond" (the data's edge) or "lowest" (the lowest shell's edge)
};
struct FittedAxis {
    std::array<double, 3> cosines{};        // orthonormal frame
    std::string direction;                  // as a combination of a*, b*, c*
    FittedLimit shellEdge;                  // Angstrom
    FittedLimit bySigma;                    // the fitted I/sigma limit
    std::optional<FittedLimit> byHalfSets;  // the fitted CC1/2 limit (unmerged data only)
};
struct OvofitLimits {
    std::string file;
    std::string criterion;  // the limits the script takes: "I/sigma" or "CC1/2"
    double iOverSigmaThreshold = 0;
    double ccThreshold = 0;
    std::vector<FittedAxis> axes;
};

struct Statistics {
    std::string startingFile;
    std::string finalFile;
    common::shell_statistics::ShellTable starting;
    common::shell_statistics::ShellTable finished;
    std::vector<common::shell_statistics::TableLine> lines;  // into the two tables
};

// ovostats's tables: all the observations, and those inside the ellipsoid.
struct MergingTables {
    std::string file;
    common::merging_table::Table all;
    std::optional<common::merging_table::Table> kept;
};

struct Deposition {
    std::string file;                    // ovofit's fragment read; empty for none
    std::string ellipsoidSource;         // where the ellipsoid described comes from, in words
    common::reflns_block::Block block;   // the items to copy
    std::string text() const { return block.text(); }
};

struct RunFile {
    std::string name;
    std::optional<uintmax_t> size;  // empty when it could not be found
    bool read = false;              // one of the files the report reads
};

struct Run {
    Answers answers;
    std::string dataSet;      // the folder of the reflection file, else of the report
    std::string dataSetFrom;  // how the name was found
    std::string written;      // the date and time (UTC) the report was written
    std::string version;      // the suite's
    std::string folder;       // the run's folder: names are shown within it
    std::optional<std::string> spaceGroup;
    std::string spaceGroupFile;
    std::optional<Ellipsoid> applied;
    std::optional<Truncation> truncation;
    std::optional<Anisotropy> anisotropy;
    std::optional<AppliedB> appliedB;
    std::optional<IsotropicB> isotropicB;
    RecordKind recordKind;
    std::vector<LogSymmetry> logSymmetry;
    // A log of another crystal: its cell or space group differs from the data's.
    std::vector<std::string> symmetryWarnings;
    std::optional<Ellipsoid> measured;
    std::optional<OvofitLimits> ovofitLimits;
    bool plotUsable = false;     // ovofit's plot: an SVG picture to embed
    bool pictureUsable = false;  // page.png: a PNG picture to embed
    std::optional<Statistics> statistics;
    std::optional<MergingTables> merging;
    std::optional<Deposition> deposition;
    // A difference between the ellipsoid applied and the one ovofit measured.
    std::vector<std::string> ellipsoidDifferences;
    std::vector<RunFile> files;
    std::vector<std::string> missing;  // one line each: what is not shown, and why

    // A file's name as the report shows it: within the run's folder (the
    // report's, or the one above it, which holds the workflow's steps), else
    // its own folder's name and its name.
    std::string shown(const std::string& file) const;
};

// Reads every file named in `answers`; a named file that cannot be opened
// or read ends the run (status 2).
Run readRun(const Answers& answers);

}  // namespace ovoreport
