#include "common/file_names.hpp"

#include <filesystem>

namespace common {

std::string faultOfFileName(std::string_view name) {
    if (name.find('\0') != std::string_view::npos) return "the name holds a NUL byte";
    if (name.size() > kLongestName) {
        return "the name is longer than " + std::to_string(kLongestName) + " bytes";
    }
    return {};
}

std::string fileNameFrom(std::string_view field) {
    size_t n = field.size();
    while (n > 0 && field[n - 1] == ' ') --n;
    return std::string(field.substr(0, n));
}

std::string quoted(std::string_view name) {
    std::string text;
    text.reserve(name.size() + 2);
    text += '"';
    text += name;
    text += '"';
    return text;
}

std::string quotedStart(std::string_view name) {
    if (name.size() <= 80) return quoted(name);
    return "\"" + std::string(name.substr(0, 80)) + "...\"";
}

bool sameFile(const std::string& x, const std::string& y) {
    std::error_code error;
    if (std::filesystem::equivalent(x, y, error)) return true;
    // Made absolute first: a relative name none of whose parts exists
    // ("r.html") would come back as it is, unlike "./r.html".
    const auto cx = std::filesystem::weakly_canonical(std::filesystem::absolute(x, error), error);
    if (error) return x == y;
    const auto cy = std::filesystem::weakly_canonical(std::filesystem::absolute(y, error), error);
    return error ? x == y : cx == cy;
}

}  // namespace common
