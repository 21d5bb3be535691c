// Writes the four stages of a data set as MTZ files for finjoin.
//
//   generate_mtz random N FOLDER    stage1.mtz ... stage4.mtz, N reflections
//                                   each but the truncated stage, which
//                                   lacks a tenth of them; random amplitudes
//   generate_mtz fin FILE FOLDER    the stages of a fin file: XDS_ASCII.mtz,
//                                   XDS_ASCII_trunc.mtz, phaser_aniso.mtz and
//                                   cad_negB.mtz, each holding the
//                                   reflections whose amplitude in that stage
//                                   is not 0, with the fin file's values
//   generate_mtz unmerged N FILE    an unmerged file of N observations as
//                                   Aimless writes one: M/ISYM, BATCH, I,
//                                   SIGI and the per-observation columns,
//                                   16 in all, sorted by the unit's indices
//
// Cell 54.87 x 68.32 x 82.96 A, space group P 2 2 2, as the example data.
#define USE_STD_SNPRINTF  // gemmi's own formatter is not packaged
#define GEMMI_WRITE_IMPLEMENTATION
#include <gemmi/mtz.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

struct Stage {
    const char* file;
    const char* fLabel;
    const char* sigmaLabel;
};

// rows: h, k, l, F, sigma.
void writeStage(const std::string& path, const Stage& stage, const std::vector<float>& rows) {
    gemmi::Mtz mtz(true);
    mtz.spacegroup = gemmi::find_spacegroup_by_name("P 2 2 2");
    mtz.set_cell_for_all(gemmi::UnitCell(54.87, 68.32, 82.96, 90, 90, 90));
    mtz.add_dataset("generated");
    mtz.add_column(stage.fLabel, 'F', -1, -1, false);
    mtz.add_column(stage.sigmaLabel, 'Q', -1, -1, false);
    mtz.set_data(rows.data(), rows.size());
    mtz.update_reso();
    mtz.write_to_file(path);
}

void add(std::vector<float>& rows, int h, int k, int l, float F, float sigma) {
    rows.insert(rows.end(), {static_cast<float>(h), static_cast<float>(k), static_cast<float>(l), F, sigma});
}

int random(long n, const std::string& folder) {
    const Stage stages[4] = {{"stage1.mtz", "FP", "SIGFP"}, {"stage2.mtz", "FP", "SIGFP"},
                             {"stage3.mtz", "FP_ISO", "SIGFP_ISO"}, {"stage4.mtz", "FP_ISOB", "SIGFP_ISOB"}};
    std::mt19937 draw(2024);
    std::uniform_real_distribution<float> amplitude(0.5f, 3000.0f);
    std::vector<float> rows[4];
    for (auto& r : rows) r.reserve(static_cast<size_t>(n) * 5);
    long made = 0;
    for (int h = 0; made < n; ++h) {
        for (int k = 0; k < 100 && made < n; ++k) {
            for (int l = 0; l < 100 && made < n; ++l, ++made) {
                const float F = amplitude(draw);
                const float sigma = F / 20;
                add(rows[0], h, k, l, F, sigma);
                if (made % 10 != 0) add(rows[1], h, k, l, F, sigma);
                add(rows[2], h, k, l, F * 0.6f, sigma * 0.6f);
                add(rows[3], h, k, l, F * 0.61f, sigma * 0.61f);
            }
        }
    }
    for (int s = 0; s < 4; ++s) writeStage(folder + "/" + stages[s].file, stages[s], rows[s]);
    return 0;
}

int fromFin(const std::string& finName, const std::string& folder) {
    const Stage stages[4] = {{"XDS_ASCII.mtz", "FP", "SIGFP"}, {"XDS_ASCII_trunc.mtz", "FP", "SIGFP"},
                             {"phaser_aniso.mtz", "FP_ISO", "SIGFP_ISO"}, {"cad_negB.mtz", "FP_ISOB", "SIGFP_ISOB"}};
    std::ifstream fin(finName);
    if (!fin) {
        std::fprintf(stderr, "generate_mtz: cannot open %s\n", finName.c_str());
        return 2;
    }
    std::vector<float> rows[4];
    std::string line;
    while (std::getline(fin, line)) {
        const int h = std::stoi(line.substr(0, 4)), k = std::stoi(line.substr(4, 4)), l = std::stoi(line.substr(8, 4));
        for (size_t s = 0; s < 4; ++s) {
            const float F = std::stof(line.substr(12 + 24 * s, 12));
            const float sigma = std::stof(line.substr(24 + 24 * s, 12));
            if (F != 0) add(rows[s], h, k, l, F, sigma);
        }
    }
    for (int s = 0; s < 4; ++s) writeStage(folder + "/" + stages[s].file, stages[s], rows[s]);
    return 0;
}

int unmerged(long n, const std::string& file) {
    gemmi::Mtz mtz(true);
    mtz.spacegroup = gemmi::find_spacegroup_by_name("P 2 2 2");
    mtz.set_cell_for_all(gemmi::UnitCell(54.87, 68.32, 82.96, 90, 90, 90));
    mtz.add_dataset("generated");
    const char* labels[13] = {"M/ISYM", "BATCH", "I", "SIGI", "SCALEUSED", "SIGSCALEUSED", "NPART", "FRACTIONCALC",
                              "XDET", "YDET", "ROT", "WIDTH", "LP"};
    const char types[] = "YBJQRRIRRRRRR";
    for (int c = 0; c < 13; ++c) mtz.add_column(labels[c], types[c], -1, -1, false);
    const int batches = 3600;
    for (int b = 1; b <= batches; ++b) {
        gemmi::Mtz::Batch batch;
        batch.number = b;
        batch.set_cell(mtz.cell);
        mtz.batches.push_back(batch);
    }
    std::mt19937 draw(2026);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    const gemmi::GroupOps ops = mtz.spacegroup->operations();
    std::vector<float> rows;
    rows.reserve(static_cast<size_t>(n) * 16);
    long made = 0;
    for (int h = 0; made < n; ++h) {
        for (int k = 0; k < 150 && made < n; ++k) {
            for (int l = 0; l < 150 && made < n; ++l) {
                if (h + k + l == 0) continue;
                // Four to eight observations a reflection, each at an
                // operation of the group and its batch.
                const int count = 4 + static_cast<int>(uniform(draw) * 5);
                const float intensity = 10000 * uniform(draw) * uniform(draw);
                for (int m = 0; m < count && made < n; ++m, ++made) {
                    const float isym = static_cast<float>(1 + static_cast<int>(uniform(draw) * 2 * static_cast<float>(ops.sym_ops.size())));
                    const float observed = intensity * (0.9f + 0.2f * uniform(draw));
                    const float values[16] = {static_cast<float>(h), static_cast<float>(k), static_cast<float>(l), isym,
                                              static_cast<float>(1 + static_cast<int>(uniform(draw) * batches)),
                                              observed, 5 + 0.05f * observed, 1.1f, 0.01f, 1, 1, 2000 * uniform(draw),
                                              2000 * uniform(draw), 360 * uniform(draw), 0.1f, 1};
                    rows.insert(rows.end(), values, values + 16);
                }
            }
        }
    }
    mtz.set_data(rows.data(), rows.size());
    mtz.sort_order = {{1, 2, 3, 4, 5}};
    mtz.write_to_file(file);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 4 ? argv[1] : "";
    if (mode == "random") return random(std::atol(argv[2]), argv[3]);
    if (mode == "fin") return fromFin(argv[2], argv[3]);
    if (mode == "unmerged") return unmerged(std::atol(argv[2]), argv[3]);
    std::fprintf(stderr, "usage: generate_mtz random N FOLDER | generate_mtz fin FILE FOLDER | generate_mtz unmerged N FILE\n");
    return 2;
}
