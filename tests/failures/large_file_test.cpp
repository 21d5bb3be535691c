// A merged XDS file of three gigabytes, past 2^31 bytes and with more than
// 2^24 reflections kept, cut by ovoclip in one streaming pass: every count
// exact, every byte of the output as expected, memory independent of the
// size. The file is written in the test's own folder and removed after.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <sys/resource.h>
#include <unistd.h>

#include "failure_support.hpp"

namespace {

namespace fs = std::filesystem;

using failures::pad;
using testsupport::kSanitized;

constexpr uint64_t kTargetSize = 3ull << 30;   // 3 GiB
constexpr uint64_t kNeededSpace = 8ull << 30;  // the file, the cut file and room to spare

std::string format(const char* pattern, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

// One cycle of records in the 50/60/70 cell with limits 2.5, 2.0 and 1.8
// along a, b and c*: E = (2.5 h / 50)^2 + (2 k / 60)^2 + (1.8 l / 70)^2,
// none of them within 1% of 1. Each record is 60 characters, as an XDS
// record with a few more columns would be.
struct Cycle {
    std::string records;  // what the input repeats
    std::string kept;     // what the output repeats
    uint64_t count = 0, rejected = 0;
};

Cycle makeCycle() {
    Cycle cycle;
    for (int h = -24; h <= 24; h += 3) {
        for (int k = -33; k <= 33; k += 4) {
            for (int l = -40; l <= 40; l += 5) {
                const double e = std::pow(2.5 * h / 50, 2) + std::pow(2.0 * k / 60, 2) + std::pow(1.8 * l / 70, 2);
                if (std::fabs(e - 1) < 0.01) continue;
                const std::string record =
                    format("%6d%6d%6d%11.3E%11.3E%8.1f%8.1f%4d", h, k, l, 100.0, 40.0, 1234.5, 567.8, 1);
                cycle.records += record + "\n";
                ++cycle.count;
                if (e > 1) {
                    ++cycle.rejected;
                } else {
                    cycle.kept += pad(record, 76) + "\n";
                }
            }
        }
    }
    return cycle;
}

void writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        ASSERT_GT(put, 0) << std::strerror(errno);
        done += static_cast<size_t>(put);
    }
}

TEST(LargeFile, ThreeGigabyteXdsFileStreamedThroughOvoclip) {
    testsupport::ScratchDir dir;
    const fs::space_info space = fs::space(dir.path());
    if (space.available < kNeededSpace) {
        GTEST_SKIP() << "only " << (space.available >> 20) << " MB free in " << dir.path()
                     << ", 8 GB needed: the three-gigabyte file is not tried";
    }

    const Cycle cycle = makeCycle();
    const std::string header = "!FORMAT=XDS_ASCII    MERGE=TRUE    FRIEDEL'S_LAW=TRUE\n"
                               "!UNIT_CELL_CONSTANTS=    50.000    60.000    70.000  90.000  90.000  90.000\n"
                               "!END_OF_HEADER\n";
    const uint64_t cycles = (kTargetSize - header.size()) / cycle.records.size() + 1;

    // A block of whole cycles, written again and again.
    std::string block;
    const uint64_t perBlock = std::max<uint64_t>(1, (8u << 20) / cycle.records.size());
    for (uint64_t i = 0; i < perBlock; ++i) block += cycle.records;

    const auto t0 = std::chrono::steady_clock::now();
    {
        const int fd = ::open((dir / "XDS_ASCII.HKL").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        writeAll(fd, header);
        uint64_t written = 0;
        while (written + perBlock <= cycles) {
            writeAll(fd, block);
            written += perBlock;
        }
        for (; written < cycles; ++written) writeAll(fd, cycle.records);
        writeAll(fd, "!END_OF_DATA\n");
        ASSERT_EQ(::close(fd), 0);
    }
    const uint64_t inputSize = fs::file_size(dir / "XDS_ASCII.HKL");
    ASSERT_GT(inputSize, 1ull << 31);
    const auto t1 = std::chrono::steady_clock::now();

    testsupport::writeFile(dir / "ovo.inp",
                           "XDS_ASCII.HKL\ntrunc.hkl\n   50.00   60.00   70.00   90.00   90.00   90.00\n"
                           "      1.0000      0.0000      0.0000      0.0000      1.0000      0.0000"
                           "      0.0000      0.0000      1.0000\n      2.5000      2.0000      1.8000\n");
    const auto result = testsupport::run(testsupport::program("ovoclip"), "ovo.inp\npv.inp\n", dir.path());
    const auto t2 = std::chrono::steady_clock::now();
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const long peakKb = usage.ru_maxrss;
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");

    const uint64_t in = cycles * cycle.count;
    const uint64_t rejected = cycles * cycle.rejected;
    ASSERT_GT(in - rejected, 1u << 24);  // more than a float counts exactly
    EXPECT_EQ(testsupport::readFile(dir / "pv.inp"),
              format("%9llu\n%9llu\n        2.50\n%9llu.00\n", static_cast<unsigned long long>(in),
                     static_cast<unsigned long long>(rejected), static_cast<unsigned long long>(in - rejected)));
    EXPECT_NE(result.out.find(" " + std::to_string(in) + "  reflections were input"), std::string::npos)
        << result.out;

    // The cut file, read back in blocks against what it must hold.
    const std::string copiedHeader =
        pad("!FORMAT=XDS_ASCII    MERGE=TRUE    FRIEDEL'S_LAW=TRUE", 80) + "\n" +
        pad("!UNIT_CELL_CONSTANTS=    50.000    60.000    70.000  90.000  90.000  90.000", 80) + "\n" +
        "!END_OF_HEADER\n";
    const uint64_t expectedSize = copiedHeader.size() + cycles * cycle.kept.size() + 13;
    ASSERT_EQ(fs::file_size(dir / "trunc.hkl"), expectedSize);
    {
        const int fd = ::open((dir / "trunc.hkl").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::string expected = copiedHeader;
        uint64_t cyclesChecked = 0;
        std::string got;
        std::vector<char> buffer(8u << 20);
        bool same = true;
        for (;;) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            ASSERT_GE(n, 0);
            if (n == 0) break;
            got.append(buffer.data(), static_cast<size_t>(n));
            while (expected.size() < got.size() && cyclesChecked < cycles) {
                expected += cycle.kept;
                ++cyclesChecked;
            }
            if (cyclesChecked == cycles && expected.size() < got.size()) expected += "!END_OF_DATA\n";
            const size_t common = std::min(expected.size(), got.size());
            if (std::memcmp(expected.data(), got.data(), common) != 0) {
                same = false;
                break;
            }
            expected.erase(0, common);
            got.erase(0, common);
        }
        ::close(fd);
        EXPECT_TRUE(same && got.empty()) << "the cut file differs from the kept records";
    }

    const double generate = std::chrono::duration<double>(t1 - t0).count();
    const double cut = std::chrono::duration<double>(t2 - t1).count();
    std::cout << "large file: " << inputSize << " bytes, " << in << " reflections, " << (in - rejected)
              << " kept; written in " << generate << " s; ovoclip " << cut << " s ("
              << static_cast<double>(inputSize) / cut / 1e6 << " MB/s), peak memory " << peakKb / 1024 << " MB\n";
    RecordProperty("input_bytes", std::to_string(inputSize));
    RecordProperty("ovoclip_seconds", std::to_string(cut));
    RecordProperty("ovoclip_peak_rss_kb", std::to_string(peakKb));
    // Memory does not grow with the file: the buffers and the program only
    // (the sanitizers keep shadow memory and a quarantine beside them).
    EXPECT_LT(peakKb, kSanitized ? 1024 * 1024 : 64 * 1024);
}

}  // namespace
