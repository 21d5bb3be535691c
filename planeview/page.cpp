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

// Several PostScript strings open on one record and close on a later one;
// the numbers standing inside them may be asterisks, Inf or NaN, none of
// which can end a string early.
void writeNarrativeBeforeB(const TruncationSummary& summary, const Limits& limits, common::OutputFile& page) {
    common::RecordBuffer record;
    writeAll({"/Helvetica findfont",
              "15 scalefont setfont 0 0 0 setrgbcolor",
              "30 670 moveto"},
             page);

    record.clear();
    record.text("(").integer(summary.reflectionsIn, 10).text(" reflections were in the initial data set.)show");
    page.writeRecord(record.view());

    record.clear();
    record.text("(").integer(summary.reflectionsRejected, 10).text(" were discarded because they fell outside)show");
    page.writeRecord(record.view());

    page.writeRecord(" 40 650 moveto (the specified ellipsoid with dimensions");

    record.clear();
    record.text("1/").fixed(limits.onAstar, 4, 1);
    record.text(",   1/").fixed(limits.onBstar, 4, 1);
    record.text(",   1/").fixed(limits.onCstar, 4, 1);
    page.writeRecord(record.view());

    writeAll({" A  along a*,b*,c*, respectively.",
              ")show /Helvetica findfont 10 scalefont setfont",
              "475 660 moveto (o -1)show ",
              "/Helvetica findfont",
              "15 scalefont setfont 0 0 0 setrgbcolor",
              "40 630 moveto (These discarded reflections had an"},
             page);

    record.clear();
    record.text("average F/sigma of").fixed(summary.meanRejectedFOverSigma, 6, 2).text(".)show");
    page.writeRecord(record.view());

    page.writeRecord("40 610 moveto");

    record.clear();
    record.text("(").integer(summary.reflectionsRemaining, 10).text(" reflections remain after ellipsoidal");
    page.writeRecord(record.view());

    writeAll({"truncation.  Anisotropic scale factors were then) show",
              "40 590 moveto (applied to remove anisotropy from the"},
             page);
}

void writeNarrativeFromB(float negB, common::OutputFile& page) {
    common::RecordBuffer record;
    record.text("data set.  Lastly, an isotropic B of").fixed(negB, 8, 2).text(" A)show");
    page.writeRecord(record.view());

    writeAll({"40 570 moveto (was applied to restore the magnitude",
              "of the high resolution reflections diminished by",
              ")show 40 550 moveto (anisotropic scaling.",
              "The following pseudo precession images illustrate",
              "the individual steps.)show",
              "/Helvetica findfont 10 scalefont setfont",
              "585 600 moveto (o 2)show "},
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
