#include "common/layout/eigen_b.hpp"

#include "common/records.hpp"

namespace common::eigen_b {

namespace {

constexpr const char* kRecordNames[3] = {"the first record after the eigenB heading",
                                         "the second record after the eigenB heading",
                                         "the record with the B value, third after the eigenB heading"};

std::string componentRecord(const Component& component) {
    RecordBuffer record;
    record.blanks(kValueSkip).fixed(component.value, kValueWidth, kValueDecimals).blanks(kCosineSkip);
    for (const float cosine : component.cosines) record.fixed(cosine, kCosineWidth, kCosineDecimals);
    return std::string(record.view());
}

}  // namespace

bool fits(const Table& table) {
    for (const Component& component : table) {
        const std::string record = componentRecord(component);
        if (record.find('*') != std::string::npos) return false;
    }
    return true;
}

std::array<std::string, 4> records(const Table& table) {
    return {std::string(kHeading), componentRecord(table[0]), componentRecord(table[1]), componentRecord(table[2])};
}

void write(OutputFile& file, const Table& table) {
    for (const std::string& record : records(table)) file.writeRecord(record);
}

bool findHeading(InputFile& file) {
    std::string_view record;
    return file.skipToLine(kHeadingWord, kHeadingFirst, record);
}

float readResharpeningB(InputFile& file) {
    file.nextOrFail(kRecordNames[0]);
    file.nextOrFail(kRecordNames[1]);
    const std::string_view record = file.nextOrFail(kRecordNames[2]);
    RecordCursor cursor(record, file);
    cursor.skip(kValueSkip);
    return cursor.readFixed(kValueWidth, kValueDecimals);
}

Table readTable(InputFile& file) {
    Table table;
    for (int i = 0; i < 3; ++i) {
        const std::string_view record = file.nextOrFail(kRecordNames[i]);
        RecordCursor cursor(record, file);
        cursor.skip(kValueSkip);
        table[static_cast<size_t>(i)].value = cursor.readFixed(kValueWidth, kValueDecimals);
        cursor.skip(kCosineSkip);
        for (float& cosine : table[static_cast<size_t>(i)].cosines) cosine = cursor.readFixed(kCosineWidth, kCosineDecimals);
    }
    return table;
}

}  // namespace common::eigen_b
