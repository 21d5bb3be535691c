// planeview's whole run on a fuzzed ovoclip input script, fin file,
// planeview script and cad input file.
//
// Input: the four files in that order, joined by the separator byte.
//
// Beyond not crashing, the page of a complete run is PostScript that a
// printer can read, whatever the numbers: every colour and dot record holds
// plain numbers where PostScript expects them, the numbers inside the
// narrative's strings hold no parenthesis or backslash that would end or
// break a string, and the page ends with "showpage".
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
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
    while (at < page.size() && page[at] != "/Helvetica findfont") checkDotRecord(page[at++]);
    fuzz::check(page.size() - at == 26 + 42, "narrative and legend not 68 records");
    const auto narrative = [&](size_t record) -> const std::string& { return page[at + record - 1]; };
    checkNumberInString(narrative(4), "(", 10, " reflections were in the initial data set.)show");
    checkNumberInString(narrative(5), "(", 10, " were discarded because they fell outside)show");
    checkNumberInString(narrative(7), "1/", 4 + 6 + 4 + 6 + 4, "");
    checkNumberInString(narrative(14), "average F/sigma of", 6, ".)show");
    checkNumberInString(narrative(16), "(", 10, " reflections remain after ellipsoidal");
    checkNumberInString(narrative(19), "data set.  Lastly, an isotropic B of", 8, " A)show");
    return 0;
}
