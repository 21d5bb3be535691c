// Writes a large, deterministic program log for timing runs.
//
//   generate_logs phaser|xscale BYTES FILE [SEED]
//
// The log is BYTES long, give or take a line: filler lines of prose, number
// tables, rulers and blank lines, with the table the program looks for near
// the end. A phaser log ends with its table of principal components (the
// "eigenB" heading in columns 6-11) and about a hundred lines after it; an
// XSCALE.LP log ends with the statistics by resolution shell (the marker
// "= -3.0" in columns 46-51, three lines, 21 shell rows) and about a hundred
// lines after them. The filler holds decoys: the same words a column off,
// so that a search on the word alone has to look twice. Prints the number
// of lines and bytes written.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Random {
    unsigned long long state;
    unsigned long long next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    int below(int n) { return static_cast<int>(next() % static_cast<unsigned long long>(n)); }
};

const char* const kWords[] = {
    "the",        "of",        "reflections", "resolution", "data",      "set",       "refinement",
    "molecular",  "replacement", "search",   "ensemble",   "rotation",  "translation", "function",
    "anisotropy", "correction", "scale",     "factor",     "outliers",  "rejected",  "observed",
    "unique",     "possible",  "completeness", "wilson",   "plot",      "intensity", "sigma",
    "mean",       "standard",  "deviation", "cell",       "space",     "group",     "symmetry",
    "component",  "principal", "direction", "cosines",    "orthogonal", "packing",   "clashes",
    "LLG",        "TFZ",       "RFZ",       "PAK",        "EXPECTED",  "NUMBER",    "CORRECTION",
    "FACTORS",    "SUBSET",    "INTENSITY", "DATA",       "WITH",      "NOISE",     "AS",
    "FUNCTION",   "LIMIT",     "R-FACTOR",  "I/SIGMA",    "CC(1/2)",   "Anomal",    "SigAno",
};
constexpr int kWordCount = sizeof kWords / sizeof kWords[0];

std::string proseLine(Random& random) {
    std::string line(static_cast<size_t>(random.below(6)), ' ');
    const size_t length = 20 + static_cast<size_t>(random.below(80));
    while (line.size() < length) {
        line += kWords[random.below(kWordCount)];
        line += ' ';
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

std::string numberLine(Random& random) {
    std::string line;
    const int fields = 3 + random.below(12);
    char text[32];
    for (int i = 0; i < fields; ++i) {
        const int kind = random.below(3);
        if (kind == 0) {
            std::snprintf(text, sizeof text, "%9d", random.below(2000000) - 1000);
        } else if (kind == 1) {
            std::snprintf(text, sizeof text, "%10.3f", (random.below(2000000) - 1000000) / 1000.0);
        } else {
            std::snprintf(text, sizeof text, "%9.1f%%", random.below(100000) / 100.0);
        }
        line += text;
    }
    return line;
}

std::string rulerLine(Random& random) {
    std::string line(static_cast<size_t>(random.below(4)), ' ');
    line.append(40 + static_cast<size_t>(random.below(60)), random.below(2) == 0 ? '-' : '=');
    return line;
}

// Lines that hold the words of the tables, but not in their columns.
std::string decoyLine(Random& random, bool phaser) {
    if (phaser) {
        return random.below(2) == 0 ? "    eigenB (A^2)     direction cosines (orthogonal coordinates)"
                                    : "      eigenB values of the anisotropic part of the B factor";
    }
    return random.below(2) == 0 ? " SUBSET OF INTENSITY DATA WITH SIGNAL/NOISE  >= -3.0 AS FUNCTION OF RESOLUTION"
                                : "SUBSET OF INTENSITY DATA WITH SIGNAL/NOISE >= -3.0 AS FUNCTION OF RESOLUTION";
}

// A pool of filler lines, each with its line feed.
std::vector<std::string> fillerPool(Random& random, bool phaser) {
    std::vector<std::string> pool;
    for (int i = 0; i < 8192; ++i) {
        const int kind = random.below(100);
        std::string line;
        if (kind < 15) {
            line = "";
        } else if (kind < 55) {
            line = proseLine(random);
        } else if (kind < 90) {
            line = numberLine(random);
        } else if (kind < 99) {
            line = rulerLine(random);
        } else {
            line = decoyLine(random, phaser);
        }
        pool.push_back(line + "\n");
    }
    return pool;
}

std::string phaserTable() {
    return "   Principal components of anisotropic part of B affecting observed amplitudes:\n"
           "     eigenB (A^2)     direction cosines (orthogonal coordinates)\n"
           "        25.305              1.0000  -0.0000  -0.0000\n"
           "       -12.142              0.0000   0.0000   1.0000\n"
           "       -13.163              0.0000   1.0000  -0.0000\n"
           "   Anisotropic deltaB (i.e. range of principal components):  38.468\n"
           "   Resharpening B (to restore strong direction of diffraction): -13.163\n";
}

std::string xscaleTable(Random& random) {
    std::string table =
        " SUBSET OF INTENSITY DATA WITH SIGNAL/NOISE >= -3.0 AS FUNCTION OF RESOLUTION\n"
        " RESOLUTION     NUMBER OF REFLECTIONS    COMPLETENESS R-FACTOR  R-FACTOR COMPARED I/SIGMA   R-meas  CC(1/2)"
        "  Anomal  SigAno   Nano\n"
        "   LIMIT     OBSERVED  UNIQUE  POSSIBLE     OF DATA   observed  expected                                      "
        "Corr\n\n";
    char line[256];
    double limit = 8.5;
    long long totalObserved = 0, totalUnique = 0;
    for (int shell = 0; shell < 21; ++shell) {
        const long long unique = 400 + random.below(2500);
        const long long observed = unique * (3 + random.below(4)) + random.below(1000);
        const double rFactor = 2.0 + shell * 3.0 + random.below(100) / 10.0;
        const double iSigma = 40.0 - shell * 1.9;
        if (shell < 20) {
            std::snprintf(line, sizeof line,
                          "%9.2f%12lld%8lld%10lld%11.1f%%%10.1f%%%9.1f%%%9lld%8.2f%9.1f%%%8.1f*%8d%8.3f%8d\n", limit,
                          observed, unique, unique + random.below(20), 99.0 + random.below(10) / 10.0, rFactor,
                          rFactor + 0.2, observed, iSigma, rFactor + 0.5, 99.8 - shell, random.below(30),
                          0.8 + random.below(100) / 1000.0, random.below(3000));
            totalObserved += observed;
            totalUnique += unique;
            limit = limit / 1.07;
        } else {
            std::snprintf(line, sizeof line,
                          "    total%12lld%8lld%10lld%11.1f%%%10.1f%%%9.1f%%%9lld%8.2f%9.1f%%%8.1f*%8d%8.3f%8d\n",
                          totalObserved, totalUnique, totalUnique + 100, 99.6, 4.8, 4.8, totalObserved, 14.09, 5.6,
                          99.9, 3, 0.812, 40000);
        }
        table += line;
    }
    return table;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: generate_logs phaser|xscale BYTES FILE [SEED]\n");
        return 2;
    }
    const bool phaser = std::strcmp(argv[1], "phaser") == 0;
    if (!phaser && std::strcmp(argv[1], "xscale") != 0) {
        std::fprintf(stderr, "generate_logs: the kind is phaser or xscale\n");
        return 2;
    }
    const long long bytes = std::atoll(argv[2]);
    Random random{88172645463325252ull + (argc == 5 ? std::strtoull(argv[4], nullptr, 10) : 0)};
    FILE* out = std::fopen(argv[3], "wx");
    if (out == nullptr) {
        std::perror(argv[3]);
        return 2;
    }
    static char buffer[1 << 20];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);

    const std::vector<std::string> pool = fillerPool(random, phaser);
    const std::string table = phaser ? phaserTable() : xscaleTable(random);
    std::string tail;
    for (int i = 0; i < 100; ++i) tail += pool[static_cast<size_t>(random.below(static_cast<int>(pool.size())))];
    const long long fillerBytes = bytes - static_cast<long long>(table.size() + tail.size());

    long long written = 0, lines = 0;
    while (written < fillerBytes) {
        const std::string& line = pool[static_cast<size_t>(random.below(static_cast<int>(pool.size())))];
        std::fwrite(line.data(), 1, line.size(), out);
        written += static_cast<long long>(line.size());
        ++lines;
    }
    for (const std::string* part : {&table, static_cast<const std::string*>(&tail)}) {
        std::fwrite(part->data(), 1, part->size(), out);
        written += static_cast<long long>(part->size());
        for (const char c : *part) lines += c == '\n';
    }
    if (std::fclose(out) != 0) {
        std::perror(argv[3]);
        return 2;
    }
    std::printf("%lld lines, %lld bytes\n", lines, written);
    return 0;
}
