// The suite's programs as a driver runs them, a row a program: the answers
// and input files of a run that succeeds, and every file name of that run.
// The behaviours that common/ gives every program (its options, how a name
// is taken from an answer, opened and refused) are tested over this table
// (arguments_test.cpp, names_test.cpp); a new program joins them with a row.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "failure_support.hpp"
#include "ovofit/falloff_data.hpp"
#include "ovoscale/scaling_data.hpp"

namespace programs {

using failures::Contents;

// In `leftBehind`: the file as a whole run writes it.
inline const std::string kAsRun = "<as run>";

struct Name {
    enum Role { kInput, kOutput, kNamedOnly };  // kNamedOnly: written into a file, never opened
    std::string name;                            // a whole answer, or a whole record of an input
    Role role;
    Contents leftBehind = {};        // beside the inputs when this file cannot be opened or created
    bool blankMeansNone = false;     // a blank answer asks for no file
    bool showsNames = false;         // an output that quotes the names within its lines
};

struct Program {
    std::string name;
    std::string answers;
    Contents inputs;
    std::vector<Name> names;  // in the order the run opens them
};

inline const std::string kCell = "   50.00   60.00   70.00   90.00   90.00   90.00\n";
inline const std::string kAxesAndLimits =
    "      1.0000      0.0000      0.0000      0.0000      1.0000      0.0000      0.0000      0.0000      1.0000\n"
    "      2.5000      2.0000      1.8000\n";

inline std::string xds() {
    return "!FORMAT=XDS_ASCII    MERGE=TRUE\n!END_OF_HEADER\n"
           "    19     0     0  1.000E+02  1.000E+01\n    21     0     0  1.000E+02  1.000E+01\n!END_OF_DATA\n";
}

inline std::string ovofitXds() {
    falloff::Model small;
    small.dHigh = 3;
    return falloff::mergedXds(small);
}

inline std::string ovoscaleXds() {
    scaling_data::Model small;
    small.dHigh = 3;
    return scaling_data::xds(small, scaling_data::draw(small));
}

inline std::string mmcif() {
    return "data_r1abcsf\n_cell.length_a 50.0\n_cell.length_b 60.0\n_cell.length_c 70.0\n"
           "_cell.angle_alpha 90.0\n_cell.angle_beta 90.0\n_cell.angle_gamma 90.0\n"
           "_symmetry.space_group_name_H-M 'P 2 2 2'\n"
           "loop_\n_refln.index_h\n_refln.index_k\n_refln.index_l\n_refln.F_meas_au\n_refln.F_meas_sigma_au\n"
           "1 1 1 10.5 1.5\n0 2 3 20.25 2.5\n";
}

// A log with one shell row and the total row.
inline std::string xscaleLog() {
    std::string text = "XSCALE log\n SUBSET OF INTENSITY DATA WITH SIGNAL/NOISE >= -3.0 AS FUNCTION OF RESOLUTION\n"
                       " RESOLUTION\n   LIMIT\n\n";
    for (const char* label : {"  5.00", " total"}) {
        char row[128];
        std::snprintf(row, sizeof row, "   %6s%12d%8d%10d%11.1f%%%10.1f%%%21s%6.2f\n", label, 1000, 250, 260, 99.0, 3.0,
                      "", 20.0);
        text += row;
    }
    return text;
}

// A small MTZ file, made here byte by byte (the table is shared by tests
// that do not link gemmi's writer): P 2 2 2, two reflections of H, K, L,
// FP_ISO and SIGFP_ISO.
inline std::string mtz() {
    const float data[] = {1, 2, 3, 100.5f, 3.5f, 0, 0, 4, 250.0f, 5.0f};
    std::string bytes(80, '\0');
    const int32_t headerStart = 21 + 10, machine = 0x00004144;
    std::memcpy(bytes.data(), "MTZ ", 4);
    std::memcpy(bytes.data() + 4, &headerStart, 4);
    std::memcpy(bytes.data() + 8, &machine, 4);
    bytes.append(reinterpret_cast<const char*>(data), sizeof data);
    for (const char* record :
         {"VERS MTZ:V1.1", "TITLE small", "NCOL        5            2        0",
          "CELL     50.0000   60.0000   70.0000   90.0000   90.0000   90.0000", "SORT    0   0   0   0   0",
          "SYMINF   4  4 P    16                 'P 2 2 2' PG222", "SYMM X,  Y,  Z", "SYMM -X,  -Y,  Z",
          "SYMM -X,  Y,  -Z", "SYMM X,  -Y,  -Z", "RESO 0.00163265 0.00510204", "VALM NAN",
          "COLUMN H                              H 0 1 0", "COLUMN K                              H 0 2 0",
          "COLUMN L                              H 3 4 0", "COLUMN FP_ISO                         F 100.5 250 1",
          "COLUMN SIGFP_ISO                      Q 3.5 5 1", "NDIF        2", "PROJECT       0 HKL_base",
          "CRYSTAL       0 HKL_base", "DATASET       0 HKL_base",
          "DCELL         0    50.0000   60.0000   70.0000   90.0000   90.0000   90.0000", "DWAVEL        0    0.00000",
          "PROJECT       1 small", "CRYSTAL       1 small", "DATASET       1 small",
          "DCELL         1    50.0000   60.0000   70.0000   90.0000   90.0000   90.0000", "DWAVEL        1    0.97918",
          "END", "MTZENDOFHEADERS"}) {
        bytes += failures::pad(record, 80);
    }
    return bytes;
}

inline const std::string kCadInput = "title apply a negative iso B\nSCAL FILE_NUMBER 1 1.00      -23.456\n"
                                     "LABI FILE 1 E1=FP_ISO E2=SIGFP_ISO \nLABO FILE 1 E1=FP_ISOB E2=SIGFP_ISOB\nend\n";

inline const std::vector<Program>& all() {
    using N = Name;
    static const std::vector<Program> programs = {
        {"ovofit",
         "d.hkl\n\ntrunc.hkl\nfit.inp\nfit.svg\n",
         {{"d.hkl", ovofitXds()}},
         {{"d.hkl", N::kInput},
          {"trunc.hkl", N::kNamedOnly},
          {"fit.inp", N::kOutput},
          // All or nothing: a plot that cannot be made takes the script with it.
          {"fit.svg", N::kOutput, {}, true}}},
        {"ovoscale",
         "d.hkl\nout.mtz\nout.log\n",
         {{"d.hkl", ovoscaleXds()}},
         // Both or neither: a log that cannot be made takes the MTZ file with it.
         {{"d.hkl", N::kInput}, {"out.mtz", N::kOutput}, {"out.log", N::kOutput}}},
        {"ovoclip",
         "ovo.inp\npv.inp\n",
         {{"ovo.inp", "XDS_ASCII.HKL\ntrunc.hkl\n" + kCell + kAxesAndLimits}, {"XDS_ASCII.HKL", xds()}},
         {{"ovo.inp", N::kInput},
          {"XDS_ASCII.HKL", N::kInput, {{"XDS_ASCII._reslimit.dat", kAsRun}}},
          {"trunc.hkl", N::kOutput, {{"XDS_ASCII._reslimit.dat", kAsRun}}},
          {"pv.inp", N::kOutput, {{"XDS_ASCII._reslimit.dat", kAsRun}, {"trunc.hkl", kAsRun}}}}},
        {"honer",
         "phaser.log\ncad.com\n",
         {{"phaser.log", "Phaser log\n     eigenB (A^2)\n         1.854\n         0.021\n     -23.456\n"}},
         {{"phaser.log", N::kInput}, {"cad.com", N::kOutput}}},
        {"finjoin",
         "s1.cif\n\n\ns2.cif\n\n\ns3.cif\n\n\ns4.cif\n\n\nout.fin\n",
         {{"s1.cif", mmcif()}, {"s2.cif", mmcif()}, {"s3.cif", mmcif()}, {"s4.cif", mmcif()}},
         {{"s1.cif", N::kInput},
          {"s2.cif", N::kInput},
          {"s3.cif", N::kInput},
          {"s4.cif", N::kInput},
          {"out.fin", N::kOutput}}},
        {"planeview",
         "script.inp\nfin.dat\nout.ps\npv.inp\ncad.inp\n",
         {{"script.inp", "XDS_ASCII.HKL\ntrunc.hkl\n" + kCell + kAxesAndLimits},
          {"fin.dat", "   0   6   0      250.00       10.00        0.00        0.00        0.00        0.00"
                      "        0.00        0.00\n"},
          {"pv.inp", "    45678\n     5678\n        1.23\n    40000.00\n"},
          {"cad.inp", "title apply a negative iso B\nSCAL FILE_NUMBER 1 1.00      -23.456\n"}},
         {{"script.inp", N::kInput},
          {"fin.dat", N::kInput},
          {"out.ps", N::kOutput},
          {"pv.inp", N::kInput, {{"out.ps", ""}}},
          {"cad.inp", N::kInput, {{"out.ps", ""}}}}},
        {"bapply",
         "cad.inp\nin.mtz\nout.mtz\n",
         {{"cad.inp", kCadInput}, {"in.mtz", mtz()}},
         {{"cad.inp", N::kInput}, {"in.mtz", N::kInput}, {"out.mtz", N::kOutput}}},
        {"mergetab",
         "start.lp\nfinal.lp\nstats.html\n",
         {{"start.lp", xscaleLog()}, {"final.lp", xscaleLog()}},
         {{"start.lp", N::kInput}, {"final.lp", N::kInput}, {"stats.html", N::kOutput}}},
        {"mergetab-rsym",
         "start.lp\nfinal.lp\nstats.html\n",
         {{"start.lp", xscaleLog()}, {"final.lp", xscaleLog()}},
         {{"start.lp", N::kInput}, {"final.lp", N::kInput}, {"stats.html", N::kOutput}}},
        // Both outputs or neither; the script's names are never opened.
        {"ovostats",
         "d.hkl\novo.inp\n\nstats.txt\nstats.json\n",
         {{"d.hkl", ovofitXds()}, {"ovo.inp", "XDS_ASCII.HKL\ntrunc.hkl\n" + kCell + kAxesAndLimits}},
         {{"ovo.inp", N::kInput, {}, true},
          {"XDS_ASCII.HKL", N::kNamedOnly},
          {"trunc.hkl", N::kNamedOnly},
          {"d.hkl", N::kInput},
          {"stats.txt", N::kOutput},
          {"stats.json", N::kOutput}}},
        // The outputs are created first; every input may be blank.
        {"ovoreport",
         "ovo.inp\npv.inp\n\n\n\n\n\n\n\nstart.lp\nfinal.lp\nreport.html\nreport.json\n",
         {{"ovo.inp", "XDS_ASCII.HKL\ntrunc.hkl\n" + kCell + kAxesAndLimits},
          {"pv.inp", "    45678\n     5678\n        1.23\n    40000.00\n"},
          {"start.lp", xscaleLog()},
          {"final.lp", xscaleLog()}},
         {{"report.html", N::kOutput, {}, false, true},
          {"report.json", N::kOutput, {}, true, true},
          {"ovo.inp", N::kInput, {}, true},
          {"XDS_ASCII.HKL", N::kNamedOnly},
          {"pv.inp", N::kInput, {}, true},
          {"start.lp", N::kInput, {}, true},
          {"final.lp", N::kInput, {}, true}}},
    };
    return programs;
}

// What a failing case shows of its row.
inline void PrintTo(const Program& p, std::ostream* os) { *os << p.name; }

// A test's name for the program: letters and digits only.
inline std::string testName(const std::string& program) {
    std::string name = program;
    std::erase(name, '-');
    return name;
}

}  // namespace programs
