// The floor of bapply's benchmark: gemmi alone reading an MTZ file and
// writing it again under another name.
#define USE_STD_SNPRINTF  // gemmi's own formatter is not packaged
#define GEMMI_WRITE_IMPLEMENTATION
#include <gemmi/mtz.hpp>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: copy_mtz IN OUT\n");
        return 2;
    }
    gemmi::Mtz mtz;
    mtz.read_file(argv[1]);
    mtz.write_to_file(argv[2]);
    std::printf("%d reflections copied\n", mtz.nreflections);
    return 0;
}
