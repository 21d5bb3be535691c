// ovoscale: French and Wilson's amplitudes and the anisotropy correction.
#include <malloc.h>

#include "common/failure.hpp"
#include "ovoscale/help.hpp"
#include "ovoscale/run.hpp"

int main(int argc, char** argv) {
    // Blocks of a megabyte and more straight from the system and back to it
    // when freed. The program frees large blocks in turn (the merge's
    // table, the fit's kept reflections, the prior's rounds); with the
    // allocator's own moving threshold a small block left between them
    // kept that memory from the MTZ's rows, which then took fresh pages:
    // 84 MB at the peak against 56 MB, on 1e6 reflections.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    return common::runProgram("ovoscale", argc, argv, kOvoscaleHelp, ovoscale::runOvoscale);
}
