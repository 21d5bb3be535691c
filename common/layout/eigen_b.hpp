// The table of principal components of the anisotropic part of B, in the
// layout of Phaser's logs (MODE ANO), which ovoscale writes and honer and
// ovoreport read:
//
//     (5X,A6,...)            the heading: "eigenB" in columns 6-11
//     (5X,F9.3,11X,3F9.4)    three records, one a component, largest first:
//                            the value in A^2 (columns 6-14) and its
//                            direction cosines in the orthonormal frame
//                            (x along a, y in the a-b plane, z along c*)
//
// The heading is the first record of a log whose columns 6-11 read exactly
// "eigenB"; the components are the three records right after it. The last
// of them, the most negative, is the resharpening B that honer applies.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "common/input_file.hpp"
#include "common/output_file.hpp"

namespace common::eigen_b {

inline constexpr std::string_view kHeadingWord = "eigenB";
inline constexpr int kHeadingFirst = 6;  // columns of the word
inline constexpr int kHeadingLast = 11;
static_assert(kHeadingLast - kHeadingFirst + 1 == kHeadingWord.size());
// The whole heading record as Phaser writes it.
inline constexpr std::string_view kHeading = "     eigenB (A^2)     direction cosines (orthogonal coordinates)";

// A component record: 5X, F9.3, 11X, 3F9.4.
inline constexpr int kValueSkip = 5;
inline constexpr int kValueWidth = 9;
inline constexpr int kValueDecimals = 3;
inline constexpr int kCosineSkip = 11;
inline constexpr int kCosineWidth = 9;
inline constexpr int kCosineDecimals = 4;

struct Component {
    float value = 0;                   // A^2
    std::array<float, 3> cosines{};    // direction in the orthonormal frame
};

// Largest value first; the values of an anisotropic part sum to zero.
using Table = std::array<Component, 3>;

// The heading and the three component records, in order, as they are
// written.
std::array<std::string, 4> records(const Table& table);
// False when a value does not fit its field: a reader would find asterisks
// where a number belongs, so the writer reports that instead of writing.
bool fits(const Table& table);

// Writes the four records of `records(table)`.
void write(OutputFile& file, const Table& table);

// Reads up to and including the heading record; false when the file ends
// first. Nothing before the heading is looked at but columns 6-11.
bool findHeading(InputFile& file);

// After findHeading: skips the first two component records, whatever they
// hold, and reads the value of the third (F9.3 in columns 6-14) -- the
// resharpening B. A file that ends before it, or a field that is no
// number, ends the run with the line and columns in the report.
float readResharpeningB(InputFile& file);

// After findHeading: the three component records whole, values and
// direction cosines (a blank field reads as 0, as Fw.d does).
Table readTable(InputFile& file);

}  // namespace common::eigen_b
