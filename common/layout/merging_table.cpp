#include "common/layout/merging_table.hpp"

#include <cmath>
#include <cstdio>
#include <string_view>

#include "common/failure.hpp"
#include "common/layout/reflns_block.hpp"

namespace common::merging_table {

namespace {

constexpr std::string_view kTablePrefix = "ovostats table: ";
constexpr std::string_view kFriedelPrefix = "friedel: ";
constexpr std::string_view kEndOfTable = "end of table";
constexpr const char* kNotDefined = "-";

// The columns: a name, a width and the decimals (-1 for an integer).
struct Column {
    const char* name;
    int width;
    int decimals;
};
constexpr Column kColumns[] = {
    {"d_max", 9, 3},        {"d_min", 8, 3},           {"n_obs", 11, -1},      {"n_unique", 10, -1},
    {"n_possible", 11, -1}, {"n_poss_ell", 11, -1},    {"compl", 7, 1},        {"compl_ell", 10, 1},
    {"mult", 7, 2},         {"r_merge", 9, 4},         {"r_meas", 9, 4},       {"r_pim", 9, 4},
    {"i_sigma", 9, 2},      {"cc_half", 8, 4},
};
constexpr Column kAnomalousColumns[] = {{"anom_compl", 11, 1}, {"anom_mult", 10, 2}, {"cc_anom", 8, 4}};
constexpr size_t kLabelColumns = 2;  // d_max, d_min; a label takes both

void appendRight(std::string& line, std::string_view text, int width) {
    if (static_cast<int>(text.size()) < width) line.append(static_cast<size_t>(width) - text.size(), ' ');
    else line += ' ';  // a value wider than its column stays separated
    line += text;
}

std::string number(double value, int decimals) {
    char text[64];
    if (!std::isfinite(value)) return kNotDefined;
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string integer(int64_t value) { return std::to_string(value); }

template <typename T>
std::string optionalText(const std::optional<T>& value, int decimals) {
    if (!value) return kNotDefined;
    if constexpr (std::is_integral_v<T>) return integer(*value);
    else return number(*value, decimals);
}

// The values of a row after d_max and d_min, in column order.
std::vector<std::string> values(const Shell& s, bool friedelsLaw) {
    std::vector<std::string> v = {integer(s.observations),
                                  integer(s.unique),
                                  integer(s.possible),
                                  optionalText(s.possibleInEllipsoid, 0),
                                  optionalText(s.completeness, 1),
                                  optionalText(s.completenessEllipsoid, 1),
                                  optionalText(s.multiplicity, 2),
                                  optionalText(s.rMerge, 4),
                                  optionalText(s.rMeas, 4),
                                  optionalText(s.rPim, 4),
                                  optionalText(s.iOverSigma, 2),
                                  optionalText(s.ccHalf, 4)};
    if (!friedelsLaw) {
        v.push_back(optionalText(s.anomalousCompleteness, 1));
        v.push_back(optionalText(s.anomalousMultiplicity, 2));
        v.push_back(optionalText(s.ccAnomalous, 4));
    }
    return v;
}

std::string row(const std::string& first, const std::string& second, const std::vector<std::string>& v) {
    std::string line;
    if (second.empty()) {
        appendRight(line, first, kColumns[0].width + kColumns[1].width);
    } else {
        appendRight(line, first, kColumns[0].width);
        appendRight(line, second, kColumns[1].width);
    }
    for (size_t i = 0; i < v.size(); ++i) {
        const Column& c = i + kLabelColumns < std::size(kColumns) ? kColumns[i + kLabelColumns]
                                                                   : kAnomalousColumns[i + kLabelColumns - std::size(kColumns)];
        appendRight(line, v[i], c.width);
    }
    return line;
}

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> found;
    size_t at = 0;
    while (at < line.size()) {
        const size_t first = line.find_first_not_of(' ', at);
        if (first == std::string_view::npos) break;
        size_t end = line.find(' ', first);
        if (end == std::string_view::npos) end = line.size();
        found.push_back(line.substr(first, end - first));
        at = end;
    }
    return found;
}

// The columns (1-based) of field `index` of `line`, for a report.
std::pair<int, int> columnsOf(std::string_view line, std::string_view field) {
    const auto first = static_cast<int>(field.data() - line.data()) + 1;
    return {first, first + static_cast<int>(field.size()) - 1};
}

struct FieldReader {
    std::string_view line;
    const InputFile& file;

    [[noreturn]] void refuse(std::string_view field, std::string_view what) const {
        const auto [first, last] = columnsOf(line, field);
        file.failAt(first, last, std::string("\"") + std::string(field) + "\" is not " + std::string(what));
    }
    double real(std::string_view field) const {
        std::string text(field);
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value)) refuse(field, "a number");
        return value;
    }
    int64_t count(std::string_view field) const {
        int64_t value = 0;
        if (field.empty()) refuse(field, "a count");
        for (const char c : field) {
            if (c < '0' || c > '9' || value > (INT64_MAX - 9) / 10) refuse(field, "a count");
            value = value * 10 + (c - '0');
        }
        return value;
    }
    std::optional<double> optionalReal(std::string_view field) const {
        if (field == kNotDefined) return std::nullopt;
        return real(field);
    }
    std::optional<int64_t> optionalCount(std::string_view field) const {
        if (field == kNotDefined) return std::nullopt;
        return count(field);
    }
};

void readValues(const FieldReader& r, const std::vector<std::string_view>& f, size_t at, bool friedelsLaw, Shell& s) {
    s.observations = r.count(f[at]);
    s.unique = r.count(f[at + 1]);
    s.possible = r.count(f[at + 2]);
    s.possibleInEllipsoid = r.optionalCount(f[at + 3]);
    s.completeness = r.optionalReal(f[at + 4]);
    s.completenessEllipsoid = r.optionalReal(f[at + 5]);
    s.multiplicity = r.optionalReal(f[at + 6]);
    s.rMerge = r.optionalReal(f[at + 7]);
    s.rMeas = r.optionalReal(f[at + 8]);
    s.rPim = r.optionalReal(f[at + 9]);
    s.iOverSigma = r.optionalReal(f[at + 10]);
    s.ccHalf = r.optionalReal(f[at + 11]);
    if (!friedelsLaw) {
        s.anomalousCompleteness = r.optionalReal(f[at + 12]);
        s.anomalousMultiplicity = r.optionalReal(f[at + 13]);
        s.ccAnomalous = r.optionalReal(f[at + 14]);
    }
}

size_t valueCount(bool friedelsLaw) {
    return std::size(kColumns) - kLabelColumns + (friedelsLaw ? 0 : std::size(kAnomalousColumns));
}

// ------------------------------------------------------------------ JSON

void jsonNumber(std::string& out, double value, int digits) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    out += text;
}

template <typename T>
void jsonItem(std::string& out, const char* name, const std::optional<T>& value) {
    out += "\"";
    out += name;
    out += "\": ";
    if (!value) {
        out += "null";
    } else if constexpr (std::is_integral_v<T>) {
        out += std::to_string(*value);
    } else {
        jsonNumber(out, *value, 8);
    }
}

void jsonShell(std::string& out, const Shell& s, bool friedelsLaw) {
    out += "{";
    const auto separate = [&out] { out += ", "; };
    jsonItem(out, "d_max", std::optional<double>(s.dMax)), separate();
    jsonItem(out, "d_min", std::optional<double>(s.dMin)), separate();
    jsonItem(out, "n_obs", std::optional<int64_t>(s.observations)), separate();
    jsonItem(out, "n_unique", std::optional<int64_t>(s.unique)), separate();
    jsonItem(out, "n_possible", std::optional<int64_t>(s.possible)), separate();
    jsonItem(out, "n_possible_ellipsoid", s.possibleInEllipsoid), separate();
    jsonItem(out, "completeness", s.completeness), separate();
    jsonItem(out, "completeness_ellipsoid", s.completenessEllipsoid), separate();
    jsonItem(out, "multiplicity", s.multiplicity), separate();
    jsonItem(out, "r_merge", s.rMerge), separate();
    jsonItem(out, "r_meas", s.rMeas), separate();
    jsonItem(out, "r_pim", s.rPim), separate();
    jsonItem(out, "i_over_sigma", s.iOverSigma), separate();
    jsonItem(out, "cc_half", s.ccHalf);
    if (!friedelsLaw) {
        separate();
        jsonItem(out, "anomalous_completeness", s.anomalousCompleteness), separate();
        jsonItem(out, "anomalous_multiplicity", s.anomalousMultiplicity), separate();
        jsonItem(out, "cc_anom", s.ccAnomalous);
    }
    out += "}";
}

// ------------------------------------------------------------ deposition

// A deposition value: the block's own writer (`?` for none or not finite,
// never "-0.000").
std::string cifNumber(const std::optional<double>& value, int decimals) {
    return value ? reflns_block::cifNumber(*value, decimals) : "?";
}

}  // namespace

std::string heading(bool friedelsLaw) {
    std::string line;
    for (const Column& c : kColumns) appendRight(line, c.name, c.width);
    if (!friedelsLaw) {
        for (const Column& c : kAnomalousColumns) appendRight(line, c.name, c.width);
    }
    return line;
}

std::vector<std::string> lines(const Table& table) {
    std::vector<std::string> out;
    out.push_back(std::string(kTablePrefix) + table.name);
    out.push_back(std::string(kFriedelPrefix) + (table.friedelsLaw ? "true" : "false"));
    out.push_back(heading(table.friedelsLaw));
    for (const Shell& s : table.shells) {
        out.push_back(row(number(s.dMax, 3), number(s.dMin, 3), values(s, table.friedelsLaw)));
    }
    out.push_back(row("overall", "", values(table.overall, table.friedelsLaw)));
    out.push_back(row("inner", "", values(table.inner, table.friedelsLaw)));
    out.push_back(row("outer", "", values(table.outer, table.friedelsLaw)));
    out.push_back(std::string(kEndOfTable));
    return out;
}

std::optional<Table> readTable(InputFile& file) {
    std::string_view line;
    do {
        if (!file.next(line)) return std::nullopt;
    } while (line.find_first_not_of(' ') == std::string_view::npos);
    if (line.substr(0, kTablePrefix.size()) != kTablePrefix) {
        file.failAt(0, 0, "no \"" + std::string(kTablePrefix) + "\" line where a table should start");
    }
    Table table;
    table.name = std::string(line.substr(kTablePrefix.size()));
    line = file.nextOrFail("the \"friedel:\" line");
    if (line == std::string(kFriedelPrefix) + "true") table.friedelsLaw = true;
    else if (line == std::string(kFriedelPrefix) + "false") table.friedelsLaw = false;
    else file.failAt(0, 0, "not \"friedel: true\" or \"friedel: false\"");
    line = file.nextOrFail("the column heading");
    if (line != heading(table.friedelsLaw)) file.failAt(0, 0, "not the column heading of a table");
    const size_t count = valueCount(table.friedelsLaw);
    int labelled = 0;
    for (;;) {
        line = file.nextOrFail("a shell, \"overall\", \"inner\", \"outer\" or \"end of table\"");
        if (line == kEndOfTable) break;
        const std::vector<std::string_view> f = fields(line);
        const FieldReader r{line, file};
        const bool label = !f.empty() && (f[0] == "overall" || f[0] == "inner" || f[0] == "outer");
        const size_t at = label ? 1 : 2;
        if (f.size() != at + count) {
            file.failAt(0, 0, std::to_string(f.size()) + " fields where " + std::to_string(at + count) + " belong");
        }
        Shell s;
        if (!label) {
            if (labelled > 0) file.failAt(0, 0, "a shell after the overall row");
            s.dMax = r.real(f[0]);
            s.dMin = r.real(f[1]);
        }
        readValues(r, f, at, table.friedelsLaw, s);
        if (!label) {
            table.shells.push_back(s);
            continue;
        }
        static const std::string_view kOrder[3] = {"overall", "inner", "outer"};
        if (labelled > 2 || f[0] != kOrder[labelled]) {
            const auto [first, last] = columnsOf(line, f[0]);
            file.failAt(first, last, "\"" + std::string(f[0]) + "\" out of order (overall, inner, outer)");
        }
        Shell& target = labelled == 0 ? table.overall : labelled == 1 ? table.inner : table.outer;
        target = s;
        ++labelled;
    }
    if (labelled != 3) file.failAt(0, 0, "the table ends before its overall, inner and outer rows");
    if (table.shells.empty()) file.failAt(0, 0, "the table has no shell");
    table.overall.dMax = table.shells.front().dMax;
    table.overall.dMin = table.shells.back().dMin;
    table.inner.dMax = table.shells.front().dMax;
    table.inner.dMin = table.shells.front().dMin;
    table.outer.dMax = table.shells.back().dMax;
    table.outer.dMin = table.shells.back().dMin;
    return table;
}

bool startsTable(std::string_view firstLine) { return firstLine.substr(0, kTablePrefix.size()) == kTablePrefix; }

shell_statistics::ShellTable asShellTable(const Table& table, const std::string& file) {
    namespace stats = shell_statistics;
    stats::ShellTable out;
    if (table.shells.size() + 1 > static_cast<size_t>(stats::kMaxRows)) {
        common::fail("the table \"" + table.name + "\" of " + file + " has " + std::to_string(table.shells.size()) +
                     " shells, more than the " + std::to_string(stats::kMaxRows - 1) + " of a log's table");
    }
    const auto row = [](const Shell& s, std::string label) {
        stats::ShellRow r;
        r.label = std::move(label);
        r.observed = static_cast<float>(s.observations);
        r.secondCount = static_cast<float>(s.unique);
        r.thirdCount = static_cast<float>(s.possible);
        r.completeness = s.completeness ? static_cast<float>(*s.completeness) : stats::kXdsUndefined;
        r.rmerge = s.rMerge ? static_cast<float>(100 * *s.rMerge) : stats::kXdsUndefined;
        r.isigma = s.iOverSigma ? static_cast<float>(*s.iOverSigma) : stats::kXdsUndefined;
        r.redundancy = r.secondCount == 0 ? stats::kXdsUndefined : r.observed / r.secondCount;
        if (s.observations <= INT32_MAX) r.observedCount = static_cast<int32_t>(s.observations);
        return r;
    };
    for (const Shell& s : table.shells) {
        char label[16];
        std::snprintf(label, sizeof label, "%6.2f", s.dMin);
        out.rows[static_cast<size_t>(out.count++)] = row(s, std::string(label).substr(0, stats::kLabelWidth));
    }
    out.rows[static_cast<size_t>(out.count++)] = row(table.overall, " total");
    out.hasTotal = true;
    return out;
}

std::string json(const std::vector<Table>& tables) {
    std::string out = "{";
    for (size_t t = 0; t < tables.size(); ++t) {
        const Table& table = tables[t];
        if (t > 0) out += ",";
        out += "\n  \"" + table.name + "\": {\n    \"friedels_law\": ";
        out += table.friedelsLaw ? "true" : "false";
        out += ",\n    \"shells\": [";
        for (size_t i = 0; i < table.shells.size(); ++i) {
            out += i == 0 ? "\n      " : ",\n      ";
            jsonShell(out, table.shells[i], table.friedelsLaw);
        }
        out += "\n    ],\n    \"overall\": ";
        jsonShell(out, table.overall, table.friedelsLaw);
        out += ",\n    \"inner\": ";
        jsonShell(out, table.inner, table.friedelsLaw);
        out += ",\n    \"outer\": ";
        jsonShell(out, table.outer, table.friedelsLaw);
        out += "\n  }";
    }
    out += "\n}\n";
    return out;
}

DepositionItems depositionItems(const Table& table) {
    DepositionItems d;
    const Shell& o = table.overall;
    const auto count = [](int64_t n) { return std::to_string(n); };
    d.reflns = {
        {"d_resolution_low", cifNumber(o.dMax, 3)},
        {"d_resolution_high", cifNumber(o.dMin, 3)},
        {"pdbx_number_measured_all", count(o.observations)},
        {"number_obs", count(o.unique)},
        {"percent_possible_obs", cifNumber(o.completeness, 1)},
        {"pdbx_percent_possible_spherical", cifNumber(o.completeness, 1)},
        {"pdbx_percent_possible_ellipsoidal", cifNumber(o.completenessEllipsoid, 1)},
        {"pdbx_redundancy", cifNumber(o.multiplicity, 2)},
        {"pdbx_Rmerge_I_obs", cifNumber(o.rMerge, 4)},
        {"pdbx_Rrim_I_all", cifNumber(o.rMeas, 4)},
        {"pdbx_Rpim_I_all", cifNumber(o.rPim, 4)},
        {"pdbx_CC_half", cifNumber(o.ccHalf, 4)},
        {"pdbx_netI_over_sigmaI", cifNumber(o.iOverSigma, 2)},
    };
    if (!table.friedelsLaw) {
        d.reflns.push_back({"pdbx_percent_possible_anomalous", cifNumber(o.anomalousCompleteness, 1)});
        d.reflns.push_back({"pdbx_redundancy_anomalous", cifNumber(o.anomalousMultiplicity, 2)});
        d.reflns.push_back({"pdbx_CC_half_anomalous", cifNumber(o.ccAnomalous, 4)});
    }
    d.shellTags = {"pdbx_ordinal",
                   "pdbx_diffrn_id",
                   "d_res_low",
                   "d_res_high",
                   "number_measured_obs",
                   "number_unique_obs",
                   "number_possible",
                   "percent_possible_obs",
                   "pdbx_percent_possible_spherical",
                   "pdbx_percent_possible_ellipsoidal",
                   "pdbx_redundancy",
                   "Rmerge_I_obs",
                   "pdbx_Rrim_I_all",
                   "pdbx_Rpim_I_all",
                   "pdbx_CC_half",
                   "meanI_over_sigI_obs"};
    if (!table.friedelsLaw) {
        for (const char* tag : {"pdbx_percent_possible_anomalous", "pdbx_redundancy_anomalous", "pdbx_CC_half_anomalous"}) {
            d.shellTags.push_back(tag);
        }
    }
    int ordinal = 0;
    for (const Shell& s : table.shells) {
        std::vector<std::string> r = {std::to_string(++ordinal),
                                      "1",
                                      cifNumber(s.dMax, 3),
                                      cifNumber(s.dMin, 3),
                                      count(s.observations),
                                      count(s.unique),
                                      count(s.possible),
                                      cifNumber(s.completeness, 1),
                                      cifNumber(s.completeness, 1),
                                      cifNumber(s.completenessEllipsoid, 1),
                                      cifNumber(s.multiplicity, 2),
                                      cifNumber(s.rMerge, 4),
                                      cifNumber(s.rMeas, 4),
                                      cifNumber(s.rPim, 4),
                                      cifNumber(s.ccHalf, 4),
                                      cifNumber(s.iOverSigma, 2)};
        if (!table.friedelsLaw) {
            r.push_back(cifNumber(s.anomalousCompleteness, 1));
            r.push_back(cifNumber(s.anomalousMultiplicity, 2));
            r.push_back(cifNumber(s.ccAnomalous, 4));
        }
        d.shellRows.push_back(std::move(r));
    }
    return d;
}

}  // namespace common::merging_table
