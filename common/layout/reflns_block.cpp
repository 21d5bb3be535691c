#include "common/layout/reflns_block.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace common::reflns_block {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A value may stand bare when it starts with no character CIF gives a
// meaning to, holds no blank and is no reserved word.
bool canStandBare(std::string_view text) {
    if (text.empty()) return false;
    const char first = text.front();
    if (first == '_' || first == '#' || first == '$' || first == '\'' || first == '"' || first == '[' ||
        first == ']' || first == ';') {
        return false;
    }
    if (text == "?" || text == ".") return false;
    for (const char c : text) {
        if (isBlank(c) || c == '\n' || c == '\r' || static_cast<unsigned char>(c) < 32) return false;
    }
    std::string lower(text.substr(0, std::min<size_t>(text.size(), 7)));
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    for (const std::string_view reserved : {"data_", "save_", "loop_", "stop_", "global_"}) {
        if (lower.compare(0, reserved.size(), reserved) == 0) return false;
    }
    return true;
}

// A quote may close a quoted value only when a blank follows it.
bool canQuoteWith(std::string_view text, char quote) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || text[i] == '\r') return false;
        if (text[i] == quote && (i + 1 == text.size() || isBlank(text[i + 1]))) return false;
    }
    return true;
}

}  // namespace

std::string cifText(std::string_view text) {
    if (text.empty()) return "?";
    if (canStandBare(text)) return std::string(text);
    for (const char quote : {'\'', '"'}) {
        if (canQuoteWith(text, quote)) return quote + std::string(text) + quote;
    }
    // A text field: its lines may not start with ';'.
    std::string field = "\n;";
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (start > 0) field += '\n';
        if (start > 0 && !line.empty() && line.front() == ';') field += ' ';
        field += line;
        start = end + 1;
    }
    return field + "\n;";
}

std::string cifNumber(double value, int decimals) {
    if (!std::isfinite(value)) return "?";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text(buffer);
    if (text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
    return text;
}

void Block::comment(std::string_view line) {
    std::string text("#");
    if (!line.empty()) text += " ";
    for (const char c : line) text += (c == '\n' || c == '\r') ? ' ' : c;
    comments_.push_back(std::move(text));
}

void Block::set(std::string_view name, std::string value) {
    for (Item& item : items_) {
        if (item.name == name) {
            item.value = std::move(value);
            return;
        }
    }
    items_.push_back({std::string(name), std::move(value)});
}

const std::string* Block::find(std::string_view name) const {
    for (const Item& item : items_) {
        if (item.name == name) return &item.value;
    }
    return nullptr;
}

void Block::addLoop(Loop loop) { loops_.push_back(std::move(loop)); }

void Block::setLoop(Loop loop) {
    for (Loop& old : loops_) {
        if (old.category == loop.category) {
            old = std::move(loop);
            return;
        }
    }
    loops_.push_back(std::move(loop));
}

std::string Block::text() const {
    std::string out;
    for (const std::string& c : comments_) out += c + "\n";
    const auto line = [&out](const Item& item) {
        std::string name = "_reflns." + item.name;
        out += name;
        if (!item.value.empty() && item.value.front() == '\n') {
            out += item.value;  // a text field starts on a line of its own
        } else {
            out.append(name.size() < 56 ? 56 - name.size() : 1, ' ');
            out += item.value;
        }
        out += '\n';
    };
    for (const std::string_view key : kKeys) {
        for (const Item& item : items_) {
            if (item.name == key) line(item);
        }
    }
    for (const Item& item : items_) {
        if (std::find(std::begin(kKeys), std::end(kKeys), item.name) == std::end(kKeys)) line(item);
    }
    for (const Loop& loop : loops_) {
        out += "#\nloop_\n";
        for (const std::string& name : loop.names) out += loop.category + "." + name + "\n";
        for (const std::vector<std::string>& row : loop.rows) {
            std::string text;
            for (const std::string& value : row) text += (text.empty() ? "" : " ") + value;
            out += text + "\n";
        }
    }
    if (!out.empty()) out += "#\n";
    return out;
}

}  // namespace common::reflns_block
