// The example's page at several limits, made by the built programs as a
// driver script makes it (ovoclip writes the planeview script from the
// limits, planeview draws) and rendered as run-example renders it: a page of
// 700 x 750 points with the origin moved up 50. Tighter limits than the data
// reach put the outer reflections past the best limit's 70 points; they must
// stay in their own panel all the same. And the paragraph must read with a
// blank between every two words in the PDF, whatever the renderer makes of
// the page's line ends, with the A-ring unit where the numbers end.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <vector>

#include "planeview_files.hpp"
#include "rendering.hpp"

namespace fs = std::filesystem;

namespace {

using testsupport::ScratchDir;

const fs::path kSource = fs::path(SUITE_SOURCE_DIR);

// The panel layout, in page points: the columns init, trunc, aniso and iso,
// the rows h=0, k=0 and l=0 (the page's separating lines at y = 275 and 125
// lie midway between them). Each panel keeps to the disc of 75 points
// around its centre, half the distance between two centres.
constexpr double kColumnX[] = {150, 300, 450, 600};
constexpr double kRowY[] = {350, 200, 50};
constexpr double kDiscRadius = 75;
// Ghostscript paints every pixel that a fill touches, and widens a fill by a
// fraction of a pixel besides.
constexpr double kRasterSlack = 0.5;

// run-example's page: 700 x 750 points at 72 dpi, the origin moved up 50.
std::vector<std::string> gsArguments(const std::string& device, const std::string& output, const std::string& page) {
    return {"-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=" + device, "-r72", "-dDEVICEWIDTHPOINTS=700",
            "-dDEVICEHEIGHTPOINTS=750", "-dFIXEDMEDIA", "-sOutputFile=" + output, "-c",
            "<< /BeginPage { pop 0 50 translate } >> setpagedevice", "-f", page};
}

// Renders a page to a 24-bit picture of 72 pixels an inch (the raster of
// png16m, read back without a PNG decoder).
pvtest::Image renderPicture(const std::string& gs, const ScratchDir& dir, const std::string& page) {
    const std::string picture = page + ".ppm";
    const auto result = testsupport::run(gs, "", dir.path(), gsArguments("ppmraw", picture, page));
    EXPECT_EQ(result.status, 0) << page << ": " << result.out << result.err;
    if (!fs::exists(dir / picture)) return {};
    return pvtest::readPpm(testsupport::readFile(dir / picture));
}

// The disc (row * 4 + column) that holds part of the pixel, or -1.
int discOfPixel(int column, int row, int height) {
    // The pixel spans x from column to column + 1 and, after the translate,
    // page y from height - 51 - row to height - 50 - row.
    const double x0 = column, x1 = column + 1.0;
    const double y0 = height - 51.0 - row, y1 = height - 50.0 - row;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 4; ++c) {
            const double dx = std::max({x0 - kColumnX[c], 0.0, kColumnX[c] - x1});
            const double dy = std::max({y0 - kRowY[r], 0.0, kRowY[r] - y1});
            if (std::hypot(dx, dy) <= kDiscRadius + kRasterSlack) return r * 4 + c;
        }
    }
    return -1;
}

// Runs of blanks and line ends as one blank.
std::string squeezed(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        const bool blank = ch == ' ' || ch == '\n' || ch == '\t' || ch == '\f';
        if (blank && (out.empty() || out.back() == ' ')) continue;
        out += blank ? ' ' : ch;
    }
    return out;
}

struct Case {
    const char* what;
    double onAstar, onBstar, onCstar;
};

TEST(ExamplePage, DotsStayInTheirPanelsAndTheParagraphKeepsItsBlanks) {
    const std::string gs = pvtest::findProgram("gs");
    const std::string pdftotext = pvtest::findProgram("pdftotext");
    if (gs.empty() || pdftotext.empty()) {
        GTEST_SKIP() << "Ghostscript (gs) or pdftotext (poppler-utils) is not installed: the example's rendered "
                        "page is not checked";
    }
    const Case cases[] = {
        {"the example's limits", 3.0, 2.5, 2.1},
        {"limits of 4.0 A", 4.0, 4.0, 4.0},
        {"limits of 3.5 A", 3.5, 3.5, 3.5},
        {"limits of 3.0 A", 3.0, 3.0, 3.0},
    };
    const std::vector<std::string> example =
        testsupport::lines(testsupport::readFile(kSource / "examples" / "ovoclip.inp"));
    ASSERT_GE(example.size(), 5u);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        fs::copy_file(kSource / "examples" / "XDS_ASCII.HKL", dir / "XDS_ASCII.HKL");
        fs::copy_file(kSource / "tests" / "pipeline" / "expected" / "stages.fin", dir / "stages.fin");
        fs::copy_file(kSource / "tests" / "pipeline" / "expected" / "cad_negB.inp", dir / "cad_negB.inp");
        std::string script;
        for (size_t i = 0; i < 4; ++i) script += example[i] + "\n";
        script += pvtest::format("%12.4f%12.4f%12.4f\n", c.onAstar, c.onBstar, c.onCstar);
        testsupport::writeFile(dir / "ovoclip.inp", script);

        const auto ovoclip =
            testsupport::run(testsupport::program("ovoclip"), "ovoclip.inp\nplaneview.inp\n", dir.path());
        ASSERT_EQ(ovoclip.status, 0) << ovoclip.err;
        const auto planeview = testsupport::run(testsupport::program("planeview"),
                                                "ovoclip.inp\nstages.fin\npage.ps\nplaneview.inp\ncad_negB.inp\n",
                                                dir.path());
        ASSERT_EQ(planeview.status, 0) << planeview.err;

        // The paragraph as a PDF reader takes it.
        const auto pdf = testsupport::run(gs, "", dir.path(), gsArguments("pdfwrite", "page.pdf", "page.ps"));
        ASSERT_EQ(pdf.status, 0) << pdf.out << pdf.err;
        const auto text = testsupport::run(pdftotext, "", dir.path(), {"page.pdf", "-"});
        ASSERT_EQ(text.status, 0) << text.err;
        const std::string words = squeezed(text.out);
        const std::string aring = "\xC3\x85";  // U+00C5 in UTF-8
        for (const std::string& phrase :
             {std::string("fell outside the specified ellipsoid with dimensions ") +
                  pvtest::format("1/ %.1f, 1/ %.1f, 1/ %.1f ", c.onAstar, c.onBstar, c.onCstar) + aring,
              std::string("along a*,b*,c*"), std::string("had an average F/sigma"),
              std::string("after ellipsoidal truncation. Anisotropic"), std::string("from the data set."),
              std::string("isotropic B of"), std::string("16.69 ") + aring,
              std::string("was applied to restore the magnitude of the high"),
              std::string("images illustrate the individual steps.")}) {
            EXPECT_NE(words.find(phrase), std::string::npos) << "\"" << phrase << "\" is not in:\n" << words;
        }

        // The dots alone: the page with and without its dot records.
        const std::vector<std::string> records = testsupport::lines(testsupport::readFile(dir / "page.ps"));
        const size_t dotCount = pvtest::dotRecords(records).size();
        ASSERT_GT(dotCount, 0u);
        std::string bare;
        for (size_t i = 0; i < records.size(); ++i) {
            if (i < 4 || i >= 4 + dotCount) bare += records[i] + "\n";
        }
        testsupport::writeFile(dir / "bare.ps", bare);
        const pvtest::Image page = renderPicture(gs, dir, "page.ps");
        const pvtest::Image without = renderPicture(gs, dir, "bare.ps");
        ASSERT_EQ(page.width, 700);
        ASSERT_EQ(page.height, 750);
        ASSERT_EQ(without.width, page.width);
        ASSERT_EQ(without.height, page.height);

        int perDisc[12] = {};
        int outside = 0;
        std::string shown;
        for (int row = 0; row < page.height; ++row) {
            for (int column = 0; column < page.width; ++column) {
                const auto a = page.at(column, row), b = without.at(column, row);
                if (a.r == b.r && a.g == b.g && a.b == b.b) continue;
                const int disc = discOfPixel(column, row, page.height);
                if (disc >= 0) {
                    ++perDisc[disc];
                } else if (++outside <= 10) {
                    shown += pvtest::format(" (%d, %d)", column, page.height - 51 - row);
                }
            }
        }
        EXPECT_EQ(outside, 0) << outside << " pixels of dots lie outside every panel's disc, at page points"
                              << shown << (outside > 10 ? " ..." : "");
        for (int disc = 0; disc < 12; ++disc) {
            EXPECT_GT(perDisc[disc], 0) << "no dot drawn in the panel of row " << disc / 4 << ", column " << disc % 4;
        }
    }
}

}  // namespace
