#include "common/layout/fits.hpp"

#include <charconv>
#include <string>

#include "common/failure.hpp"
#include "common/file_names.hpp"

namespace common {

namespace {
template <typename Value>
void requireFitsOf(const OutputFile& file, std::string_view field, std::string_view what, Value value) {
    if (field.find('*') == std::string_view::npos) return;
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value);
    fail("cannot write " + quoted(file.name()) + ": " + std::string(what) + " " + std::string(text, written.ptr) +
         " does not fit its field of " + std::to_string(field.size()) + " columns, which the next program reads");
}
}  // namespace

void requireFits(const OutputFile& file, std::string_view field, std::string_view what, float value) {
    requireFitsOf(file, field, what, value);
}

void requireFits(const OutputFile& file, std::string_view field, std::string_view what, int64_t value) {
    requireFitsOf(file, field, what, value);
}

}  // namespace common
