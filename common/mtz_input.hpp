// Reading an MTZ file with gemmi, its headers checked against its size
// first, so that a damaged header costs no memory: finjoin's stages and
// bapply's input.
#pragma once

#include <gemmi/mtz.hpp>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace common {

// What an MTZ file's headers claim must fit its size before gemmi
// allocates for it: every column, batch, symmetry operator, data set and
// history line needs a record of 80 bytes among the headers (a batch three,
// BH, TITLE and BHCH, and the words BH announces), the headers end with
// MTZENDOFHEADERS (a cut file does not), and the rows of the data fill exactly the bytes
// between the first 80 and the headers. A claim of a million batches would
// otherwise take 860 bytes each, whatever the file holds.
template <typename Stream>
void checkMtzClaims(Stream& stream, uint64_t fileSize) {
    gemmi::Mtz probe;
    probe.read_first_bytes(stream);
    const int64_t offset = probe.header_offset;
    if (offset < 21 || static_cast<uint64_t>(4 * (offset - 1)) > fileSize) {
        gemmi::fail("the headers' position " + std::to_string(offset) + " lies outside the file (a cut file?)");
    }
    const auto dataBytes = static_cast<uint64_t>(4 * (offset - 1) - 80);
    const uint64_t headerBytes = fileSize - static_cast<uint64_t>(4 * (offset - 1));
    if (!stream.seek(static_cast<std::ptrdiff_t>(4 * (offset - 1)))) gemmi::fail("cannot go to the headers");
    int64_t columns = 0, rows = 0, batches = 0;
    auto claim = [&](std::string_view what, int64_t count, uint64_t records) {
        if (count < 0 || static_cast<uint64_t>(count) * records * 80 > headerBytes) {
            gemmi::fail("the headers claim " + std::to_string(count) + " " + std::string(what) + ", more than their " +
                        std::to_string(headerBytes) + " bytes can hold (a damaged file?)");
        }
    };
    // Each data set is described by five records, PROJECT first; one cut
    // short would leave gemmi a data set without a name, a cell or a
    // wavelength, and a column of a data set not described none at all.
    struct Described {
        int id;
        unsigned records;  // CRYSTAL, DATASET, DCELL, DWAVEL seen, one bit each
    };
    std::vector<Described> datasets;
    std::vector<std::pair<std::string, int>> columnSets;  // each column's label and data set
    int64_t announced = -1;                               // NDIF
    const char* const kDatasetRecords[] = {"CRYSTAL", "DATASET", "DCELL", "DWAVEL"};
    auto checkLastDataset = [&] {
        if (datasets.empty()) return;
        for (unsigned i = 0; i < 4; ++i) {
            if (!(datasets.back().records & (1u << i))) {
                gemmi::fail("the headers describe data set " + std::to_string(datasets.back().id) + " without its " +
                            kDatasetRecords[i] + " record (a cut header?)");
            }
        }
    };
    char record[81] = {};
    bool main = true, ended = false;
    while (stream.read(record, 80)) {
        const int key = gemmi::ialpha4_id(record);
        const char* args = gemmi::Mtz::skip_word(record);
        if (main) {
            if (gemmi::ialpha3_id(record) == gemmi::ialpha3_id("END")) {
                main = false;
                checkLastDataset();
            } else if (key == gemmi::ialpha4_id("PROJ")) {
                checkLastDataset();
                datasets.push_back({gemmi::simple_atoi(args), 0});
            } else if (key == gemmi::ialpha4_id("CRYS") || key == gemmi::ialpha4_id("DATA") ||
                       key == gemmi::ialpha4_id("DCEL") || key == gemmi::ialpha4_id("DWAV")) {
                const unsigned bit = key == gemmi::ialpha4_id("CRYS")   ? 1u
                                     : key == gemmi::ialpha4_id("DATA") ? 2u
                                     : key == gemmi::ialpha4_id("DCEL") ? 4u
                                                                        : 8u;
                const int id = gemmi::simple_atoi(args);
                if (datasets.empty() || datasets.back().id != id) {
                    gemmi::fail("the headers give a " + std::string(record, 5) + "... record of data set " +
                                std::to_string(id) + " outside that data set's PROJECT record (a damaged header?)");
                }
                datasets.back().records |= bit;
            } else if (key == gemmi::ialpha4_id("COLU")) {
                std::string label = gemmi::read_word(args, &args);
                for (int skip = 0; skip < 3; ++skip) args = gemmi::Mtz::skip_word(gemmi::skip_blank(args));
                columnSets.emplace_back(std::move(label), gemmi::simple_atoi(args));
            } else if (key == gemmi::ialpha4_id("NCOL")) {
                columns = gemmi::simple_atoi(args, &args);
                rows = gemmi::simple_atoi(args, &args);
                claim("columns", columns, 1);
                batches = gemmi::simple_atoi(args);
                claim("batches", batches, 3);
            } else if (key == gemmi::ialpha4_id("SYMI")) {
                claim("symmetry operators", gemmi::simple_atoi(args), 1);
            } else if (key == gemmi::ialpha4_id("NDIF")) {
                announced = gemmi::simple_atoi(args);
                claim("data sets", announced, 1);
            }
        } else if (key == gemmi::ialpha4_id("MTZH")) {
            claim("history lines", gemmi::simple_atoi(args), 1);
        } else if (key == gemmi::ialpha4_id("MTZB")) {
            // Each batch: its BH record, a title, the words it announces
            // (not in records of 80 bytes), then BHCH.
            for (int64_t b = 0; b < batches; ++b) {
                std::string words(4000, '\0');
                int64_t total = -1;
                if (stream.read(record, 80) && gemmi::ialpha3_id(record) == gemmi::ialpha3_id("BH ")) {
                    const char* numbers = gemmi::Mtz::skip_word(record);
                    gemmi::simple_atoi(numbers, &numbers);  // the batch's number
                    total = gemmi::simple_atoi(numbers);
                }
                if (total < 0 || total > 1000 || !stream.read(record, 80) ||
                    !stream.read(words.data(), static_cast<size_t>(4 * total)) || !stream.read(record, 80) ||
                    gemmi::ialpha4_id(record) != gemmi::ialpha4_id("BHCH")) {
                    gemmi::fail("the headers of batch " + std::to_string(b + 1) + " of " + std::to_string(batches) +
                                " are damaged or missing (a cut file?)");
                }
            }
        } else if (key == gemmi::ialpha4_id("MTZE")) {
            ended = true;
            break;
        }
    }
    if (!ended) {
        gemmi::fail(main ? "the headers end before their END record, and before MTZENDOFHEADERS (a cut file?)"
                         : "the headers end before their last record, MTZENDOFHEADERS (a cut file?)");
    }
    if (announced >= 0 && static_cast<size_t>(announced) != datasets.size()) {
        gemmi::fail("the headers announce " + std::to_string(announced) + " data sets and describe " +
                    std::to_string(datasets.size()) + " (a cut header?)");
    }
    if (announced >= 0) {  // files of old had none, and their columns no data set
        for (const auto& [label, id] : columnSets) {
            if (std::none_of(datasets.begin(), datasets.end(), [id = id](const Described& d) { return d.id == id; })) {
                gemmi::fail("column " + label + " belongs to data set " + std::to_string(id) +
                            ", which the headers do not describe");
            }
        }
    }
    if (rows < 0) gemmi::fail("the headers claim " + std::to_string(rows) + " reflections");
    const uint64_t claimed = 4 * static_cast<uint64_t>(columns) * static_cast<uint64_t>(rows);
    if (claimed != dataBytes) {
        gemmi::fail("the headers announce " + std::string(claimed > dataBytes ? "more" : "less") +
                    " data than the file holds: " + std::to_string(rows) + " reflections of " +
                    std::to_string(columns) + " columns, " + std::to_string(claimed) + " bytes, where it has " +
                    std::to_string(dataBytes) + " (a damaged file?)");
    }
    if (!stream.seek(0)) gemmi::fail("cannot go back to the start");
}

// The headers checked, then read, then the data, with room reserved for
// `extraColumns` more; the first three columns must be the indices. A fault throws gemmi's std::runtime_error.
template <typename Stream>
void readMtzChecked(gemmi::Mtz& mtz, Stream& stream, uint64_t fileSize, size_t extraColumns = 0) {
    checkMtzClaims(stream, fileSize);
    mtz.read_all_headers(stream);
    const size_t columns = mtz.columns.size();
    if (columns < 3 || mtz.columns[0].type != 'H' || mtz.columns[1].type != 'H' || mtz.columns[2].type != 'H') {
        gemmi::fail("its first three columns are not the indices H, K, L (a cut file?)");
    }
    if (mtz.nreflections > 0) {  // nothing to read into for none
        // Room for the columns a caller adds, so that they need no copy.
        mtz.data.reserve((columns + extraColumns) * static_cast<size_t>(mtz.nreflections));
        mtz.read_raw_data(stream);
    }
}

}  // namespace common
