// Writes a large, deterministic XDS_ASCII reflection file for timing runs.
//
//   generate_xds merged|unmerged COUNT FILE
//   generate_xds p1 RADIUS FILE
//   generate_xds scaled RADIUS FILE
//
// Merged records are h, k, l, intensity and sigma (40 characters); unmerged
// ones carry the twelve items of CORRECT (91 characters). Indices sweep a
// 50 x 60 x 70 A cell out to about 1.5 A. "p1" writes a merged P1 file of
// unique reflections only: the half sphere of that radius in h, k, l (h > 0,
// or h = 0 and k > 0, or h = k = 0 and l > 0), about 2.1 R^3 of them (8.0 M
// for R = 156), falling off anisotropically. "scaled" writes the same half
// sphere in a P1 cell of 150 x 180 x 210 A (1.0 M reflections to 2.3 A for
// R = 78, the edge at 150/R A along a*) whose mean intensity is the protein
// reference curve with B of 50, 35 and 20 A^2 along a*, b* and c*, for
// ovoscale: noise of one sigma, sigma 2 + 0.05 I + 0.1 of the edge's mean.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/protein_reference.hpp"

namespace {

int writeP1(int radius, FILE* out) {
    std::fprintf(out, "!FORMAT=XDS_ASCII    MERGE=TRUE     FRIEDEL'S_LAW=TRUE\n");
    std::fprintf(out, "!SPACE_GROUP_NUMBER=    1\n");
    std::fprintf(out, "!UNIT_CELL_CONSTANTS=    50.000    60.000    70.000  80.000  95.000 105.000\n");
    std::fprintf(out, "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=5\n");
    std::fprintf(out, "!END_OF_HEADER\n");
    unsigned long long state = 88172645463325252ull;
    const double scale = 3.0 / radius;  // s^2 in units reaching 9 at the edge
    for (int h = 0; h <= radius; ++h) {
        for (int k = h == 0 ? 0 : -radius; k <= radius; ++k) {
            for (int l = h == 0 && k == 0 ? 1 : -radius; l <= radius; ++l) {
                if (h * h + k * k + l * l > radius * radius) continue;
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                const double x = h * scale, y = k * scale, z = l * scale;
                const double mean = 1e5 * std::exp(-(0.6 * x * x + 0.9 * y * y + 1.3 * z * z + 0.2 * x * z));
                const double sigma = 5.0 + std::sqrt(mean);
                const double noise = (static_cast<double>(state % 20001) - 10000.0) / 5000.0;
                std::fprintf(out, "%6d%6d%6d%11.3E%11.3E\n", h, k, l, mean + noise * sigma, sigma);
            }
        }
    }
    std::fprintf(out, "!END_OF_DATA\n");
    return std::fclose(out) == 0 ? 0 : 2;
}

int writeScaled(int radius, FILE* out) {
    std::fprintf(out, "!FORMAT=XDS_ASCII    MERGE=TRUE     FRIEDEL'S_LAW=TRUE\n");
    std::fprintf(out, "!SPACE_GROUP_NUMBER=    1\n");
    std::fprintf(out, "!UNIT_CELL_CONSTANTS=   150.000   180.000   210.000  90.000  90.000  90.000\n");
    std::fprintf(out, "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=5\n");
    std::fprintf(out, "!END_OF_HEADER\n");
    unsigned long long state = 88172645463325252ull;
    const double edge = radius / 150.0;  // |s| at the edge along a*
    const double floor = 0.1 * 1e4 * common::protein_reference::meanIntensity(edge * edge) * std::exp(-35 * edge * edge / 2);
    for (int h = 0; h <= radius; ++h) {
        for (int k = h == 0 ? 0 : -radius; k <= radius; ++k) {
            for (int l = h == 0 && k == 0 ? 1 : -radius; l <= radius; ++l) {
                if (h * h + k * k + l * l > radius * radius) continue;
                const double x = h / 150.0, y = k / 180.0, z = l / 210.0;
                const double s2 = x * x + y * y + z * z;
                const double mean = 1e4 * common::protein_reference::meanIntensity(s2) *
                                    std::exp(-(50 * x * x + 35 * y * y + 20 * z * z) / 2);
                const double sigma = 2.0 + 0.05 * mean + floor;
                double noise = 0;  // the sum of four uniform draws, about one sigma
                for (int n = 0; n < 4; ++n) {
                    state ^= state << 13;
                    state ^= state >> 7;
                    state ^= state << 17;
                    noise += static_cast<double>(state % 20001) / 10000.0 - 1.0;
                }
                std::fprintf(out, "%6d%6d%6d%11.3E%11.3E\n", h, k, l, mean * 1.0 + noise * 0.866 * sigma, sigma);
            }
        }
    }
    std::fprintf(out, "!END_OF_DATA\n");
    return std::fclose(out) == 0 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: generate_xds merged|unmerged COUNT FILE\n       generate_xds p1|scaled RADIUS FILE\n");
        return 2;
    }
    const bool merged = std::strcmp(argv[1], "merged") == 0;
    const long long count = std::atoll(argv[2]);
    FILE* out = std::fopen(argv[3], "wx");
    if (out == nullptr) {
        std::perror(argv[3]);
        return 2;
    }
    static char buffer[1 << 20];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
    if (std::strcmp(argv[1], "p1") == 0) return writeP1(static_cast<int>(count), out);
    if (std::strcmp(argv[1], "scaled") == 0) return writeScaled(static_cast<int>(count), out);
    std::fprintf(out, "!FORMAT=XDS_ASCII    MERGE=%s    FRIEDEL'S_LAW=TRUE\n", merged ? "TRUE " : "FALSE");
    std::fprintf(out, "!SPACE_GROUP_NUMBER=   16\n");
    std::fprintf(out, "!UNIT_CELL_CONSTANTS=    50.000    60.000    70.000  90.000  90.000  90.000\n");
    std::fprintf(out, "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=%d\n", merged ? 5 : 12);
    std::fprintf(out, "!END_OF_HEADER\n");
    unsigned long long state = 88172645463325252ull;
    int h = -33, k = 0, l = 0;
    for (long long i = 0; i < count; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const double intensity = static_cast<double>(state % 1000000) / 7.0 - 5000.0;
        const double sigma = 1.0 + static_cast<double>((state >> 20) % 10000) / 3.0;
        if (merged) {
            std::fprintf(out, "%6d%6d%6d%11.3E%11.3E\n", h, k, l, intensity, sigma);
        } else {
            std::fprintf(out, "%6d%6d%6d%11.3E%11.3E%8.1f%8.1f%9.1f%10.5f%4d%4d%8.2f\n", h, k, l, intensity, sigma,
                         static_cast<double>(state % 2463), static_cast<double>((state >> 12) % 2527),
                         static_cast<double>((state >> 24) % 3600) / 10.0, 0.01 * static_cast<double>(state % 100),
                         static_cast<int>(state % 90), static_cast<int>((state >> 8) % 30),
                         static_cast<double>((state >> 4) % 36000) / 100.0 - 180.0);
        }
        if (++l > 46) {
            l = 0;
            if (++k > 40) {
                k = 0;
                if (++h > 33) h = -33;
            }
        }
    }
    std::fprintf(out, "!END_OF_DATA\n");
    return std::fclose(out) == 0 ? 0 : 2;
}
