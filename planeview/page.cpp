#include "planeview/page.hpp"

#include <string_view>

#include "common/records.hpp"

namespace planeview {

namespace {

void writeAll(std::initializer_list<std::string_view> records, common::OutputFile& page) {
    for (const std::string_view record : records) page.writeRecord(record);
}

}  // namespace

void writePageHeader(common::OutputFile& page) {
    writeAll({"%!PS",
              "%%BoundingBox: 0 -50 700 700",
              "%%PageBoundingBox: 0 -50 700 700",
              "0 setgray"},
             page);
}

// Each line of the paragraph is shown as whole strings that end before the
// line end of their record: a line feed inside a PostScript string is a
// character of the string, which some renderers show as nothing, so the
// blank between two words stands inside the string before the break. The
// numbers standing inside the strings may be asterisks, Inf or NaN, none of
// which can end a string early. The unit follows the text it belongs to: the
// A with its ring is the ISO Latin-1 glyph Aring (octal 305) and the
// exponent is set raised at the current point, wherever the numbers end.
void writeNarrativeBeforeB(const TruncationSummary& summary, const Limits& limits, common::OutputFile& page) {
    common::RecordBuffer record;
    writeAll({"/Helvetica findfont dup length dict begin",
              "{1 index /FID ne {def} {pop pop} ifelse} forall",
              "/Encoding ISOLatin1Encoding def currentdict end",
              "/Helvetica-ISOLatin1 exch definefont pop",
              "/exponent {currentfont exch /Helvetica-ISOLatin1 findfont 10 scalefont setfont",
              "0 6 rmoveto show 0 -6 rmoveto setfont} def",
              "/Helvetica-ISOLatin1 findfont",
              "15 scalefont setfont 0 0 0 setrgbcolor",
              "30 670 moveto"},
             page);

    record.clear();
    record.text("(").integer(summary.reflectionsIn, 10).text(" reflections were in the initial data set.)show");
    page.writeRecord(record.view());

    record.clear();
    record.text("(").integer(summary.reflectionsRejected, 10).text(" were discarded because they fell outside)show");
    page.writeRecord(record.view());

    page.writeRecord(" 40 650 moveto (the specified ellipsoid with dimensions )show");

    record.clear();
    record.text("(1/").fixed(limits.onAstar, 4, 1);
    record.text(",   1/").fixed(limits.onBstar, 4, 1);
    record.text(",   1/").fixed(limits.onCstar, 4, 1);
    record.text(" \\305)show (-1) exponent");
    page.writeRecord(record.view());

    writeAll({"(  along a*,b*,c*, respectively.)show",
              "40 630 moveto (These discarded reflections had an )show"},
             page);

    record.clear();
    record.text("(average F/sigma of").fixed(summary.meanRejectedFOverSigma, 6, 2).text(".)show");
    page.writeRecord(record.view());

    page.writeRecord("40 610 moveto");

    record.clear();
    record.text("(").integer(summary.reflectionsRemaining, 10).text(" reflections remain after ellipsoidal )show");
    page.writeRecord(record.view());

    writeAll({"(truncation.  Anisotropic scale factors were then)show",
              "40 590 moveto (applied to remove anisotropy from the )show"},
             page);
}

void writeNarrativeFromB(float negB, common::OutputFile& page) {
    common::RecordBuffer record;
    record.text("(data set.  Lastly, an isotropic B of").fixed(negB, 8, 2).text(" \\305)show (2) exponent");
    page.writeRecord(record.view());

    writeAll({"40 570 moveto (was applied to restore the magnitude )show",
              "(of the high resolution reflections diminished by)show",
              "40 550 moveto (anisotropic scaling. )show",
              "(The following pseudo precession images illustrate )show",
              "(the individual steps.)show"},
             page);
}

void writeLegendAndLabels(common::OutputFile& page) {
    writeAll({"20 275 moveto 700 275 lineto stroke",
              "20 125 moveto 700 125 lineto stroke",
              "/Helvetica findfont",
              "15 scalefont setfont 0 0 0 setrgbcolor",
              "150 480 moveto (large magnitude F)show",
              "stroke 140 485 5 0 360 arc fill ",
              "0.6 setgray",
              "300 480 moveto (small magnitude F)show",
              "stroke 290 485 5 0 360 arc fill",
              "1 0 0 setrgbcolor",
              "450 480 moveto (F/sigma under 2.5)show",
              "stroke 440 485 5 0 360 arc fill",
              "/Helvetica findfont",
              "15 scalefont setfont 0 0 0 setrgbcolor",
              "180 420 moveto (TRUNCATION)show",
              "320 440 moveto (ANISOTROPIC)show",
              "340 420 moveto (SCALING)show",
              "480 420 moveto (ISOTROPIC -B)show",
              "3.0 setlinewidth",
              "210 400 moveto 240 400 lineto stroke",
              "newpath 250 400 moveto -10 7 rlineto",
              "0 -14 rlineto closepath fill",
              "350 400 moveto 380 400 lineto stroke",
              "newpath 390 400 moveto -10 7 rlineto",
              "0 -14 rlineto closepath fill",
              "510 400 moveto 540 400 lineto stroke",
              "newpath 550 400 moveto -10 7 rlineto",
              "0 -14 rlineto closepath fill",
              "30 400 moveto (H=0) show",
              "30 250 moveto (K=0) show",
              "30 100 moveto (L=0) show",
              "1 setlinewidth",
              "120 470 moveto 470 0 rlineto 0 30 rlineto",
              "-470 0 rlineto 0 -30 rlineto stroke",
              " /Helvetica findfont 10 scalefont setfont",
              "10 380 moveto (b* horiz.)show",
              "10 360 moveto (c* vert.)show",
              "10 230 moveto (a* horiz.)show",
              "10 210 moveto (c* vert.)show",
              "10  80 moveto (a* horiz.)show",
              "10  60 moveto (b* vert.)show",
              "showpage"},
             page);
}

}  // namespace planeview
