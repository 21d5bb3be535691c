// Microbenchmarks of the record reader and writer and of the ellipsoid
// test, on fields as they stand in XDS reflection files, fin files and logs.
//
//   build-bench/bench-bin/microbench [--benchmark_filter=REGEX]
//
// Each benchmark runs over a table of different fields so that neither the
// branch predictor nor the compiler sees one value only.
#include "common/cell.hpp"
#include "common/input_file.hpp"
#include "common/records.hpp"
#include "ovoclip/input_script.hpp"
#include "common/layout/xds_record.hpp"
#include "ovoclip/truncation.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

struct Random {
    unsigned long long state = 88172645463325252ull;
    unsigned long long next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

constexpr size_t kTable = 4096;  // a power of two

std::vector<std::string> formatted(const char* format, int kind) {
    Random random;
    std::vector<std::string> fields;
    char text[64];
    for (size_t i = 0; i < kTable; ++i) {
        const unsigned long long r = random.next();
        switch (kind) {
            case 0: std::snprintf(text, sizeof text, format, static_cast<int>(r % 141) - 70); break;
            default: std::snprintf(text, sizeof text, format, static_cast<double>(r % 1000000) / 7.0 - 5000.0); break;
        }
        fields.emplace_back(text);
    }
    return fields;
}

void parseIntegerI6(benchmark::State& state) {
    const auto fields = formatted("%6d", 0);
    size_t i = 0;
    for (auto _ : state) {
        int32_t value = 0;
        benchmark::DoNotOptimize(common::parseInteger(fields[i++ & (kTable - 1)], value));
        benchmark::DoNotOptimize(value);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(parseIntegerI6);

void parseFixedF12_2(benchmark::State& state) {
    const auto fields = formatted("%12.2f", 1);
    size_t i = 0;
    for (auto _ : state) {
        float value = 0;
        benchmark::DoNotOptimize(common::parseFixed(fields[i++ & (kTable - 1)], 2, value));
        benchmark::DoNotOptimize(value);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(parseFixedF12_2);

// XDS_ASCII intensities: " 1.151E+04" in eleven columns.
void parseFreeExponent(benchmark::State& state) {
    const auto fields = formatted("%11.3E", 1);
    size_t i = 0;
    for (auto _ : state) {
        float value = 0;
        benchmark::DoNotOptimize(common::parseFreeNumber(fields[i++ & (kTable - 1)], value));
        benchmark::DoNotOptimize(value);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(parseFreeExponent);

void parseFreeFixed(benchmark::State& state) {
    const auto fields = formatted("%11.1f", 1);
    size_t i = 0;
    for (auto _ : state) {
        float value = 0;
        benchmark::DoNotOptimize(common::parseFreeNumber(fields[i++ & (kTable - 1)], value));
        benchmark::DoNotOptimize(value);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(parseFreeFixed);

// More digits than a float holds exactly: the general path.
void parseFreeLong(benchmark::State& state) {
    const auto fields = formatted("%.9f", 1);
    size_t i = 0;
    for (auto _ : state) {
        float value = 0;
        benchmark::DoNotOptimize(common::parseFreeNumber(fields[i++ & (kTable - 1)], value));
        benchmark::DoNotOptimize(value);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(parseFreeLong);

void appendIntegerI6(benchmark::State& state) {
    std::string out;
    int32_t value = -70;
    for (auto _ : state) {
        out.clear();
        common::appendInteger(out, value, 6);
        benchmark::DoNotOptimize(out.data());
        if (++value > 70) value = -70;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(appendIntegerI6);

void appendFixedF12_2(benchmark::State& state) {
    Random random;
    std::vector<float> values;
    for (size_t i = 0; i < kTable; ++i) values.push_back(static_cast<float>(random.next() % 1000000) / 7.0f - 5000.0f);
    std::string out;
    size_t i = 0;
    for (auto _ : state) {
        out.clear();
        common::appendFixed(out, values[i++ & (kTable - 1)], 12, 2);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(appendFixedF12_2);

// A scratch file of reflection records, read line by line; the page cache
// holds it after the first pass.
class RecordFile : public benchmark::Fixture {
public:
    void SetUp(const benchmark::State&) override {
        if (!name_.empty()) return;
        char pattern[] = "/tmp/microbench-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0) std::abort();
        name_ = pattern;
        FILE* out = fdopen(fd, "w");
        Random random;
        for (int i = 0; i < 1000000; ++i) {
            const unsigned long long r = random.next();
            std::fprintf(out, "%6d%6d%6d%11.3E%11.3E\n", static_cast<int>(r % 67) - 33, static_cast<int>(r % 41),
                         static_cast<int>(r % 47), static_cast<double>(r % 1000000) / 7.0 - 5000.0,
                         1.0 + static_cast<double>((r >> 20) % 10000) / 3.0);
        }
        std::fclose(out);
    }
    ~RecordFile() override {
        if (!name_.empty()) unlink(name_.c_str());
    }
    std::string name_;
};

BENCHMARK_F(RecordFile, InputFileNext)(benchmark::State& state) {
    size_t lines = 0;
    for (auto _ : state) {
        common::InputFile input(name_);
        std::string_view line;
        while (input.next(line)) {
            benchmark::DoNotOptimize(line.data());
            ++lines;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(lines));
}

// The whole record as ovoclip reads it: three I6 and two free numbers.
BENCHMARK_F(RecordFile, ReflectionRecord)(benchmark::State& state) {
    size_t lines = 0;
    for (auto _ : state) {
        common::InputFile input(name_);
        std::string_view line;
        while (input.next(line)) {
            int32_t h = 0, k = 0, l = 0;
            common::parseInteger(common::columns(line, 1, 6), h);
            common::parseInteger(common::columns(line, 7, 12), k);
            common::parseInteger(common::columns(line, 13, 18), l);
            common::RecordCursor cursor(line, input);
            cursor.skip(18);
            const float f = cursor.readFree(11);
            const float sigma = cursor.readFree(11);
            benchmark::DoNotOptimize(h + k + l);
            benchmark::DoNotOptimize(f + sigma);
            ++lines;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(lines));
}

// Reflection records as XDS writes them, 40 columns each.
std::vector<std::string> reflectionRecords() {
    Random random;
    std::vector<std::string> records;
    char text[64];
    int h = -33, k = 0, l = 0;
    for (size_t i = 0; i < kTable; ++i) {
        const unsigned long long r = random.next();
        std::snprintf(text, sizeof text, "%6d%6d%6d%11.3E%11.3E", h, k, l,
                      static_cast<double>(r % 1000000) / 7.0 - 5000.0, 1.0 + static_cast<double>((r >> 20) % 10000) / 3.0);
        records.emplace_back(text);
        if (++l > 46) {
            l = 0;
            if (++k > 40) {
                k = 0;
                if (++h > 33) h = -33;
            }
        }
    }
    return records;
}

// The quick reader of ovoclip: the indices and the layout of the values of
// the whole record at once.
void readPrintedRecord(benchmark::State& state) {
    const auto records = reflectionRecords();
    size_t i = 0;
    for (auto _ : state) {
        common::xds_record::PrintedIndices record;
        benchmark::DoNotOptimize(common::xds_record::readPrintedRecord(records[i++ & (kTable - 1)].data(), record));
        benchmark::DoNotOptimize(record);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(readPrintedRecord);

// F and sigma of records known to be plain, summed as for rejected
// reflections.
void sumPrintedValues(benchmark::State& state) {
    const auto records = reflectionRecords();
    size_t i = 0;
    double sumF = 0, sumSigma = 0;
    for (auto _ : state) {
        const char* p = records[i++ & (kTable - 1)].data();
        float f = 0, sigma = 0;
        common::xds_record::readPrintedValue(p + 18, f);
        common::xds_record::readPrintedValue(p + 29, sigma);
        sumF += f;
        sumSigma += sigma;
    }
    benchmark::DoNotOptimize(sumF + sumSigma);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(sumPrintedValues);

// The general readers, as for records in other forms.
void readGeneralFields(benchmark::State& state) {
    const auto records = reflectionRecords();
    size_t i = 0;
    for (auto _ : state) {
        const std::string_view line = records[i++ & (kTable - 1)];
        int32_t h = 0, k = 0, l = 0;
        float f = 0, sigma = 0;
        common::parseInteger(line.substr(0, 6), h);
        common::parseInteger(line.substr(6, 6), k);
        common::parseInteger(line.substr(12, 6), l);
        common::parseFreeNumber(line.substr(18, 11), f);
        common::parseFreeNumber(line.substr(29, 11), sigma);
        benchmark::DoNotOptimize(h + k + l);
        benchmark::DoNotOptimize(f + sigma);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(readGeneralFields);

ovoclip::EllipsoidFrame triclinicFrame() {
    common::UnitCell cell;
    cell.a = 40;
    cell.b = 50;
    cell.c = 60;
    cell.alpha = 70;
    cell.beta = 80;
    cell.gamma = 100;
    const float axes[3][3] = {{0.8f, 0.6f, 0}, {-0.6f, 0.8f, 0}, {0, 0, 1}};
    ovoclip::ResolutionLimits limits;
    limits.lowResLimit = 2.5f;
    limits.mediumResLimit = 2.0f;
    limits.highResLimit = 1.8f;
    return ovoclip::prepareEllipsoid(cell, common::computeReciprocalCell(cell), axes, limits);
}

void ellipsoidMeasure(benchmark::State& state) {
    const ovoclip::EllipsoidFrame frame = triclinicFrame();
    int32_t h = -33, k = 0, l = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ovoclip::ellipsoidMeasure(h, k, l, frame));
        if (++l > 46) {
            l = 0;
            if (++k > 40) {
                k = 0;
                if (++h > 33) h = -33;
            }
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ellipsoidMeasure);

void isInsideEllipsoid(benchmark::State& state) {
    const ovoclip::EllipsoidFrame frame = triclinicFrame();
    int32_t h = -33, k = 0, l = 0;
    size_t inside = 0;
    for (auto _ : state) {
        inside += ovoclip::isInsideEllipsoid(h, k, l, frame);
        if (++l > 46) {
            l = 0;
            if (++k > 40) {
                k = 0;
                if (++h > 33) h = -33;
            }
        }
    }
    benchmark::DoNotOptimize(inside);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(isInsideEllipsoid);

}  // namespace

BENCHMARK_MAIN();
