// planeview run as the pipeline runs it: four input files and five answers.

#include <gtest/gtest.h>

#include <cmath>

#include "planeview_files.hpp"

namespace {

using pvtest::Cell;
using pvtest::FinRow;
using pvtest::row;
using testsupport::ScratchDir;
using Records = std::vector<std::string>;

const std::string kOrdinaryPv = pvtest::planeviewScript(45678, 5678, 1.23, 40000);
const std::string kOrdinaryCad = pvtest::cadInput(-23.456);

pvtest::Run runWithFin(const ScratchDir& dir, const std::string& fin, double limit = 2.0, Cell cell = {}) {
    return pvtest::runPlaneview(dir, pvtest::inputScript(cell, limit, limit, limit), fin, kOrdinaryPv, kOrdinaryCad);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// -------------------------------------------------------------- the dots

TEST(PlaneviewDots, WorkedExampleOrthogonalCellGrayAndRed) {
    // The second record, outside every zone, brings the init mean to 100;
    // 250 over a sigma of 10 is gray, over 100 (a ratio of exactly 2.5) red.
    const struct {
        double sigma;
        std::string colour;
    } cases[] = {{10, "  -1.000 setgray"}, {100, "1 0 0 setrgbcolor"}};
    for (const auto& c : cases) {
        ScratchDir dir;
        const auto run = runWithFin(dir, pvtest::finFile({row(0, 6, 0, {250}, {c.sigma}), row(1, 1, 1, {-50})}));
        ASSERT_EQ(run.result.status, 0) << run.result.err;
        EXPECT_EQ(pvtest::dotRecords(run.records), (Records{c.colour, "  164.00  350.00 1 0 360 arc fill",
                                                            "  136.00  350.00 1 0 360 arc fill", c.colour,
                                                            "  150.00   64.00 1 0 360 arc fill",
                                                            "  150.00   36.00 1 0 360 arc fill"}));
    }
}

TEST(PlaneviewDots, GrayLevelsColumnsAndZeroSigmas) {
    ScratchDir dir;
    // init: 300 against a mean of 100 (two empty records) gives -1.5.
    // trunc: absent from init, drawn only in the trunc column, 250 vs 100.
    // aniso: sigma 0 with a positive amplitude is an infinite ratio, gray
    // 1.5 - 1 = 0.5; iso: sigma 0 with a negative amplitude is red.
    const auto run = runWithFin(
        dir, pvtest::finFile({row(0, 6, 0, {300, 0, 0, 0}, {10}), row(1, 1, 1, {0, -50, 0, 0}),
                              row(1, 1, 1, {0, 0, 0, 0}), row(0, 0, 0, {0, 350, 0, 0}, {0, 10}),
                              row(1, 0, 1, {0, 0, 60, -60}, {0, 0, 0, 0})}));
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    // Means: init 300/5 = 60, trunc 300/5 = 60, aniso 12, iso -12.
    EXPECT_EQ(pvtest::dotRecords(run.records),
              (Records{// 0 6 0 in zone h=0, then zone l=0; init 300 vs mean 60 is -3.5
                       "  -3.500 setgray", "  164.00  350.00 1 0 360 arc fill", "  136.00  350.00 1 0 360 arc fill",
                       "  -3.500 setgray", "  150.00   64.00 1 0 360 arc fill", "  150.00   36.00 1 0 360 arc fill",
                       // 0 0 0: trunc only, two coincident dots in each row
                       "  -4.333 setgray", "  300.00  350.00 1 0 360 arc fill", "  300.00  350.00 1 0 360 arc fill",
                       "  -4.333 setgray", "  300.00  200.00 1 0 360 arc fill", "  300.00  200.00 1 0 360 arc fill",
                       "  -4.333 setgray", "  300.00   50.00 1 0 360 arc fill", "  300.00   50.00 1 0 360 arc fill",
                       // 1 0 1 in zone k=0: aniso gray (60/12 = 5), iso red
                       "  -3.500 setgray", "  452.80  202.00 1 0 360 arc fill", "  447.20  198.00 1 0 360 arc fill",
                       "1 0 0 setrgbcolor", "  602.80  202.00 1 0 360 arc fill",
                       "  597.20  198.00 1 0 360 arc fill"}));
}

TEST(PlaneviewDots, MidGrayAndOnePointFiveTimesTheMean) {
    ScratchDir dir;
    const auto run = runWithFin(dir, pvtest::finFile({row(0, 6, 0, {300}, {10}), row(6, 0, 1, {100}, {10}),
                                                      row(1, 1, 1, {0}), row(1, 1, 1, {0})}));
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    const Records dots = pvtest::dotRecords(run.records);
    ASSERT_EQ(dots.size(), 9u);
    EXPECT_EQ(dots[0], "  -1.500 setgray");  // 300 against a mean of 100
    EXPECT_EQ(dots[6], "   0.500 setgray");  // the mean itself
}

// The offsets follow the reciprocal axes with their true angles: checked
// against the textbook reciprocal cell in double precision.
TEST(PlaneviewDots, TriclinicZonesLeanByTheReciprocalAngles) {
    ScratchDir dir;
    const Cell cell{40, 50, 60, 70, 80, 100};
    const auto run = runWithFin(dir,
                                pvtest::finFile({row(0, 2, 3, {100}, {10}), row(2, 0, 3, {100}, {10}),
                                                 row(2, 3, 0, {100}, {10})}),
                                2.0, cell);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    const Records dots = pvtest::dotRecords(run.records);
    ASSERT_EQ(dots.size(), 9u);

    const double d2r = M_PI / 180;
    const double ca = std::cos(cell.alpha * d2r), cb = std::cos(cell.beta * d2r), cg = std::cos(cell.gamma * d2r);
    const double sa = std::sin(cell.alpha * d2r), sb = std::sin(cell.beta * d2r), sg = std::sin(cell.gamma * d2r);
    const double volume = cell.a * cell.b * cell.c * std::sqrt(1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg);
    const double as = cell.b * cell.c * sa / volume, bs = cell.a * cell.c * sb / volume,
                 cs = cell.a * cell.b * sg / volume;
    const double cas = (cb * cg - ca) / (sb * sg), cbs = (ca * cg - cb) / (sa * sg), cgs = (ca * cb - cg) / (sa * sb);
    const double s = 140;
    struct Expected {
        double x, y;
    };
    const Expected expected[3] = {
        {150 + 2 * bs * s + 3 * cs * s * cas, 350 + 3 * cs * s * std::sqrt(1 - cas * cas)},
        {150 + 2 * as * s + 3 * cs * s * cbs, 200 + 3 * cs * s * std::sqrt(1 - cbs * cbs)},
        {150 + 2 * as * s + 3 * bs * s * cgs, 50 + 3 * bs * s * std::sqrt(1 - cgs * cgs)},
    };
    for (int zone = 0; zone < 3; ++zone) {
        const std::string& dot = dots[static_cast<size_t>(zone) * 3 + 1];
        const double x = std::stod(dot.substr(0, 8)), y = std::stod(dot.substr(8, 8));
        EXPECT_NEAR(x, expected[zone].x, 0.02) << dot;
        EXPECT_NEAR(y, expected[zone].y, 0.02) << dot;
        // The mate mirrors through the panel centre.
        const std::string& mate = dots[static_cast<size_t>(zone) * 3 + 2];
        const double yc = zone == 0 ? 350 : zone == 1 ? 200 : 50;
        EXPECT_NEAR(std::stod(mate.substr(0, 8)), 300 - expected[zone].x, 0.02) << mate;
        EXPECT_NEAR(std::stod(mate.substr(8, 8)), 2 * yc - expected[zone].y, 0.02) << mate;
    }
}

TEST(PlaneviewDots, PrintedFieldsShortAndLongRecordsAndCarriageReturns) {
    ScratchDir dir;
    // Fields without a point take two implied decimals; a short record reads
    // the missing fields as 0; columns after 108 are never seen; a CR before
    // the LF is not part of the record.
    const std::string fin = "   0   6   0       25000        1000\r\n" +
                            pvtest::finLine(row(1, 1, 1, {-50})) + "junk after column 108\n";
    const auto run = runWithFin(dir, fin);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(pvtest::dotRecords(run.records).size(), 6u);
    EXPECT_EQ(pvtest::dotRecords(run.records)[1], "  164.00  350.00 1 0 360 arc fill");
    EXPECT_TRUE(contains(run.result.out, " ave|F|init,trunc,aniso,isob 100 0 0 0\n")) << run.result.out;
}

// ----------------------------------------------------------- hostile dots

TEST(PlaneviewHostile, NotANumberMeanWritesNoColour) {
    ScratchDir dir;
    const std::string fin = pvtest::finLine(row(0, 6, 0, {250}, {10})) + "\n   1   1   1         NaN\n";
    const auto run = runWithFin(dir, fin);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(pvtest::dotRecords(run.records),
              (Records{"  164.00  350.00 1 0 360 arc fill", "  136.00  350.00 1 0 360 arc fill",
                       "  150.00   64.00 1 0 360 arc fill", "  150.00   36.00 1 0 360 arc fill"}));
}

TEST(PlaneviewHostile, GrayLevelsBeyondTheFieldAreClamped) {
    ScratchDir dir;
    // init: 200000 against a mean of 100 is -1998.5; trunc: a negative
    // amplitude over a negative sigma against a mean of 100 is +10001.5;
    // aniso: amplitudes of 5 and -5 make a mean of 0, and 5 against it is
    // -Infinity.
    const std::string fin = pvtest::finFile({row(0, 6, 0, {200000, -1000000, 0, 0}, {10, -1, 0, 0}),
                                             row(1, 1, 1, {-199700, 1000300, -5, 0}),
                                             row(0, 0, 1, {0, 0, 5, 0}, {0, 0, 1, 0})});
    const auto run = runWithFin(dir, fin);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    const Records dots = pvtest::dotRecords(run.records);
    ASSERT_GE(dots.size(), 9u);
    EXPECT_EQ(dots[0], "-999.999 setgray");
    EXPECT_EQ(dots[3], " 999.999 setgray");
    // The 0 0 1 record: zone h=0 first, aniso column.
    EXPECT_EQ(dots[12], "-999.999 setgray");
}

TEST(PlaneviewHostile, DotsOutsideTheFieldAreLeftOutTheirMatesKept) {
    ScratchDir dir;
    // Limits of 7000 give a scale of 490000: the offset of 0 6 0 is 49000.
    // Top row: x = 49150 fits F8.2, its mate's -48850 does not. Bottom row:
    // y = 49050 fits but fills all eight columns, so that it would run into
    // x; its mate's -48950 does not fit. Only the colour is left there.
    const auto run = runWithFin(dir, pvtest::finFile({row(0, 6, 0, {250}, {10}), row(1, 1, 1, {-50})}), 7000);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(pvtest::dotRecords(run.records),
              Records{});  // far outside its panel: clipped

    // Limits of 1000 and b* of 1/70: the offset of 0 5 0 is 5000. An x of
    // eight characters is fine at the start of the record; a y of -4950.00
    // is not, while 5050.00 leaves its blank.
    ScratchDir near;
    const auto edge = runWithFin(near, pvtest::finFile({row(0, 5, 0, {250}, {10}), row(1, 1, 1, {-50})}), 1000,
                                 Cell{50, 70, 70, 90, 90, 90});
    ASSERT_EQ(edge.result.status, 0) << edge.result.err;
    EXPECT_EQ(pvtest::dotRecords(edge.records),
              Records{});  // far outside its panel: clipped
}

TEST(PlaneviewHostile, ImpossibleCellWritesColoursButNoDots) {
    ScratchDir dir;
    const auto run = runWithFin(dir, pvtest::finFile({row(0, 6, 0, {250}, {10}), row(1, 1, 1, {-50})}), 2.0,
                                Cell{50, 60, 70, 120, 120, 120});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(pvtest::dotRecords(run.records), Records{});  // no position: nothing drawn
    EXPECT_EQ(run.records.back(), "showpage");
}

TEST(PlaneviewHostile, LimitsOfZeroDrawEverythingAtTheCentre) {
    ScratchDir dir;
    const auto run = runWithFin(dir, pvtest::finFile({row(0, 6, 0, {250}, {10}), row(1, 1, 1, {-50})}), 0.0);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_TRUE(contains(run.result.out, " scaling the reciprocal cell by 0\n"));
    EXPECT_EQ(pvtest::dotRecords(run.records)[1], "  150.00  350.00 1 0 360 arc fill");
    EXPECT_EQ(pvtest::dotRecords(run.records)[2], "  150.00  350.00 1 0 360 arc fill");
}

// ------------------------------------------------------- means and scale

TEST(PlaneviewRun, MeansCountEveryRecordBlankOnesIncluded) {
    ScratchDir dir;
    const std::string fin = pvtest::finFile({row(1, 1, 1, {100, 100, 0, 8}), row(1, 1, 1, {300, 0, 0, 0})}) + "\n";
    const auto run = runWithFin(dir, fin);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    // Three records, the last blank: 400/3, 100/3, 0, 8/3.
    EXPECT_TRUE(contains(run.result.out, " ave|F|init,trunc,aniso,isob 133.33333 33.333332 0 2.6666667\n"))
        << run.result.out;
    EXPECT_TRUE(pvtest::dotRecords(run.records).empty());

    ScratchDir two;
    const auto twoRecords = runWithFin(two, pvtest::finFile({row(1, 1, 1, {100, 100}), row(1, 1, 1, {300, 0})}));
    EXPECT_TRUE(contains(twoRecords.result.out, " ave|F|init,trunc,aniso,isob 200 50 0 0\n"))
        << twoRecords.result.out;
}

// A single-precision running sum of 300000 amplitudes of 1.1 drifts to
// 1.0966674; the mean must still be 1.1.
TEST(PlaneviewRun, MeansOfLongFilesStayExact) {
    ScratchDir dir;
    std::string fin;
    const std::string record = "   1   1   1        1.10        0.10       -2.20\n";
    fin.reserve(record.size() * 300000);
    for (int i = 0; i < 300000; ++i) fin += record;
    const auto run = runWithFin(dir, fin);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_TRUE(contains(run.result.out, " ave|F|init,trunc,aniso,isob 1.1 -2.2 0 0\n")) << run.result.out;
}

TEST(PlaneviewRun, MaximumResolutionAndScale) {
    struct Case {
        double l1, l2, l3;
        const char* maxResolution;
        const char* scale;
    };
    for (const Case& c : {Case{2.0, 1.8, 1.8, "1.8", "126"}, Case{1.5, 1.5, 1.5, "1.5", "105"},
                          Case{1.7, 2.0, 1.9, "1.7", "119"}, Case{3.0, 2.5, 2.0, "2", "140"}}) {
        ScratchDir dir;
        const auto run = pvtest::runPlaneview(dir, pvtest::inputScript(Cell{}, c.l1, c.l2, c.l3), "", kOrdinaryPv,
                                              kOrdinaryCad);
        ASSERT_EQ(run.result.status, 0) << run.result.err;
        EXPECT_TRUE(contains(run.result.out, std::string(" maximum resolution is ") + c.maxResolution + "\n"))
            << run.result.out;
        EXPECT_TRUE(contains(run.result.out, std::string(" scaling the reciprocal cell by ") + c.scale + "\n"))
            << run.result.out;
    }
    // A limit that is not a number: every comparison fails, the c* limit wins.
    ScratchDir dir;
    std::string script = pvtest::inputScript(Cell{}, 2, 2, 2);
    script.replace(script.rfind("      2.0000      2.0000      2.0000"), 36, "         NaN      1.0000      3.0000");
    const auto run = pvtest::runPlaneview(dir, script, "", kOrdinaryPv, kOrdinaryCad);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_TRUE(contains(run.result.out, " maximum resolution is 3\n")) << run.result.out;
}

TEST(PlaneviewRun, TerminalDialogueAndEchoes) {
    ScratchDir dir;
    const auto run = pvtest::runPlaneview(dir, pvtest::inputScript(Cell{10, 20, 30, 90, 90, 90}, 2.5, 2.2, 1.9), "",
                                          kOrdinaryPv, kOrdinaryCad);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(testsupport::lines(run.result.out),
              (Records{" Please type ovoclip input file",
                       " Type fin file with 4 data sets",
                       " Type output ps file",
                       " Please type the planeview input file",
                       " Please type the cad -B input file",
                       " a=  10  b=  20  c=  30",
                       " alpha=  90  beta=  90  gamma=  90",
                       " astar=  0.1  bstar=  0.05  cstar= 0.033333335",
                       " volume of direct unit cell=  6000",
                       " cosalpha*=  4.3711392e-08",
                       " cosbeta*=  4.3711392e-08",
                       " cosgamma*=  4.3711392e-08",
                       " sinalpha*=  1",
                       " sinbeta*=  1",
                       " singamma*=  1",
                       " limit on a* is 2.5",
                       " limit on b* is 2.2",
                       " limit on c* is 1.9",
                       " maximum resolution is 1.9",
                       " ave|F|init,trunc,aniso,isob 0 0 0 0",
                       " scaling the reciprocal cell by 133",
                       " negB applied by cad was -23.456",
                       " bye"}));
    EXPECT_TRUE(run.result.err.empty()) << run.result.err;
}

// ---------------------------------------------------------- the narrative

TEST(PlaneviewPage, WholePageOfAnEmptyFinFile) {
    ScratchDir dir;
    const auto run = pvtest::runPlaneview(dir, pvtest::inputScript(Cell{}, 2.5, 2.2, 1.9), "", kOrdinaryPv,
                                          kOrdinaryCad);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    const std::string expected =
        "%!PS\n"
        "%%BoundingBox: 0 -50 700 700\n"
        "%%PageBoundingBox: 0 -50 700 700\n"
        "0 setgray\n" +
        pvtest::kNarrativeFont +
        "30 670 moveto\n"
        "(     45678 reflections were in the initial data set.)show\n"
        "(      5678 were discarded because they fell outside)show\n"
        " 40 650 moveto (the specified ellipsoid with dimensions )show\n"
        "(1/ 2.5,   1/ 2.2,   1/ 1.9 \\305)show (-1) exponent\n"
        "(  along a*,b*,c*, respectively.)show\n"
        "40 630 moveto (These discarded reflections had an )show\n"
        "(average F/sigma of  1.23.)show\n"
        "40 610 moveto\n"
        "(     40000 reflections remain after ellipsoidal )show\n"
        "(truncation.  Anisotropic scale factors were then)show\n"
        "40 590 moveto (applied to remove anisotropy from the )show\n"
        "(data set.  Lastly, an isotropic B of  -23.46 \\305)show (2) exponent\n"
        "40 570 moveto (was applied to restore the magnitude )show\n"
        "(of the high resolution reflections diminished by)show\n"
        "40 550 moveto (anisotropic scaling. )show\n"
        "(The following pseudo precession images illustrate )show\n"
        "(the individual steps.)show\n"
        "20 275 moveto 700 275 lineto stroke\n"
        "20 125 moveto 700 125 lineto stroke\n"
        "/Helvetica findfont\n"
        "15 scalefont setfont 0 0 0 setrgbcolor\n"
        "150 480 moveto (large magnitude F)show\n"
        "stroke 140 485 5 0 360 arc fill \n"
        "0.6 setgray\n"
        "300 480 moveto (small magnitude F)show\n"
        "stroke 290 485 5 0 360 arc fill\n"
        "1 0 0 setrgbcolor\n"
        "450 480 moveto (F/sigma under 2.5)show\n"
        "stroke 440 485 5 0 360 arc fill\n"
        "/Helvetica findfont\n"
        "15 scalefont setfont 0 0 0 setrgbcolor\n"
        "180 420 moveto (TRUNCATION)show\n"
        "320 440 moveto (ANISOTROPIC)show\n"
        "340 420 moveto (SCALING)show\n"
        "480 420 moveto (ISOTROPIC -B)show\n"
        "3.0 setlinewidth\n"
        "210 400 moveto 240 400 lineto stroke\n"
        "newpath 250 400 moveto -10 7 rlineto\n"
        "0 -14 rlineto closepath fill\n"
        "350 400 moveto 380 400 lineto stroke\n"
        "newpath 390 400 moveto -10 7 rlineto\n"
        "0 -14 rlineto closepath fill\n"
        "510 400 moveto 540 400 lineto stroke\n"
        "newpath 550 400 moveto -10 7 rlineto\n"
        "0 -14 rlineto closepath fill\n"
        "30 400 moveto (H=0) show\n"
        "30 250 moveto (K=0) show\n"
        "30 100 moveto (L=0) show\n"
        "1 setlinewidth\n"
        "120 470 moveto 470 0 rlineto 0 30 rlineto\n"
        "-470 0 rlineto 0 -30 rlineto stroke\n"
        " /Helvetica findfont 10 scalefont setfont\n"
        "10 380 moveto (b* horiz.)show\n"
        "10 360 moveto (c* vert.)show\n"
        "10 230 moveto (a* horiz.)show\n"
        "10 210 moveto (c* vert.)show\n"
        "10  80 moveto (a* horiz.)show\n"
        "10  60 moveto (b* vert.)show\n"
        "showpage\n";
    EXPECT_EQ(run.page, expected);
}

TEST(PlaneviewPage, NarrativeNumbersThatDoNotFitOrAreNotFinite) {
    struct Case {
        double l1, l2, l3;
        std::string pv;
        double negB;
        const char* limitsRecord;
        const char* meanRecord;
        const char* remainingRecord;
        const char* negBRecord;
    };
    const std::vector<Case> cases = {
        {100, 2.2, -10, pvtest::planeviewScript(1, 2, 1000, 12345), 12.5, "(1/****,   1/ 2.2,   1/**** \\305)show (-1) exponent",
         "(average F/sigma of******.)show", "(     12345 reflections remain after ellipsoidal )show",
         "(data set.  Lastly, an isotropic B of   12.50 \\305)show (2) exponent"},
        {0.04, 0.05, 0.96, "        7\n        0\n    Infinity\n        7.00\n", 0.004, "(1/ 0.0,   1/ 0.1,   1/ 1.0 \\305)show (-1) exponent",
         "(average F/sigma of   Inf.)show", "(         7 reflections remain after ellipsoidal )show",
         "(data set.  Lastly, an isotropic B of    0.00 \\305)show (2) exponent"},
        {2, 2, 2, "        7\n        0\n         NaN\n        7.00\n", -123456, "(1/ 2.0,   1/ 2.0,   1/ 2.0 \\305)show (-1) exponent",
         "(average F/sigma of   NaN.)show", "(         7 reflections remain after ellipsoidal )show",
         "(data set.  Lastly, an isotropic B of******** \\305)show (2) exponent"},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const auto run =
            pvtest::runPlaneview(dir, pvtest::inputScript(Cell{}, c.l1, c.l2, c.l3), "", c.pv, pvtest::cadInput(c.negB));
        ASSERT_EQ(run.result.status, 0) << run.result.err;
        ASSERT_EQ(run.records.size(), 72u);
        EXPECT_EQ(run.records[4 + 12], c.limitsRecord);
        EXPECT_EQ(run.records[4 + 15], c.meanRecord);
        EXPECT_EQ(run.records[4 + 17], c.remainingRecord);
        EXPECT_EQ(run.records[4 + 20], c.negBRecord);
    }
}

TEST(PlaneviewRun, CarriageReturnsInEveryInputChangeNothing) {
    auto crlf = [](std::string text) {
        std::string out;
        for (char c : text) {
            if (c == '\n') out += '\r';
            out += c;
        }
        return out;
    };
    const std::string script = pvtest::inputScript(Cell{50, 60, 70, 90, 110, 90}, 2.5, 2.2, 1.9);
    const std::string fin = pvtest::finFile({row(0, 6, 3, {250, 100}, {10, 50}), row(2, 0, 3, {-50, 30}, {1, 1}),
                                             row(0, 0, 0, {10, 10, 10, 10}, {1, 1, 1, 1})});
    ScratchDir lf, cr;
    const auto plain = pvtest::runPlaneview(lf, script, fin, kOrdinaryPv, kOrdinaryCad);
    const auto withCr = pvtest::runPlaneview(cr, crlf(script), crlf(fin), crlf(kOrdinaryPv), crlf(kOrdinaryCad));
    ASSERT_EQ(plain.result.status, 0) << plain.result.err;
    ASSERT_EQ(withCr.result.status, 0) << withCr.result.err;
    EXPECT_EQ(withCr.page, plain.page);
    EXPECT_EQ(withCr.result.out, plain.result.out);
}

}  // namespace
