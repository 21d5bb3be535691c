// The two outputs of ovoreport: the page a person reads and the numbers for
// pipelines.
#pragma once

#include "common/output_file.hpp"
#include "ovoreport/run_files.hpp"

namespace ovoreport {

// report.html: one self-contained HTML file (no script, no resource from
// outside, the pictures as data: URIs), printable on A4. Every text from a
// file is escaped.
void writeHtml(common::OutputFile& html, const Run& run);

// report.json: the same numbers, each with the file it comes from.
void writeJson(common::OutputFile& json, const Run& run);

// Section headings of the page, in order (the tests find them in the
// printed page).
inline constexpr const char* kSectionHeadings[] = {
    "The run in numbers", "ovofit's measurement", "The report page",
    "The statistics",     "The deposition block", "The files of the run"};

}  // namespace ovoreport
