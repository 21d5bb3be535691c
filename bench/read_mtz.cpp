// The floor of finjoin's benchmark: gemmi alone reading the MTZ files named
// on the command line, one after the other, each dropped before the next.
#include <gemmi/gz.hpp>
#include <gemmi/mtz.hpp>

#include <cstdio>

int main(int argc, char** argv) {
    long rows = 0;
    for (int i = 1; i < argc; ++i) {
        const gemmi::Mtz mtz = gemmi::read_mtz(gemmi::MaybeGzipped(argv[i]), true);
        rows += mtz.nreflections;
    }
    std::printf("%ld reflections read\n", rows);
    return 0;
}
