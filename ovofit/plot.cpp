#include "ovofit/plot.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "common/records.hpp"

namespace ovofit {

namespace {

// Drawing area inside a 680 x 520 picture; x is 1/d, labelled in d. Below
// it the resolution axis and the legend, so that no word lies on a curve.
constexpr double kLeft = 70, kRight = 610, kTop = 40, kBottom = 360, kWidth = 680, kHeight = 520;
constexpr double kLegendTop = 428, kLegendStep = 18;
constexpr const char* kColours[3] = {"#c0392b", "#2471a3", "#1e8449"};

std::string number(double value, int decimals = 1) { return common::fixedText(static_cast<float>(value), decimals); }
// A whole number as a tick reads it ("6", never the "6." of F format).
std::string whole(double value) { return std::to_string(std::lround(value)); }

struct Scale {
    double sMax, yMax;
    double x(double s) const { return kLeft + (kRight - kLeft) * s / sMax; }
    double y(double v) const { return kBottom - (kBottom - kTop) * std::clamp(v, 0.0, yMax) / yMax; }
    double yCorrelation(double cc) const { return kBottom - (kBottom - kTop) * std::clamp(cc, 0.0, 1.0); }
};

void line(common::OutputFile& plot, double x1, double y1, double x2, double y2, const std::string& style) {
    plot.writeRecord("<line x1=\"" + number(x1) + "\" y1=\"" + number(y1) + "\" x2=\"" + number(x2) + "\" y2=\"" +
                     number(y2) + "\" " + style + "/>");
}

void text(common::OutputFile& plot, double x, double y, const std::string& anchor, const std::string& words,
          const std::string& colour = "black") {
    plot.writeRecord("<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" text-anchor=\"" + anchor + "\" fill=\"" +
                     colour + "\">" + words + "</text>");
}

// The axes with their ticks: resolution where the ticks are at least 35
// points apart, I/sigma in whole steps.
void drawAxes(common::OutputFile& plot, const Scale& scale) {
    line(plot, kLeft, kBottom, kRight, kBottom, "stroke=\"black\"");
    line(plot, kLeft, kBottom, kLeft, kTop, "stroke=\"black\"");
    double lastX = -100;
    for (const double d : {50.0, 20.0, 10.0, 7.0, 5.0, 4.0, 3.5, 3.0, 2.7, 2.5, 2.3, 2.1, 2.0, 1.9, 1.8, 1.7, 1.6,
                           1.5, 1.4, 1.3, 1.2, 1.1, 1.0, 0.9, 0.8}) {
        const double x = scale.x(1.0 / d);
        if (1.0 / d > scale.sMax || x - lastX < 35) continue;
        lastX = x;
        line(plot, x, kBottom, x, kBottom + 5, "stroke=\"black\"");
        text(plot, x, kBottom + 20, "middle", number(d));
    }
    text(plot, (kLeft + kRight) / 2, kBottom + 45, "middle", "resolution (&#197;)");
    // Steps of 1, 2 or 5 times a power of ten, at most eight of them.
    double yStep = 1;
    for (double power = 1; yStep * 8 < scale.yMax; power *= 10) {
        for (const double m : {1.0, 2.0, 5.0}) {
            yStep = m * power;
            if (yStep * 8 >= scale.yMax) break;
        }
    }
    for (double v = 0; v <= scale.yMax; v += yStep) {
        line(plot, kLeft - 5, scale.y(v), kLeft, scale.y(v), "stroke=\"black\"");
        text(plot, kLeft - 8, scale.y(v) + 4, "end", whole(v));
    }
    plot.writeRecord("<text transform=\"translate(22 200) rotate(-90)\" text-anchor=\"middle\">mean I/sigma(I)</text>");
}

// One axis: the shell means at the middle of each shell, its limit dotted,
// and its legend line below the plot, naming the axis by a*, b*, c*.
void drawAxis(common::OutputFile& plot, const Scale& scale, const AxisLimit& axis, int i, const std::string& name) {
    const std::string colour = kColours[i];
    std::string points;
    for (const Shell& shell : axis.shells) {
        const double middle = std::cbrt((std::pow(shell.sLow, 3) + std::pow(shell.sHigh, 3)) / 2);
        points += number(scale.x(middle)) + "," + number(scale.y(shell.meanIOverSigma)) + " ";
    }
    plot.writeRecord("<polyline fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"2\" points=\"" + points +
                     "\"/>");
    // The fitted curves, sampled along the shells: I/sigma solid and thin,
    // CC1/2 (on the right-hand scale, 0 to 1) dashed, with its shells' values
    // as dots.
    const double sFirst = axis.shells.front().sLow, sLast = axis.shells.back().sHigh;
    auto sampled = [&](auto&& value) {
        std::string curve;
        for (int n = 0; n <= 60; ++n) {
            const double s = sFirst + (sLast - sFirst) * n / 60;
            curve += number(scale.x(s)) + "," + number(value(s * s)) + " ";
        }
        return curve;
    };
    if (axis.signal) {
        plot.writeRecord("<polyline fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"1\" points=\"" +
                         sampled([&](double x) { return scale.y(axis.signal->at(x)); }) + "\"/>");
    }
    if (axis.correlation) {
        plot.writeRecord("<polyline fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"1\" stroke-dasharray=\"8 3\" points=\"" +
                         sampled([&](double x) { return scale.yCorrelation(axis.correlation->at(x)); }) + "\"/>");
        for (const Shell& shell : axis.shells) {
            if (shell.pairs < kFewestPairs) continue;
            plot.writeRecord("<circle cx=\"" + number(scale.x(std::sqrt(shell.meanS2))) + "\" cy=\"" +
                             number(scale.yCorrelation(shell.cc)) + "\" r=\"2.5\" fill=\"" + colour + "\"/>");
        }
    }
    const double x = scale.x(1.0 / axis.limit);
    line(plot, x, kTop, x, kBottom, "stroke=\"" + colour + "\" stroke-dasharray=\"3 3\"");
    std::string legend = "axis " + std::to_string(i + 1) + ", " + name + ": limit by I/sigma " +
                         number(axis.bySignal.limit, 2) + " &#197;" +
                         (axis.bySignal.where == Crossing::beyond ? " (beyond: the data's edge)" : "");
    if (axis.byCorrelation) {
        legend += ", by CC1/2 " + number(axis.byCorrelation->limit, 2) + " &#197;" +
                  (axis.byCorrelation->where == Crossing::beyond ? " (beyond)" : "");
    }
    const double y = kLegendTop + kLegendStep * i;
    line(plot, kLeft, y - 4, kLeft + 24, y - 4, "stroke=\"" + colour + "\" stroke-width=\"2\"");
    text(plot, kLeft + 30, y, "start", legend, colour);
}

// The largest value of the shell means and of the fitted curve over the
// shells: the top of the scale, so that no curve is cut flat.
double highest(const AxisLimit& axis) {
    double top = 0;
    for (const Shell& shell : axis.shells) top = std::max(top, shell.meanIOverSigma);
    if (axis.signal) {
        const double sFirst = axis.shells.front().sLow, sLast = axis.shells.back().sHigh;
        for (int n = 0; n <= 60; ++n) {
            const double s = sFirst + (sLast - sFirst) * n / 60;
            const double v = axis.signal->at(s * s);
            if (std::isfinite(v)) top = std::max(top, v);
        }
    }
    return top;
}

}  // namespace

void writePlot(common::OutputFile& plot, const std::vector<AxisLimit>& axes, double threshold,
               const std::vector<std::string>& names) {
    Scale scale{0, threshold * 2};
    for (const AxisLimit& axis : axes) {
        scale.sMax = std::max(scale.sMax, axis.shells.back().sHigh);
        scale.yMax = std::max(scale.yMax, highest(axis));
    }
    scale.sMax *= 1.05;
    scale.yMax = std::ceil(scale.yMax * 1.05);

    plot.writeRecord("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + whole(kWidth) + "\" height=\"" +
                     whole(kHeight) + "\" font-family=\"sans-serif\" font-size=\"13\">");
    plot.writeRecord("<rect width=\"" + whole(kWidth) + "\" height=\"" + whole(kHeight) + "\" fill=\"white\"/>");
    text(plot, (kLeft + kRight) / 2, 24, "middle", "mean I/sigma(I) along the three axes of the ellipsoid");
    drawAxes(plot, scale);
    line(plot, kLeft, scale.y(threshold), kRight, scale.y(threshold), "stroke=\"grey\" stroke-dasharray=\"6 4\"");
    // The thresholds in the legend, below the axes' lines.
    const double below = kLegendTop + kLegendStep * static_cast<double>(axes.size());
    line(plot, kLeft, below - 4, kLeft + 24, below - 4, "stroke=\"grey\" stroke-dasharray=\"6 4\"");
    std::string thresholds = "threshold of mean I/sigma(I) " + number(threshold, 2);
    if (axes.front().correlation) {
        line(plot, kRight, kBottom, kRight, kTop, "stroke=\"black\"");
        for (int tenth = 0; tenth <= 10; tenth += 2) {
            line(plot, kRight, scale.yCorrelation(tenth / 10.0), kRight + 5, scale.yCorrelation(tenth / 10.0), "stroke=\"black\"");
            text(plot, kRight + 8, scale.yCorrelation(tenth / 10.0) + 4, "start", number(tenth / 10.0, 1));
        }
        // the title clear of the tick labels (to x = 640 at most)
        plot.writeRecord("<text transform=\"translate(" + whole(kWidth - 14) + " " + whole((kTop + kBottom) / 2) +
                         ") rotate(-90)\" text-anchor=\"middle\">CC1/2 (dashed)</text>");
        line(plot, kLeft, scale.yCorrelation(0.30), kRight, scale.yCorrelation(0.30), "stroke=\"grey\" stroke-dasharray=\"2 6\"");
        thresholds += "; of CC1/2 " + number(kCorrelationThreshold, 2) + " (dotted, right-hand scale)";
    }
    text(plot, kLeft + 30, below, "start", thresholds, "grey");
    for (size_t i = 0; i < axes.size(); ++i) {
        drawAxis(plot, scale, axes[i], static_cast<int>(i), i < names.size() ? names[i] : std::string());
    }
    plot.writeRecord("</svg>");
}

}  // namespace ovofit
