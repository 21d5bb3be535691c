// Writes a large, deterministic fin file for timing planeview.
//
//   generate_fin COUNT FILE [SIDE]
//
// Records are (3I4,8F12.2), 108 characters: indices sweep a box of
// 141 x 201 x n around the origin, so that about one record in seventy lies
// in one of the zones h=0, k=0 or l=0; with SIDE the box is SIDE x SIDE x n
// (22 puts about one record in eleven in a zone, the plane-heavy case); the amplitudes and sigmas are
// pseudo-random with two decimals, and about a third of the trunc, aniso and
// iso amplitudes are 0 (cut by the truncation).
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Right-justifies `value` hundredths as %12.2f would.
char* putCents(char* out, long long cents) {
    char text[24];
    int n = 0;
    const bool negative = cents < 0;
    unsigned long long v = negative ? static_cast<unsigned long long>(-cents) : static_cast<unsigned long long>(cents);
    text[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
    text[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
    text[n++] = '.';
    do {
        text[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (negative) text[n++] = '-';
    for (int i = n; i < 12; ++i) *out++ = ' ';
    while (n > 0) *out++ = text[--n];
    return out;
}

char* putIndex(char* out, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%4d", value);
    std::memcpy(out, text, 4);
    return out + 4;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: generate_fin COUNT FILE [SIDE]\n");
        return 2;
    }
    const long long count = std::atoll(argv[1]);
    FILE* out = std::fopen(argv[2], "wx");
    if (out == nullptr) {
        std::perror(argv[2]);
        return 2;
    }
    static char buffer[1 << 20];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
    const int side = argc == 4 ? std::atoi(argv[3]) : 0;
    const int hCount = side > 0 ? side : 141, kCount = side > 0 ? side : 201;
    const long long lCount = count / (hCount * kCount) + 1;
    unsigned long long state = 88172645463325252ull;
    int h = 0, k = -kCount / 2;
    long long l = -lCount / 2;
    char record[128];
    for (long long i = 0; i < count; ++i) {
        char* p = record;
        p = putIndex(p, h);
        p = putIndex(p, k);
        p = putIndex(p, static_cast<int>(l));
        for (int set = 0; set < 4; ++set) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            long long F = static_cast<long long>(state % 5000000) + 1;
            const long long sigma = static_cast<long long>((state >> 24) % 200000) + 100;
            if (set > 0 && (state >> 40) % 3 == 0) F = 0;
            p = putCents(p, F);
            p = putCents(p, sigma);
        }
        *p++ = '\n';
        std::fwrite(record, 1, static_cast<size_t>(p - record), out);
        if (++l >= lCount - lCount / 2) {
            l = -lCount / 2;
            if (++k > kCount / 2) {
                k = -kCount / 2;
                if (++h >= hCount) h = 0;
            }
        }
    }
    return std::fclose(out) == 0 ? 0 : 2;
}
