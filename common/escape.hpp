// Text from files and programs (names and contents alike) made safe for a
// report or a status file: for HTML, the markup characters as entities and
// every character outside ASCII as a numeric reference; for JSON, a string
// of ASCII with \u escapes. A byte that is no part of valid UTF-8, and a control
// character, is shown as the text \xNN, as the programs' reports show it.
#pragma once

#include <string>
#include <string_view>

namespace common {

std::string escapeHtml(std::string_view text);
// The same, keeping line feeds and tabs (for <pre>).
std::string escapeHtmlLines(std::string_view text);
// The contents of a JSON string, without its quotes.
std::string escapeJson(std::string_view text);

// Base64 of `size` bytes at `data` (with padding), appended to `out`.
void appendBase64(std::string& out, const unsigned char* data, size_t size);

}  // namespace common
