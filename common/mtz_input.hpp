// Reading an MTZ file with gemmi, its headers checked against its size
// first, so that a damaged header costs no memory: finjoin's stages and
// bapply's input.
#pragma once

#include <gemmi/mtz.hpp>

#include <cstdint>
#include <string>
#include <string_view>

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
    char record[81] = {};
    bool main = true, ended = false;
    while (stream.read(record, 80)) {
        const int key = gemmi::ialpha4_id(record);
        const char* args = gemmi::Mtz::skip_word(record);
        if (main) {
            if (gemmi::ialpha3_id(record) == gemmi::ialpha3_id("END")) {
                main = false;
            } else if (key == gemmi::ialpha4_id("NCOL")) {
                columns = gemmi::simple_atoi(args, &args);
                rows = gemmi::simple_atoi(args, &args);
                claim("columns", columns, 1);
                batches = gemmi::simple_atoi(args);
                claim("batches", batches, 3);
            } else if (key == gemmi::ialpha4_id("SYMI")) {
                claim("symmetry operators", gemmi::simple_atoi(args), 1);
            } else if (key == gemmi::ialpha4_id("NDIF")) {
                claim("data sets", gemmi::simple_atoi(args), 1);
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
    if (!ended) gemmi::fail("the headers end before their last record, MTZENDOFHEADERS (a cut file?)");
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
