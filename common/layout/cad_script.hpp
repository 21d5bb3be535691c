// The cad input file: five keyword records that give CAD's input file 1 a
// scale and a B factor and name the columns they apply to.
//
//   1  title apply a negative iso B
//   2  SCAL FILE_NUMBER 1 1.00 <B, F12.3 in columns 25-36>
//   3  LABI FILE 1 E1=FP_ISO E2=SIGFP_ISO       (ends in one blank)
//   4  LABO FILE 1 E1=FP_ISOB E2=SIGFP_ISOB
//   5  end
//
// honer writes it; CAD and bapply run it; planeview reads the B of record 2
// from columns 25-36, after exactly the 24 characters of keyword text, and
// bapply reads the scale from columns 20-23 of the same record. Written and
// read here only.
#pragma once

#include <string>
#include <string_view>

#include "common/input_file.hpp"
#include "common/records.hpp"

namespace common::cad_script {

inline constexpr int kRecords = 5;

// Record 1.
inline constexpr std::string_view kTitleKeyword = "title";
inline constexpr std::string_view kTitleRecord = "title apply a negative iso B";

// Record 2: (A19, F4.2, 1X, F12.3), the keyword text, the scale, the B.
inline constexpr std::string_view kScaleKeyword = "SCAL";
inline constexpr std::string_view kScaleKeywords = "SCAL FILE_NUMBER 1 1.00 ";  // all before the B
inline constexpr std::string_view kScaleText = "SCAL FILE_NUMBER 1 ";         // all before the scale
inline constexpr int kScaleWidth = 4;
inline constexpr int kScaleDecimals = 2;
inline constexpr float kScale = 1.0f;  // honer's
inline constexpr int kBWidth = 12;
inline constexpr int kBDecimals = 3;
static_assert(kScaleKeywords.size() == 24);
static_assert(kScaleText.size() + kScaleWidth + 1 == kScaleKeywords.size());

// Records 3 and 4: the columns the scale and B apply to, and their names on
// output.
inline constexpr std::string_view kInputLabelsKeyword = "LABI";
inline constexpr std::string_view kOutputLabelsKeyword = "LABO";
inline constexpr std::string_view kApplyToF = "FP_ISO";
inline constexpr std::string_view kApplyToSigma = "SIGFP_ISO";
inline constexpr std::string_view kResultF = "FP_ISOB";
inline constexpr std::string_view kResultSigma = "SIGFP_ISOB";

// Record 5.
inline constexpr std::string_view kEndRecord = "end";

inline std::string scaleRecord(float negB) {
    RecordBuffer record;
    record.text(kScaleText).fixed(kScale, kScaleWidth, kScaleDecimals).blanks(1).fixed(negB, kBWidth, kBDecimals);
    return std::string(record.view());
}

// "LABI FILE 1 E1=<F> E2=<sigma> ": record 3 ends in a blank, record 4 not.
inline std::string inputLabelsRecord(std::string_view f, std::string_view sigma) {
    return std::string(kInputLabelsKeyword) + " FILE 1 E1=" + std::string(f) + " E2=" + std::string(sigma) + " ";
}
inline std::string outputLabelsRecord(std::string_view f, std::string_view sigma) {
    return std::string(kOutputLabelsKeyword) + " FILE 1 E1=" + std::string(f) + " E2=" + std::string(sigma);
}

// The B of record 2, as planeview takes it: (24X, F12.3).
inline float readScaleRecord(std::string_view record, const LineSource& source) {
    RecordCursor cursor(record, source);
    cursor.skip(static_cast<int>(kScaleKeywords.size()));
    return cursor.readFixed(kBWidth, kBDecimals);
}

struct ScaleAndB {
    float scale = 0;
    float b = 0;
};

// The scale and the B of record 2, as bapply takes them: the keyword text
// of columns 1-19 exactly, then (F4.2, 1X, F12.3). A record that is not
// this one ends the run.
inline ScaleAndB readScaleAndB(std::string_view record, const LineSource& source) {
    if (record.substr(0, kScaleText.size()) != kScaleText) {
        source.failAt(1, static_cast<int>(kScaleText.size()),
                      "not \"" + std::string(kScaleText) + "\", the scale record of a cad input file");
    }
    RecordCursor cursor(record, source);
    cursor.skip(static_cast<int>(kScaleText.size()));
    ScaleAndB values;
    values.scale = cursor.readFixed(kScaleWidth, kScaleDecimals);
    if (record.size() > kScaleKeywords.size() - 1 && record[kScaleKeywords.size() - 1] != ' ') {
        const int column = static_cast<int>(kScaleKeywords.size());
        source.failAt(column, column, "not the blank between the scale and the B");
    }
    cursor.skip(1);
    values.b = cursor.readFixed(kBWidth, kBDecimals);
    return values;
}

struct Labels {
    std::string f;
    std::string sigma;
};

// Records 3 and 4 word by word: the keyword, FILE, 1, E1=<F>, E2=<sigma>,
// and nothing else but blanks. A word out of place ends the run, named.
inline Labels readLabelsRecord(std::string_view record, std::string_view keyword, const LineSource& source) {
    std::string_view words[6];
    int first[6] = {}, last[6] = {};
    int count = 0;
    for (size_t at = 0; at < record.size() && count < 6;) {
        if (record[at] == ' ') {
            ++at;
            continue;
        }
        size_t end = record.find(' ', at);
        if (end == std::string_view::npos) end = record.size();
        words[count] = record.substr(at, end - at);
        first[count] = static_cast<int>(at) + 1;
        last[count] = static_cast<int>(end);
        ++count;
        at = end;
    }
    auto refuse = [&](int word, std::string_view expected) {
        if (word >= count) source.failAt(0, 0, "ends where " + std::string(expected) + " was expected");
        source.failAt(first[word], last[word],
                      "\"" + std::string(words[word]) + "\" where " + std::string(expected) + " was expected");
    };
    if (count < 1 || words[0] != keyword) refuse(0, "the keyword " + std::string(keyword));
    if (count < 2 || words[1] != "FILE") refuse(1, "FILE");
    if (count < 3 || words[2] != "1") refuse(2, "1 (the one input file)");
    Labels labels;
    const std::string_view assignments[2] = {"E1=", "E2="};
    for (int i = 0; i < 2; ++i) {
        const int word = 3 + i;
        if (word >= count || words[word].substr(0, 3) != assignments[i] || words[word].size() == 3) {
            refuse(word, std::string(assignments[i]) + "<column label>");
        }
        (i == 0 ? labels.f : labels.sigma) = std::string(words[word].substr(3));
    }
    if (count > 5) refuse(5, "the end of the record");
    return labels;
}

}  // namespace common::cad_script
