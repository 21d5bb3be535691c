#include "common/reflections/xds_file.hpp"

#include <cmath>
#include <string>

#include "common/failure.hpp"
#include "common/records.hpp"
#include "common/reflections/cell_check.hpp"

namespace common::reflections {

namespace {

namespace xds_record = common::xds_record;

// The blank-separated items after `keyword` on a keyword line, or none.
struct Items {
    std::string_view line;
    size_t next = std::string_view::npos;  // where the items start; npos when the keyword is absent

    bool found() const { return next != std::string_view::npos; }

    // The next item and its columns (1-based); false when none is left or
    // the next one is another keyword.
    bool take(std::string_view& item, int& first, int& last) {
        while (next < line.size() && line[next] == ' ') ++next;
        if (next >= line.size()) return false;
        size_t end = next;
        while (end < line.size() && line[end] != ' ') ++end;
        item = line.substr(next, end - next);
        if (item.find('=') != std::string_view::npos) return false;
        first = static_cast<int>(next) + 1;
        last = static_cast<int>(end);
        next = end;
        return true;
    }
};

Items findKeyword(std::string_view line, std::string_view keyword) {
    Items items{line};
    if (line.size() < 2 || line[0] != '!' || line[1] == ' ') return items;
    for (size_t at = line.find(keyword, 1); at != std::string_view::npos; at = line.find(keyword, at + 1)) {
        if (at == 1 || line[at - 1] == ' ') {
            items.next = at + keyword.size();
            break;
        }
    }
    return items;
}

float numberItem(Items& items, const common::InputFile& file, std::string_view keyword) {
    std::string_view item;
    int first = 0, last = 0;
    if (!items.take(item, first, last)) {
        file.failAt(0, 0, std::string(keyword) + " has too few values");
    }
    float value = 0;
    if (common::parseFreeNumber(item, value) != common::ParseStatus::ok) {
        file.failAt(first, last, "\"" + std::string(item) + "\" is not a number");
    }
    return value;
}

int32_t integerItem(Items& items, const common::InputFile& file, std::string_view keyword) {
    std::string_view item;
    int first = 0, last = 0;
    int32_t value = 0;
    if (!items.take(item, first, last)) file.failAt(0, 0, std::string(keyword) + " has no value");
    if (common::parseInteger(item, value) != common::ParseStatus::ok) {
        file.failAt(first, last, "\"" + std::string(item) + "\" is not an integer");
    }
    return value;
}

bool truthItem(Items& items, const common::InputFile& file, std::string_view keyword) {
    std::string_view item;
    int first = 0, last = 0;
    if (!items.take(item, first, last)) file.failAt(0, 0, std::string(keyword) + " has no value");
    if (item == "TRUE") return true;
    if (item == "FALSE") return false;
    file.failAt(first, last, "\"" + std::string(item) + "\" is neither TRUE nor FALSE");
}

constexpr std::string_view kFrameItem = "ITEM_ZD=";

enum Keyword { kCell, kSpaceGroup, kMerge, kFriedel, kItems, kKeywordCount };
constexpr std::string_view kKeywords[kKeywordCount] = {"UNIT_CELL_CONSTANTS=", "SPACE_GROUP_NUMBER=", "MERGE=",
                                                      "FRIEDEL'S_LAW=", "NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD="};

void readKeyword(Keyword which, Items& items, const common::InputFile& file, XdsHeader& header) {
    const std::string_view keyword = kKeywords[which];
    switch (which) {
    case kCell:
        for (float* value : {&header.cell.a, &header.cell.b, &header.cell.c, &header.cell.alpha, &header.cell.beta,
                             &header.cell.gamma}) {
            *value = numberItem(items, file, keyword);
        }
        break;
    case kSpaceGroup: header.spaceGroupNumber = integerItem(items, file, keyword); break;
    case kMerge: header.merged = truthItem(items, file, keyword); break;
    case kFriedel: header.friedelsLaw = truthItem(items, file, keyword); break;
    case kItems: header.itemsPerRecord = integerItem(items, file, keyword); break;
    case kKeywordCount: break;
    }
}

}  // namespace

XdsHeader readXdsHeader(common::InputFile& file) {
    XdsHeader header;
    bool seen[kKeywordCount] = {};
    std::string_view line;
    for (;;) {
        if (!file.next(line)) {
            common::fail(file.name() + " has no end-of-header line (\"!END_OF_HEADER\" in columns 1-14)");
        }
        if (xds_record::isEndOfHeader(line)) break;
        if (findKeyword(line, kFrameItem).found()) header.frameItem = xds_record::itemPlace(line, kFrameItem);
        for (size_t i = 0; i < 5; ++i) {
            if (!findKeyword(line, xds_record::kItemKeywords[i]).found()) continue;
            header.items.item[i] = xds_record::itemPlace(line, xds_record::kItemKeywords[i]);
            if (header.items.item[i] < 1) file.failAt(0, 0, std::string(xds_record::kItemKeywords[i]) + " is not an item number");
        }
        for (int which = 0; which < kKeywordCount; ++which) {
            Items found = findKeyword(line, kKeywords[which]);
            if (!found.found() || seen[which]) continue;  // the first one counts
            seen[which] = true;
            readKeyword(static_cast<Keyword>(which), found, file, header);
        }
    }
    for (int which = 0; which < kKeywordCount; ++which) {
        if (!seen[which]) common::fail(file.name() + " has no " + std::string(kKeywords[which]) + " in its header");
    }
    checkCellValues(file.name() + ": UNIT_CELL_CONSTANTS=", header.cell);
    if (header.spaceGroupNumber < 1 || header.spaceGroupNumber > 230) {
        common::fail(file.name() + ": SPACE_GROUP_NUMBER= " + std::to_string(header.spaceGroupNumber) +
                     " is not a space group number (1 to 230)");
    }
    if (header.itemsPerRecord < 5) {
        common::fail(file.name() + ": NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD= " +
                     std::to_string(header.itemsPerRecord) + " leaves no room for h, k, l, I and sigma(I)");
    }
    if (!header.items.standard()) {
        std::string places;
        for (size_t i = 0; i < 5; ++i) {
            places += std::string(i == 0 ? "" : ", ") + std::string(xds_record::kItemKeywords[i]) +
                      std::to_string(header.items.item[i]);
        }
        common::fail(file.name() + ": the header puts the fields elsewhere (" + places +
                     "); " + common::programName() + " reads h, k, l, IOBS and SIGMA(IOBS) only as items 1 to 5");
    }
    return header;
}

namespace {

// The batch of a record: the image its centre lies on, from the item
// ITEM_ZD= of its blank-separated items.
void readFrame(const common::InputFile& file, const XdsHeader& header, std::string_view line, Observation& observation) {
    observation.batch = 0;
    if (header.frameItem < 6) return;
    size_t at = 0;
    for (int32_t item = 1;; ++item) {
        while (at < line.size() && line[at] == ' ') ++at;
        const size_t end = std::min(line.find(' ', at), line.size());
        if (at >= line.size()) file.failAt(0, 0, "the record has no item " + std::to_string(header.frameItem) + " (ITEM_ZD=)");
        if (item == header.frameItem) {
            float z = 0;
            if (common::parseFreeNumber(line.substr(at, end - at), z) != common::ParseStatus::ok || !(std::fabs(z) < 1e8f)) {
                file.failAt(static_cast<int>(at) + 1, static_cast<int>(end),
                            "\"" + std::string(line.substr(at, end - at)) + "\" is not a frame number (ITEM_ZD=)");
            }
            observation.batch = static_cast<int32_t>(std::floor(z)) + 1;
            return;
        }
        at = end;
    }
}

// One record, and with kFrame its batch; each form its own function, so
// that the plain one stays the small loop body the build inlines.
template <bool kFrame>
bool readRecord(common::InputFile& file, const XdsHeader* header, Observation& observation) {
    std::string_view line;
    if (!file.next(line)) file.failEndOfFile("more reflections or the \"!END_OF_DATA\" line");
    // A record as XDS writes it is read in place.
    xds_record::PrintedIndices indices;
    if (line.size() >= xds_record::kPrintedRecordLength && xds_record::readPrintedRecord(line.data(), indices) &&
        xds_record::readPrintedValue(line.data() + xds_record::kIntensityOffset, observation.intensity) &&
        xds_record::readPrintedValue(line.data() + xds_record::kSigmaOffset, observation.sigma)) {
        observation.h = indices.h;
        observation.k = indices.k;
        observation.l = indices.l;
    } else if (!xds_record::readGeneralRecord(line, file, kOnDamagedRecord, observation)) {
        return false;
    }
    if constexpr (kFrame) readFrame(file, *header, line, observation);
    return true;
}

}  // namespace

bool readObservation(common::InputFile& file, Observation& observation) {
    return readRecord<false>(file, nullptr, observation);
}

bool readObservationWithFrame(common::InputFile& file, const XdsHeader& header, Observation& observation) {
    return readRecord<true>(file, &header, observation);
}

}  // namespace common::reflections
