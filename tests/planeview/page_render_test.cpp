// The page rendered by Ghostscript: it must be PostScript that runs without
// error whatever the numbers, and its dots must come out in their colours.

#include <gtest/gtest.h>

#include "planeview_files.hpp"
#include "rendering.hpp"

namespace {

using pvtest::Cell;
using pvtest::FinRow;
using pvtest::Image;
using pvtest::readPpm;
using pvtest::row;
using testsupport::ScratchDir;

#define REQUIRE_GHOSTSCRIPT(gs)                                                                  \
    const std::string gs = pvtest::findProgram("gs");                                            \
    if (gs.empty()) {                                                                            \
        GTEST_SKIP() << "Ghostscript (gs) is not installed: the rendered page is not checked"; \
    }

struct Rendering {
    testsupport::RunResult gs;
    Image image;
};

Rendering render(const std::string& gs, const ScratchDir& dir) {
    Rendering rendering;
    rendering.gs = testsupport::run(
        gs, "", dir.path(),
        {"-dSAFER", "-dBATCH", "-dNOPAUSE", "-q", "-sDEVICE=ppmraw", "-r72", "-sOutputFile=page.ppm", "out.ps"});
    std::error_code ignored;
    if (std::filesystem::exists(dir / "page.ppm", ignored)) {
        rendering.image = readPpm(testsupport::readFile(dir / "page.ppm"));
    }
    return rendering;
}

void expectCleanRendering(const Rendering& r, const std::string& what) {
    EXPECT_EQ(r.gs.status, 0) << what << "\n" << r.gs.out << r.gs.err;
    EXPECT_EQ(r.gs.out.find("Error"), std::string::npos) << what << "\n" << r.gs.out;
    EXPECT_EQ(r.gs.err.find("Error"), std::string::npos) << what << "\n" << r.gs.err;
    EXPECT_GT(r.image.width, 0) << what << ": no page came out";
}

bool isBlack(Image::Rgb c) { return c.r == 0 && c.g == 0 && c.b == 0; }
bool isRed(Image::Rgb c) { return c.r == 255 && c.g == 0 && c.b == 0; }
bool isMidGray(Image::Rgb c) { return c.r == c.g && c.g == c.b && c.r > 100 && c.r < 160; }
bool isWhite(Image::Rgb c) { return c.r == 255 && c.g == 255 && c.b == 255; }

TEST(PageRendering, OrdinaryPageShowsBlackGrayAndRedDots) {
    REQUIRE_GHOSTSCRIPT(gs);
    ScratchDir dir;
    // 0 6 0 lies 14 points right of the centres of the top row: init 250
    // against a mean of 100 is black, trunc at its mean is mid-gray, aniso
    // with F/sigma 2 is red.
    const auto run = pvtest::runPlaneview(
        dir, pvtest::inputScript(Cell{}, 2, 2, 2),
        pvtest::finFile({row(0, 6, 0, {250, 100, 20, 0}, {10, 10, 10, 0}), row(1, 1, 1, {-50, 100, 0, 0}, {})}),
        pvtest::planeviewScript(1000, 10, 1.5, 990), pvtest::cadInput(-20));
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    const Rendering r = render(gs, dir);
    expectCleanRendering(r, "ordinary page");
    ASSERT_GT(r.image.width, 0);

    // A dot of radius 1 point at integer coordinates covers the four pixels
    // that meet at its centre.
    auto dotColour = [&](double x, double y, auto isColour, const char* name) {
        for (const double dx : {-0.5, 0.5}) {
            for (const double dy : {-0.5, 0.5}) {
                const Image::Rgb c = r.image.atPoint(x + dx, y + dy);
                EXPECT_TRUE(isColour(c)) << name << " dot at (" << x << ", " << y << ") is " << c.r << "," << c.g
                                         << "," << c.b;
            }
        }
    };
    dotColour(164, 350, isBlack, "black");
    dotColour(136, 350, isBlack, "black");
    dotColour(150, 64, isBlack, "black");
    dotColour(314, 350, isMidGray, "gray");
    dotColour(286, 350, isMidGray, "gray");
    dotColour(464, 350, isRed, "red");
    dotColour(436, 350, isRed, "red");
    // Between the dots the panel is empty.
    EXPECT_TRUE(isWhite(r.image.atPoint(150.5, 350.5)));
    EXPECT_TRUE(isWhite(r.image.atPoint(200.5, 330.5)));
    // The legend's black sample dot of radius 5 at (140, 485).
    EXPECT_TRUE(isBlack(r.image.atPoint(140.5, 485.5)));
}

TEST(PageRendering, HostilePagesRenderWithoutError) {
    REQUIRE_GHOSTSCRIPT(gs);
    struct Case {
        const char* what;
        Cell cell;
        double l1, l2, l3;
        std::string fin, pv, cad;
    };
    const std::string ordinaryPv = pvtest::planeviewScript(1000, 10, 1.5, 990);
    const std::string ordinaryCad = pvtest::cadInput(-20);
    const std::string mixed =
        pvtest::finFile({row(0, 6, 0, {250, 100, 20, 0}, {10, 10, 10, 0}), row(1, 1, 1, {-50, 100, 0, 0}, {})});
    const std::vector<Case> cases = {
        {"infinite and not-a-number amplitudes and sigmas", Cell{}, 2, 2, 2,
         "   0   3   0    Infinity          10        -Inf         NaN         NaN    Infinity     1.0E+30        -inf\n"
         "   0   0   0         NaN         NaN    Infinity    Infinity   -Infinity           1           5           0\n" +
             mixed,
         ordinaryPv, ordinaryCad},
        {"zero sigmas and zero means", Cell{}, 2, 2, 2,
         pvtest::finFile({row(0, 2, 1, {5, -5, 7, 0}, {0, 0, 0, 0}), row(1, 1, 1, {-5, 5, -7, 0}, {0, 0, 0, 0}),
                          row(0, 0, 3, {1, 1, 1, 1}, {0, 0, 0, 0})}),
         ordinaryPv, ordinaryCad},
        {"huge amplitudes", Cell{}, 2, 2, 2,
         "   0   1   2     1.0E+30       1E-30    -3.4E+38      -1E-30     1.0E+37         1.0 99999999.99 99999999.99\n" +
             mixed,
         ordinaryPv, ordinaryCad},
        {"flat cell", Cell{50, 60, 70, 120, 120, 120}, 2, 2, 2, mixed, ordinaryPv, ordinaryCad},
        {"zero and negative edges", Cell{0, -60, 0, 90, 0, 180}, 2, 2, 2, mixed, ordinaryPv, ordinaryCad},
        {"limits of 0", Cell{}, 0, 0, 0, mixed, ordinaryPv, ordinaryCad},
        {"negative and huge limits", Cell{}, -3, 99999, 9999999, mixed, ordinaryPv, ordinaryCad},
        {"dots whose y fills its whole field", Cell{}, 7000, 7000, 7000, mixed, ordinaryPv, ordinaryCad},
        {"coordinates of eight characters", Cell{50, 70, 70, 90, 90, 90}, 1000, 1000, 1000,
         pvtest::finFile({row(0, 5, 0, {250, 1, 1, 1}, {10, 1, 1, 1}), row(1, 1, 1, {-50, 0, 0, 0}, {})}), ordinaryPv,
         ordinaryCad},
        {"indices at the ends of their fields", Cell{}, 2, 2, 2,
         pvtest::finFile({row(0, 999, -999, {250, 1, 1, 1}, {10, 1, 1, 1}), row(-999, 0, 999, {250, 1, 1, 1}, {10, 1, 1, 1}),
                          row(999, -999, 0, {250, 1, 1, 1}, {10, 1, 1, 1}), row(0, -999, 0, {250, 1, 1, 1}, {10, 1, 1, 1})}),
         ordinaryPv, ordinaryCad},
        {"limits that put every dot off the field", Cell{1, 1, 1, 90, 90, 90}, 99999, 99999, 99999, mixed,
         ordinaryPv, ordinaryCad},
        {"narrative numbers that do not fit or are not finite", Cell{}, 1000, -100, 0.01, mixed,
         "999999999\n-99999999\n    Infinity\n-99999999.00\n", "title\nSCAL FILE_NUMBER 1 1.00          NaN\n"},
        {"narrative asterisks and minus zero", Cell{}, 1e6, 2, 2, mixed, "        0\n        0\n   -Infinity\n       -0.00\n",
         pvtest::cadInput(-1e8)},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const auto run =
            pvtest::runPlaneview(dir, pvtest::inputScript(c.cell, c.l1, c.l2, c.l3), c.fin, c.pv, c.cad);
        ASSERT_EQ(run.result.status, 0) << c.what << "\n" << run.result.err;
        ASSERT_FALSE(run.records.empty());
        EXPECT_EQ(run.records.back(), "showpage") << c.what;
        expectCleanRendering(render(gs, dir), c.what);
    }
}

}  // namespace
