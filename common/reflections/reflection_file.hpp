// Any reflection file a program of the suite reads, as one stream of
// observations: an XDS_ASCII file (merged or not) or an MTZ file (merged or
// unmerged), told apart by its first bytes, with what its header says.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <gemmi/symmetry.hpp>

#include "common/cell.hpp"
#include "common/input_file.hpp"
#include "common/reflections/mtz_file.hpp"
#include "common/reflections/xds_file.hpp"

namespace common::reflections {

// True when the file is a regular file that starts with the bytes "MTZ "
// (a pipe is not looked into: gemmi reads an MTZ file by seeking).
bool isMtz(const std::string& path);

enum class FileKind { xdsMerged, xdsUnmerged, mtzMerged, mtzUnmerged };
// "XDS_ASCII, merged", ..., for the terminal and the workflow's index.
const char* kindName(FileKind kind);

struct ReflectionOptions {
    std::string labels;        // MTZ columns as typed ("I SIGI"); blank: chosen by what the file holds
    bool keepMates = false;    // merged MTZ with I(+) and I(-): give both, not IMEAN
    bool frames = false;       // unmerged XDS: read each record's frame (ITEM_ZD=) as its batch
};

struct ReflectionHeader {
    std::string name;
    FileKind kind = FileKind::xdsMerged;
    common::UnitCell cell;
    const gemmi::SpaceGroup* spaceGroup = nullptr;
    bool merged = false;
    // Whether the data were reduced with Friedel's law: XDS's FRIEDEL'S_LAW=,
    // false for a merged MTZ file read as its I(+) and I(-), true for other
    // MTZ files (an unmerged file does not say; its merge decides).
    bool friedelsLaw = true;
    bool amplitudes = false;   // MTZ F columns
    std::string columns;       // MTZ: the labels read
    // The records the file's size can hold, at most (0 when unknown): a
    // bound on its unique reflections for the merge's table.
    size_t recordsAtMost = 0;
};

class ReflectionFile {
public:
    // Opens the file and reads its header; the cell is checked against the
    // space group. A fault ends the run naming the file.
    explicit ReflectionFile(const std::string& path, const ReflectionOptions& options = {});
    ~ReflectionFile();

    const ReflectionHeader& header() const { return header_; }
    // The next observation, or false after the last.
    bool next(Observation& observation) {
        if (xds_) return frames_ ? readObservationWithFrame(*xds_, xdsHeader_, observation) : readObservation(*xds_, observation);
        return mtzObservations_->next(observation);
    }
    // use(observation) for every observation left, in a loop of its own for
    // each kind of file (the reading of a large XDS file without a test a
    // record of which kind it is).
    template <typename Use>
    void forEach(Use&& use) {
        Observation o;
        if (xds_ && !frames_) {
            while (readObservation(*xds_, o)) use(o);
            return;
        }
        while (next(o)) use(o);
    }
    // Ends the run with a report on the record last given: its line and the
    // columns [first, last] of an XDS file, its row of an MTZ file.
    [[noreturn]] void failAtRecord(int first, int last, const std::string& message) const;
    // The MTZ file's headers (null for XDS).
    const MtzHeaders* mtz() const { return mtz_.get(); }

private:
    ReflectionHeader header_;
    std::optional<common::InputFile> xds_;
    XdsHeader xdsHeader_;
    bool frames_ = false;
    std::unique_ptr<MtzHeaders> mtz_;
    std::unique_ptr<MtzObservations> mtzObservations_;
};

}  // namespace common::reflections
