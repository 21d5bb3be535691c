#include "common/escape.hpp"

#include <cstdint>
#include <cstdio>

namespace common {

namespace {

// The code point of the valid UTF-8 sequence at text[at], and its length;
// length 0 when the byte there starts none (a stray continuation byte, an
// overlong form, a surrogate, beyond U+10FFFF, cut short).
struct Decoded {
    uint32_t code = 0;
    size_t length = 0;
};

Decoded decode(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return {lead, 1};
    size_t length = 0;
    uint32_t code = 0;
    uint32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1Fu, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0Fu, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07u, least = 0x10000;
    } else {
        return {};
    }
    if (at + length > text.size()) return {};
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return {};
        code = (code << 6) | (byte(at + i) & 0x3Fu);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {};
    return {code, length};
}

// Characters shown as their bytes: the controls (C0, DEL, C1) and the
// noncharacters, which a page must not hold.
bool shownAsBytes(uint32_t code) {
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || (code >= 0xFDD0 && code <= 0xFDEF) ||
           (code & 0xFFFE) == 0xFFFE;
}

void appendBytes(std::string& out, std::string_view text, size_t at, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(text[at + i]));
        out += hex;
    }
}

std::string escapeHtmlKeeping(std::string_view text, bool keepLines) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (size_t at = 0; at < text.size();) {
        const Decoded d = decode(text, at);
        if (d.length == 0) {
            appendBytes(out, text, at, 1);
            ++at;
            continue;
        }
        const uint32_t c = d.code;
        if (keepLines && (c == '\n' || c == '\t')) {
            out += static_cast<char>(c);
        } else if (shownAsBytes(c)) {
            appendBytes(out, text, at, d.length);
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '&') {
            out += "&amp;";
        } else if (c == '"') {
            out += "&quot;";
        } else if (c == '\'') {
            out += "&#39;";
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            char reference[16];
            std::snprintf(reference, sizeof reference, "&#x%X;", c);
            out += reference;
        }
        at += d.length;
    }
    return out;
}

}  // namespace

std::string escapeHtml(std::string_view text) { return escapeHtmlKeeping(text, false); }
std::string escapeHtmlLines(std::string_view text) { return escapeHtmlKeeping(text, true); }

std::string escapeJson(std::string_view text) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const Decoded d = decode(text, at);
        if (d.length == 0) {
            out += "\\\\x";  // the text \xNN, its backslash escaped
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(text[at]));
            out += hex;
            ++at;
            continue;
        }
        const uint32_t c = d.code;
        char unit[16];
        if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (c < 0x10000) {
            std::snprintf(unit, sizeof unit, "\\u%04X", c);
            out += unit;
        } else {
            const uint32_t v = c - 0x10000;
            std::snprintf(unit, sizeof unit, "\\u%04X\\u%04X", 0xD800 + (v >> 10), 0xDC00 + (v & 0x3FF));
            out += unit;
        }
        at += d.length;
    }
    return out;
}

void appendBase64(std::string& out, const unsigned char* data, size_t size) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < size) {
        const uint32_t v = (uint32_t{data[i]} << 16) | (i + 1 < size ? uint32_t{data[i + 1]} << 8 : 0);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
}

}  // namespace common
