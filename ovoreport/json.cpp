// report.json: the numbers of the report, each group with the file it
// comes from. A number is the shortest text that reads back as the same
// float; a value the file leaves undefined (or not finite) is null.
#include <charconv>
#include <concepts>
#include <cmath>
#include <string>

#include "common/layout/shell_statistics.hpp"
#include "common/escape.hpp"
#include "ovoreport/report.hpp"

namespace ovoreport {

using common::escapeJson;

namespace {

namespace stats = common::shell_statistics;

std::string str(std::string_view text) { return "\"" + escapeJson(text) + "\""; }

// The shortest text that reads back as the same value, of its own type.
template <std::floating_point T>
std::string num(T value) {
    if (!std::isfinite(value)) return "null";
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::string(buffer, end);
}

// A JSON list of the numbers of an array (a plain one or a std::array).
template <typename Values>
std::string list(const Values& values) {
    std::string text = "[";
    for (const auto& value : values) {
        if (text.size() > 1) text += ", ";
        text += num(value);
    }
    return text + "]";
}

// The reciprocal axis an axis of the ellipsoid lies nearest: that of its
// largest coefficient as a combination of a*, b*, c*.
std::string nearestAxis(const std::array<double, 3>& c) {
    size_t best = 0;
    for (size_t i = 1; i < 3; ++i) {
        if (std::fabs(c[i]) > std::fabs(c[best])) best = i;
    }
    if (!std::isfinite(c[best])) return "null";
    static const char* kStar[3] = {"a*", "b*", "c*"};
    return str(kStar[best]);
}

std::string ellipsoid(const Ellipsoid& e) {
    std::string text = "{\"file\": " + str(e.file) + ", \"axes\": [";
    for (size_t i = 0; i < 3; ++i) {
        text += std::string(i ? ", " : "") + "{\"limit\": " + num(e.limitOfRow[i]) + ", \"orthonormal\": " +
                list(e.axes[i]) + ", \"reciprocal\": " + list(e.reciprocalCombination[i]) +
                ", \"nearest\": " + nearestAxis(e.reciprocalCombination[i]) + "}";
    }
    return text + "]}";
}

std::string value(const stats::ShellRow& row, float stats::ShellRow::*field) {
    return stats::isUndefined(row.*field) ? "null" : num(row.*field);
}

std::string shell(const stats::ShellRow* row) {
    if (!row) return "null";
    return "{\"label\": " + str(row->label) + ", \"observed\": " + num(row->observed) +
           ", \"unique\": " + num(row->secondCount) + ", \"redundancy\": " + value(*row, &stats::ShellRow::redundancy) +
           ", \"completeness\": " + value(*row, &stats::ShellRow::completeness) +
           ", \"rmerge\": " + value(*row, &stats::ShellRow::rmerge) +
           ", \"isigma\": " + value(*row, &stats::ShellRow::isigma) + "}";
}

std::string optionalNumber(const std::optional<double>& v) { return v ? num(*v) : std::string("null"); }

}  // namespace

void writeJson(common::OutputFile& json, const Run& run) {
    std::string t = "{\n";
    const Answers& a = run.answers;
    const std::pair<const char*, const std::string*> named[] = {
        {"applied_script", &a.appliedScript}, {"planeview_script", &a.planeviewScript},
        {"scaling_log", &a.scalingLog},       {"cad_script", &a.cadScript},
        {"ovofit_script", &a.ovofitScript},   {"ovofit_transcript", &a.ovofitTranscript},
        {"ovofit_plot", &a.ovofitPlot},       {"ovofit_cif", &a.ovofitCif},
        {"page_picture", &a.pagePicture},     {"starting_log", &a.startingLog},
        {"final_log", &a.finalLog},           {"report", &a.report}};
    t += "  \"files_read\": {";
    for (size_t i = 0; i < std::size(named); ++i) {
        t += std::string(i ? ", " : "") + "\"" + named[i].first + "\": " +
             (named[i].second->empty() ? std::string("null") : str(*named[i].second));
    }
    t += "},\n";
    t += "  \"data_set\": " + str(run.dataSet) + ",\n  \"written\": " + str(run.written) +
         ",\n  \"version\": " + str(run.version) + ",\n";
    if (run.ovofitLimits) {
        t += "  \"parameters\": {\"file\": " + str(run.ovofitLimits->file) + ", \"criterion\": " +
             str(run.ovofitLimits->criterion) + ", \"isigma_threshold\": " + num(static_cast<float>(run.ovofitLimits->iOverSigmaThreshold)) +
             ", \"cc_half_threshold\": " + num(static_cast<float>(run.ovofitLimits->ccThreshold)) + "},\n";
    } else {
        t += "  \"parameters\": null,\n";
    }
    if (run.applied) {
        const common::UnitCell& c = run.applied->cell;
        t += "  \"cell\": {\"file\": " + str(run.applied->file) + ", \"a\": " + num(c.a) + ", \"b\": " + num(c.b) +
             ", \"c\": " + num(c.c) + ", \"alpha\": " + num(c.alpha) + ", \"beta\": " + num(c.beta) +
             ", \"gamma\": " + num(c.gamma) + "},\n";
    } else {
        t += "  \"cell\": null,\n";
    }
    t += "  \"space_group\": " +
         (run.spaceGroup ? "{\"file\": " + str(run.spaceGroupFile) + ", \"name\": " + str(*run.spaceGroup) + "}"
                         : std::string("null")) + ",\n";
    t += "  \"ellipsoid_applied\": " + (run.applied ? ellipsoid(*run.applied) : std::string("null")) + ",\n";
    if (run.truncation) {
        const Truncation& r = *run.truncation;
        t += "  \"truncation\": {\"file\": " + str(r.file) + ", \"read\": " + std::to_string(r.read) +
             ", \"rejected\": " + std::to_string(r.rejected) + ", \"kept\": " + std::to_string(r.kept) +
             ", \"mean_rejected\": " + num(r.meanRejected) + ", \"counts\": " +
             (!run.recordKind.merged ? std::string("null")
                                     : str(*run.recordKind.merged ? "unique reflections" : "observations")) +
             ", \"unique_in\": " + (run.recordKind.uniqueIn ? std::to_string(*run.recordKind.uniqueIn) : "null") +
             ", \"unique_kept\": " + (run.recordKind.uniqueKept ? std::to_string(*run.recordKind.uniqueKept) : "null") +
             "},\n";
    } else {
        t += "  \"truncation\": null,\n";
    }
    if (run.anisotropy) {
        t += "  \"anisotropic_b\": {\"file\": " + str(run.anisotropy->file) + ", \"components\": [";
        for (size_t n = 0; n < 3; ++n) {
            const Component& c = run.anisotropy->components[n];
            t += std::string(n ? ", " : "") + "{\"eigenvalue\": " + num(c.value) + ", \"eigenvector_ortho\": " +
                 list(c.cosines) + "}";
        }
        t += "], \"range\": " + num(run.anisotropy->range()) + "},\n";
    } else {
        t += "  \"anisotropic_b\": null,\n";
    }
    t += "  \"isotropic_b\": " +
         (run.isotropicB ? "{\"file\": " + str(run.isotropicB->file) + ", \"b\": " + num(run.isotropicB->b) + "}"
                         : std::string("null")) + ",\n";
    t += "  \"symmetry_warnings\": [";
    for (size_t i = 0; i < run.symmetryWarnings.size(); ++i) t += (i ? ", " : "") + str(run.symmetryWarnings[i]);
    t += "],\n";
    t += "  \"b_applied\": " +
         (run.appliedB ? "{\"file\": " + str(run.appliedB->file) + ", \"b\": " + num(run.appliedB->b) + "}"
                       : std::string("null")) + ",\n";
    t += "  \"ellipsoid_measured\": " + (run.measured ? ellipsoid(*run.measured) : std::string("null")) + ",\n";
    t += "  \"ellipsoid_differences\": [";
    for (size_t i = 0; i < run.ellipsoidDifferences.size(); ++i) t += (i ? ", " : "") + str(run.ellipsoidDifferences[i]);
    t += "],\n";
    if (run.ovofitLimits) {
        const auto limit = [](const FittedLimit& f) {
            return "{\"limit\": " + num(static_cast<float>(f.angstrom)) + ", \"mark\": " + (f.mark.empty() ? std::string("null") : str(f.mark)) + "}";
        };
        t += "  \"ovofit_limits\": {\"file\": " + str(run.ovofitLimits->file) +
             ", \"criterion\": " + str(run.ovofitLimits->criterion) + ", \"axes\": [";
        for (size_t i = 0; i < run.ovofitLimits->axes.size(); ++i) {
            const FittedAxis& f = run.ovofitLimits->axes[i];
            if (i) t += ", ";
            t += "{\"direction\": " + str(f.direction) + ", \"cosines\": " + list(f.cosines) +
                 ", \"shell_edge\": " + limit(f.shellEdge) + ", \"by_isigma\": " + limit(f.bySigma) +
                 ", \"by_cc_half\": " + (f.byHalfSets ? limit(*f.byHalfSets) : std::string("null")) + "}";
        }
        t += "]},\n";
    } else {
        t += "  \"ovofit_limits\": null,\n";
    }
    json.writeText(t);
    t.clear();
    if (run.statistics) {
        const Statistics& s = *run.statistics;
        t += "  \"statistics\": {\"starting_file\": " + str(s.startingFile) + ", \"final_file\": " + str(s.finalFile) +
             ", \"starting_from_correct\": " + (s.starting.fromCorrect ? "true" : "false") +
             ", \"final_from_correct\": " + (s.finished.fromCorrect ? "true" : "false") + ", \"lines\": [\n";
        for (size_t i = 0; i < s.lines.size(); ++i) {
            const stats::TableLine& line = s.lines[i];
            const stats::ShellRow* label = line.before ? line.before : line.after;
            const std::optional<double> limit = stats::shellLimit(label->label);
            t += std::string(i ? ",\n" : "") + "    {\"label\": " + str(stats::trimmedLabel(label)) +
                 ", \"limit\": " + optionalNumber(limit) + ", \"before\": " + shell(line.before) +
                 ", \"after\": " + shell(line.after) + "}";
        }
        t += "\n  ]},\n";
    } else {
        t += "  \"statistics\": null,\n";
    }
    if (run.merging) {
        std::vector<common::merging_table::Table> tables = {run.merging->all};
        if (run.merging->kept) tables.push_back(*run.merging->kept);
        std::string object = common::merging_table::json(tables);
        while (!object.empty() && object.back() == '\n') object.pop_back();
        t += "  \"merging_statistics\": {\"file\": " + str(run.merging->file) + ", \"tables\": " + object + "},\n";
    } else {
        t += "  \"merging_statistics\": null,\n";
    }
    t += "  \"deposition\": " +
         (run.deposition ? "{\"file\": " + (run.deposition->file.empty() ? std::string("null") : str(run.deposition->file)) +
                               ", \"ellipsoid\": " + str(run.deposition->ellipsoidSource) +
                               ", \"text\": " + str(run.deposition->text()) + "}"
                         : std::string("null")) + ",\n";
    t += "  \"files\": [";
    for (size_t i = 0; i < run.files.size(); ++i) {
        const RunFile& f = run.files[i];
        t += std::string(i ? ",\n    " : "\n    ") + "{\"name\": " + str(f.name) +
             ", \"size\": " + (f.size ? std::to_string(*f.size) : std::string("null")) +
             ", \"read\": " + (f.read ? "true" : "false") + "}";
        if (t.size() > (1 << 16)) {
            json.writeText(t);
            t.clear();
        }
    }
    t += "],\n  \"missing\": [";
    for (size_t i = 0; i < run.missing.size(); ++i) t += (i ? ", " : "") + str(run.missing[i]);
    t += "]\n}\n";
    json.writeText(t);
}

}  // namespace ovoreport
