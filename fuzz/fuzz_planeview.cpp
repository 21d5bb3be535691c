// planeview's whole run on a fuzzed ovoclip input script, fin file,
// planeview script and cad input file.
//
// Input: the four files in that order, joined by the separator byte.
//
// Beyond not crashing, the page of a complete run is PostScript that a
// printer can read, whatever the numbers: every colour and dot record holds
// plain numbers where PostScript expects them, the numbers inside the
// narrative's strings hold no parenthesis or backslash that would end or
// break a string, and the page ends with "showpage". And the page is byte
// for byte the page drawn from a plain reading of the fin file, every field
// of every record read with the common reader (the program itself reads
// records of printed fields by quicker means, sixteen columns at a time,
// that must give the same values).
#include <cstdint>
#include <string>
#include <vector>

#include "common/cell.hpp"
#include "common/input_file.hpp"
#include "common/output_file.hpp"
#include "common/layout/fin_file.hpp"
#include "common/records.hpp"
#include "fuzz_support.hpp"
#include "planeview/inputs.hpp"
#include "planeview/page.hpp"
#include "planeview/panels.hpp"
#include "planeview/run.hpp"

namespace {

// A number as PostScript reads it in a record: [-]digits[.digits].
bool plainNumber(const std::string& token) {
    size_t i = token.empty() || token[0] != '-' ? 0 : 1;
    int digits = 0, points = 0;
    for (; i < token.size(); ++i) {
        if (token[i] >= '0' && token[i] <= '9') ++digits;
        else if (token[i] == '.') ++points;
        else return false;
    }
    return digits > 0 && points <= 1;
}

std::vector<std::string> words(const std::string& record) {
    std::vector<std::string> result;
    size_t i = 0;
    while (i < record.size()) {
        while (i < record.size() && record[i] == ' ') ++i;
        const size_t start = i;
        while (i < record.size() && record[i] != ' ') ++i;
        if (i > start) result.push_back(record.substr(start, i - start));
    }
    return result;
}

void checkDotRecord(const std::string& record) {
    if (record == "1 0 0 setrgbcolor") return;
    const auto w = words(record);
    if (w.size() == 2 && w[1] == "setgray") {
        fuzz::check(record.size() == 16 && plainNumber(w[0]), "colour record not F8.3 and setgray: " + record);
        return;
    }
    fuzz::check(w.size() == 7 && plainNumber(w[0]) && plainNumber(w[1]) &&
                    record.compare(16, std::string::npos, " 1 0 360 arc fill") == 0,
                "dot record not 2F8.2 and arc fill: " + record);
}

// A narrative record with a number standing inside a PostScript string.
void checkNumberInString(const std::string& record, const std::string& before, size_t width,
                         const std::string& after) {
    fuzz::check(record.size() == before.size() + width + after.size() && record.compare(0, before.size(), before) == 0 &&
                    record.compare(before.size() + width, std::string::npos, after) == 0,
                "narrative record out of shape: " + record);
    const std::string number = record.substr(before.size(), width);
    fuzz::check(number.find_first_of("()\\") == std::string::npos, "number breaks its string: " + record);
}

// The plain reading of a record: the common fin reader, every field in turn.
common::fin_file::Record readGeneral(std::string_view line, const common::InputFile& fin) {
    common::fin_file::Record r;
    common::fin_file::readRecordGeneral(line, fin, r);
    return r;
}

// The page of a complete run, drawn from the plain reading into `name`.
void drawExpectedPage(const std::string& name) {
    common::InputFile script("script.inp");
    const planeview::CellAndLimits input = planeview::readCellAndLimits(script);
    const common::ReciprocalCell cell = common::computeReciprocalCell(input.cell);
    const float plotScale = planeview::chooseMaxResolution(input.limits) * 70.0f;

    double sums[4] = {};
    uint64_t count = 0;
    {
        common::InputFile fin("fin.dat");
        std::string_view line;
        while (fin.next(line)) {
            const common::fin_file::Record r = readGeneral(line, fin);
            ++count;
            for (int set = 0; set < 4; ++set) sums[set] += r.F[set];
        }
    }
    float means[4] = {};
    for (int set = 0; set < 4 && count > 0; ++set) means[set] = static_cast<float>(sums[set] / static_cast<double>(count));

    common::OutputFile page(name);
    planeview::writePageHeader(page);
    {
        common::InputFile fin("fin.dat");
        std::string_view line;
        const float columnCentre[4] = {150, 300, 450, 600};
        while (fin.next(line)) {
            const common::fin_file::Record r = readGeneral(line, fin);
            const struct {
                bool in;
                planeview::Zone zone;
                float yc;
            } zones[] = {{r.h == 0, planeview::Zone::h0, 350}, {r.k == 0, planeview::Zone::k0, 200},
                         {r.l == 0, planeview::Zone::l0, 50}};
            for (const auto& z : zones) {
                if (!z.in) continue;
                const planeview::Offset offset = planeview::zonePosition(z.zone, r.h, r.k, r.l, cell, plotScale);
                if (!planeview::insidePanel(offset)) continue;  // kept to the panel's disc
                for (int set = 0; set < 4; ++set) {
                    if (r.F[set] == 0.0f) continue;
                    planeview::writeColour(r.F[set], r.sigF[set], means[set], page);
                    planeview::writeDotPair(columnCentre[set], z.yc, offset, page);
                }
            }
        }
    }
    common::InputFile pv("pv.inp");
    const planeview::TruncationSummary summary = planeview::readTruncationSummary(pv);
    common::InputFile cad("cad.inp");
    planeview::writeNarrativeBeforeB(summary, input.limits, page);
    planeview::writeNarrativeFromB(planeview::readNegB(cad), page);
    planeview::writeLegendAndLabels(page);
    page.close();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parts = fuzz::splitParts(data, size, 4);
    fuzz::clearSandbox();
    fuzz::writeFile("script.inp", parts[0]);
    fuzz::writeFile("fin.dat", parts[1]);
    fuzz::writeFile("pv.inp", parts[2]);
    fuzz::writeFile("cad.inp", parts[3]);

    const int status =
        fuzz::runProgram("planeview", planeview::runPlaneview, "script.inp\nfin.dat\nout.ps\npv.inp\ncad.inp\n");
    if (status != 0) return 0;

    const auto page = fuzz::lines(fuzz::readFile("out.ps"));
    fuzz::check(page.size() >= 4 + 26 + 42 && page.back() == "showpage" && page[0] == "%!PS",
                "complete page without its header or showpage");
    size_t at = 4;
    // The dots, then the narrative from its font set-up on.
    while (at < page.size() && page[at].rfind("/Helvetica findfont", 0) != 0) checkDotRecord(page[at++]);
    fuzz::check(page.size() - at == 26 + 42, "narrative and legend not 68 records");
    const auto narrative = [&](size_t record) -> const std::string& { return page[at + record - 1]; };
    checkNumberInString(narrative(10), "(", 10, " reflections were in the initial data set.)show");
    checkNumberInString(narrative(11), "(", 10, " were discarded because they fell outside)show");
    checkNumberInString(narrative(13), "(1/", 4 + 6 + 4 + 6 + 4, " \\305)show (-1) exponent");
    checkNumberInString(narrative(16), "(average F/sigma of", 6, ".)show");
    checkNumberInString(narrative(18), "(", 10, " reflections remain after ellipsoidal )show");
    checkNumberInString(narrative(21), "(data set.  Lastly, an isotropic B of", 8, " \\305)show (2) exponent");

    drawExpectedPage("expected.ps");
    fuzz::check(fuzz::readFile("out.ps") == fuzz::readFile("expected.ps"), "page differs from the plain reading");
    return 0;
}
