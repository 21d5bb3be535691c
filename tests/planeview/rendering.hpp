// Rendering a page with the programs installed beside the suite
// (Ghostscript, pdftotext) and reading the picture back.
#pragma once

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <unistd.h>

namespace pvtest {

// The program of this name on PATH, or empty when there is none.
inline std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::filesystem::path candidate = std::filesystem::path(dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return {};
}

struct Image {
    int width = 0, height = 0;
    std::string pixels;  // RGB, rows from the top

    struct Rgb {
        int r, g, b;
    };
    Rgb at(int column, int row) const {
        const size_t i = (static_cast<size_t>(row) * static_cast<size_t>(width) + static_cast<size_t>(column)) * 3;
        return {static_cast<unsigned char>(pixels[i]), static_cast<unsigned char>(pixels[i + 1]),
                static_cast<unsigned char>(pixels[i + 2])};
    }
    // The pixel holding the page point (x, y), in points at 72 dpi with the
    // origin at the lower left.
    Rgb atPoint(double x, double y) const { return at(static_cast<int>(x), height - 1 - static_cast<int>(y)); }
};

// Reads a binary PPM (P6, maxval 255); an empty image when it is not one.
inline Image readPpm(const std::string& data) {
    Image image;
    size_t pos = 0;
    auto token = [&]() {
        for (;;) {
            while (pos < data.size() && std::isspace(static_cast<unsigned char>(data[pos]))) ++pos;
            if (pos < data.size() && data[pos] == '#') {
                while (pos < data.size() && data[pos] != '\n') ++pos;
                continue;
            }
            break;
        }
        const size_t start = pos;
        while (pos < data.size() && !std::isspace(static_cast<unsigned char>(data[pos]))) ++pos;
        return data.substr(start, pos - start);
    };
    if (token() != "P6") return image;
    image.width = std::stoi(token());
    image.height = std::stoi(token());
    if (token() != "255") return Image{};
    ++pos;  // the single blank after the header
    image.pixels = data.substr(pos);
    if (image.pixels.size() != static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 3) return Image{};
    return image;
}

}  // namespace pvtest
