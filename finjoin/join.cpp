#include "finjoin/join.hpp"

#include <algorithm>
#include <string_view>

#include "common/hkl_key.hpp"
#include "finjoin/fin_writer.hpp"

namespace finjoin {

void joinStage(std::vector<JoinedReflection>& table, const std::vector<StageRow>& rows, int stage) {
    // Both are sorted: one walk matches them, the new reflections go behind
    // the old ones and the two sorted runs are merged.
    const size_t old = table.size();
    size_t added = 0, at = 0;
    for (const StageRow& row : rows) {
        while (at < old && table[at].key < row.key) ++at;
        if (at == old || table[at].key != row.key) ++added;
    }
    table.reserve(old + added);  // exactly: a table of a million is 40 MB
    at = 0;
    for (const StageRow& row : rows) {
        while (at < old && table[at].key < row.key) ++at;
        JoinedReflection* target = nullptr;
        if (at < old && table[at].key == row.key) {
            target = &table[at];
        } else {
            table.push_back(JoinedReflection{row.key, {}});
            target = &table.back();
        }
        target->values[2 * stage] = row.F;
        target->values[2 * stage + 1] = row.sigF;
    }
    if (table.size() > old && old > 0) {
        std::inplace_merge(table.begin(), table.begin() + static_cast<std::ptrdiff_t>(old), table.end(),
                           [](const JoinedReflection& a, const JoinedReflection& b) { return a.key < b.key; });
    }
}

common::fin_file::Record finRecordOf(const JoinedReflection& reflection) {
    common::fin_file::Record record;
    common::unpackHkl(reflection.key, record.h, record.k, record.l);
    for (int set = 0; set < common::fin_file::kDataSets; ++set) {
        record.F[set] = reflection.values[2 * set];
        record.sigF[set] = reflection.values[2 * set + 1];
    }
    return record;
}

uint64_t writeFinFile(common::OutputFile& fin, const std::vector<JoinedReflection>& table) {
    char record[common::fin_file::kRecordLength];
    for (const JoinedReflection& reflection : table) {
        formatFinRecord(record, finRecordOf(reflection));
        fin.writeRecord(std::string_view(record, sizeof record));
    }
    return table.size();
}

}  // namespace finjoin
