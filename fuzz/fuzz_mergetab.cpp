// mergetab's whole run on two fuzzed XSCALE.LP logs, against a plain
// reading of the same logs: each read line by line (its first 90 columns)
// to the first "= -3.0" in columns 46-51, three lines skipped, rows read
// field by field up to the one labelled total, 21 at most. The run must end
// the same way (status, and the file and line named in the report); a
// complete run writes one line for each pair of shells and one for the
// totals, each with the label of the starting log where it has that row,
// and anything else leaves the statistics file empty. (The program itself
// searches the log's buffer for the marker.)
//
// Input: the starting log, the separator byte, the final log.
#include <algorithm>
#include <cstdint>
#include <string>

#include "common/layout/merging_table.hpp"
#include "common/records.hpp"
#include "fuzz_support.hpp"
#include "mergetab/mergetab.hpp"

namespace {

struct Outcome {
    int status = 0;          // 0 read whole, 1 no marker, 2 a failure
    std::string report;      // what the report must hold
    std::vector<std::string> labels;  // the shells' labels, then the total's
    bool hasTotal = false;

    size_t shells() const { return hasTotal ? labels.size() - 1 : labels.size(); }
};

bool isTotal(const std::string& label) {
    std::string word;
    for (const char c : label) {
        if (c != ' ') word += c;
    }
    return word == "total";
}

// The fields of a shell row, whole right-justified fields.
constexpr int kFields[6][2] = {{10, 21}, {22, 29}, {30, 39}, {40, 50}, {52, 61}, {84, 89}};

Outcome readLog(std::string_view text, const std::string& name) {
    Outcome outcome;
    const auto all = fuzz::fileLines(text);
    std::vector<std::string_view> lines;
    for (const auto line : all) lines.push_back(line.substr(0, 90));
    // CORRECT (its first line that is not blank names it, within the 90
    // columns seen) has a table for each growing range of images: the whole
    // data set's follows the line that begins "STATISTICS OF SAVED DATA SET".
    size_t marker = 0;
    size_t first = 0;
    while (first < lines.size() && lines[first].find_first_not_of(' ') == std::string_view::npos) ++first;
    if (first < lines.size() && lines[first].find("***** CORRECT *****") != std::string_view::npos) {
        marker = first + 1;  // after the banner's own line
        if (marker == lines.size()) return {1, "no marker line", {}};
        while (marker < lines.size()) {
            const std::string_view line = lines[marker++];
            const size_t lead = line.find_first_not_of(' ');
            if (lead != std::string_view::npos && line.substr(lead).starts_with("STATISTICS OF SAVED DATA SET")) break;
            if (marker == lines.size()) return {1, "no marker line", {}};
        }
    }
    while (marker < lines.size() && common::columns(lines[marker], 46, 51) != "= -3.0") ++marker;
    if (marker == lines.size()) return {1, "no marker line", {}};
    for (size_t j = 0; j < 21 && !outcome.hasTotal; ++j) {
        const size_t at = marker + 4 + j;
        if (at >= lines.size()) {
            return {2, "end of file " + name + " after line " + std::to_string(lines.size()) + ":", {}};
        }
        for (const auto& field : kFields) {
            float value = 0;
            if (common::parseFreeNumber(common::columns(lines[at], field[0], field[1]), value) !=
                common::ParseStatus::ok) {
                return {2,
                        "line " + std::to_string(at + 1) + " of " + name + ", columns " + std::to_string(field[0]) +
                            "-" + std::to_string(field[1]),
                        {}};
            }
        }
        std::string label(common::columns(lines[at], 4, 9));
        label.resize(6, ' ');
        outcome.labels.push_back(label);
        outcome.hasTotal = isTotal(label);
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parts = fuzz::splitParts(data, size, 2);
    // A file whose first line heads one of ovostats's tables is read as that
    // table, not as a log (tests/ovostats hold that route); this target and
    // its plain reading are about logs.
    for (const std::string_view part : parts) {
        if (common::merging_table::startsTable(part)) return 0;
    }
    fuzz::clearSandbox();
    fuzz::writeFile("start.lp", parts[0]);
    fuzz::writeFile("final.lp", parts[1]);

    const int status = fuzz::runProgram("mergetab", mergetab::runMergetab, "start.lp\nfinal.lp\nstats.html\n");
    const std::string statistics = fuzz::readFile("stats.html");

    Outcome expected = readLog(parts[0], "start.lp");
    Outcome final;
    if (expected.status == 0) {
        final = readLog(parts[1], "final.lp");
        if (final.status != 0) {
            expected.status = final.status;
            expected.report = final.report;
        }
    }
    fuzz::check(status == expected.status && fuzz::contains(fuzz::lastReport(), expected.report),
                "the run ended otherwise than a plain reading: status " + std::to_string(status) + " " +
                    fuzz::lastReport() + " instead of " + std::to_string(expected.status) + " " + expected.report);
    if (status != 0) {
        fuzz::check(statistics.empty(), "statistics file written by a run without a result");
        return 0;
    }
    // Rows pair by their labels: at least a line for each row of the longer
    // table, at most one for every row of both, the totals sharing one.
    const size_t totals = expected.hasTotal || final.hasTotal ? 1 : 0;
    const size_t fewest = std::max(expected.shells(), final.shells()) + totals;
    const size_t most = expected.shells() + final.shells() + totals;
    const auto records = fuzz::lines(statistics);
    fuzz::check(records.size() >= fewest + 4 && records.size() <= most + 4 && records[0] == " <pre>" &&
                    records.back() == " </pre>",
                "statistics file is not a line a shell and the four fixed records");
    for (size_t j = 0; j + 4 < records.size(); ++j) {
        const std::string& row = records[j + 3];
        // 83 columns and two for each character a count needs beyond five
        // (at most 11); more only where a label character became an entity.
        fuzz::check(row.size() >= 83 && row.size() <= 83 + 2 * 6 + 6 * 4, "table row of the wrong length");
        fuzz::check(row.find_first_of("<>") == std::string::npos, "markup in a table row");
        // Each line's label is one of a row of either table.
        bool labelled = false;
        for (const Outcome* table : {&expected, &final}) {
            for (const std::string& label : table->labels) {
                labelled = labelled || label.find_first_of("&<>") != std::string::npos ||
                           row.compare(0, 8, "  " + label) == 0;
            }
        }
        fuzz::check(labelled, "row label not the one of a row of either log");
    }
    return 0;
}
