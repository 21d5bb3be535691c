// Writing planeview's four input files in the layouts their writers use,
// running planeview on them and picking the page apart.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "testsupport.hpp"

namespace pvtest {

struct Cell {
    double a = 50, b = 60, c = 70, alpha = 90, beta = 90, gamma = 90;
};

struct FinRow {
    int h = 0, k = 0, l = 0;
    double F[4] = {0, 0, 0, 0};
    double sigF[4] = {0, 0, 0, 0};
};

// The narrative's font as the page sets it up before its first line:
// Helvetica in ISO Latin-1 (for the A with its ring) and the exponent
// procedure that raises the unit's power where the text ends.
inline const std::string kNarrativeFont =
    "/Helvetica findfont dup length dict begin\n"
    "{1 index /FID ne {def} {pop pop} ifelse} forall\n"
    "/Encoding ISOLatin1Encoding def currentdict end\n"
    "/Helvetica-ISOLatin1 exch definefont pop\n"
    "/exponent {currentfont exch /Helvetica-ISOLatin1 findfont 10 scalefont setfont\n"
    "0 6 rmoveto show 0 -6 rmoveto setfont} def\n"
    "/Helvetica-ISOLatin1 findfont\n"
    "15 scalefont setfont 0 0 0 setrgbcolor\n";

inline std::string format(const char* pattern, auto... values) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

// (3I4,8F12.2)
// A fin record: the indices, the amplitudes and sigmas given (the rest 0).
inline FinRow row(int h, int k, int l, std::initializer_list<double> F, std::initializer_list<double> sigF = {}) {
    FinRow r;
    r.h = h;
    r.k = k;
    r.l = l;
    int i = 0;
    for (double f : F) r.F[i++] = f;
    i = 0;
    for (double s : sigF) r.sigF[i++] = s;
    return r;
}

inline std::string finLine(const FinRow& r) {
    std::string line = format("%4d%4d%4d", r.h, r.k, r.l);
    for (int set = 0; set < 4; ++set) line += format("%12.2f%12.2f", r.F[set], r.sigF[set]);
    return line;
}

// The ovoclip input script: two names, 6F8.2, 9F12.4, 9F12.4 of which
// three are used.
inline std::string inputScript(const Cell& cell, double l1, double l2, double l3) {
    std::string s = "XDS_ASCII.HKL\ntruncated.hkl\n";
    s += format("%8.2f%8.2f%8.2f%8.2f%8.2f%8.2f\n", cell.a, cell.b, cell.c, cell.alpha, cell.beta, cell.gamma);
    s += format("%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f\n", 1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0,
                1.0);
    s += format("%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f%12.4f\n", l1, l2, l3, 0.0, 0.0, 0.0, 0.0, 0.0,
                0.0);
    return s;
}

// The planeview script as ovoclip writes it: I9, I9, F12.2, F12.2.
inline std::string planeviewScript(int in, int rejected, double meanFOverSigma, int remaining) {
    return format("%9d\n%9d\n%12.2f\n%12.2f\n", in, rejected, meanFOverSigma, static_cast<double>(remaining));
}

// The cad input file as honer writes it.
inline std::string cadInput(double negB) {
    return "title apply a negative iso B\n" + format("SCAL FILE_NUMBER 1 1.00 %12.3f\n", negB) +
           "LABI FILE 1 E1=FP_ISO E2=SIGFP_ISO \nLABO FILE 1 E1=FP_ISOB E2=SIGFP_ISOB\nend\n";
}

struct Run {
    testsupport::RunResult result;
    std::string page;  // empty when no page was written
    std::vector<std::string> records;
};

inline const char* kAnswers = "script.inp\nfin.dat\nout.ps\npv.inp\ncad.inp\n";

// Writes the four inputs (as given, raw text) into the folder and runs
// planeview with the usual answers.
inline Run runPlaneview(const testsupport::ScratchDir& dir, const std::string& script, const std::string& fin,
                        const std::string& pv, const std::string& cad) {
    testsupport::writeFile(dir / "script.inp", script);
    testsupport::writeFile(dir / "fin.dat", fin);
    testsupport::writeFile(dir / "pv.inp", pv);
    testsupport::writeFile(dir / "cad.inp", cad);
    Run run;
    run.result = testsupport::run(testsupport::program("planeview"), kAnswers, dir.path());
    std::error_code ignored;
    if (std::filesystem::exists(dir / "out.ps", ignored)) {
        run.page = testsupport::readFile(dir / "out.ps");
        run.records = testsupport::lines(run.page);
    }
    return run;
}

inline std::string finFile(const std::vector<FinRow>& rows) {
    std::string text;
    for (const FinRow& r : rows) text += finLine(r) + "\n";
    return text;
}

// The records between the four header records and the narrative.
inline std::vector<std::string> dotRecords(const std::vector<std::string>& records) {
    std::vector<std::string> dots;
    for (size_t i = 4; i < records.size() && records[i].rfind("/Helvetica findfont", 0) != 0; ++i) dots.push_back(records[i]);
    return dots;
}

}  // namespace pvtest
