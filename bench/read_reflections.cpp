// An unmerged MTZ file read through the suite's reflection layer
// (common/reflections/): every observation at its measured indices with its
// batch, as ovofit and ovoscale take them; bench/unmerged_mtz.sh times it
// against gemmi alone reading the same file (read_mtz).
#include <cstdio>

#include "common/failure.hpp"
#include "common/reflections/reflection_file.hpp"

namespace {

const char* path = nullptr;

int readAll() {
    long observations = 0, batches = 0;
    double sum = 0;
    common::reflections::ReflectionFile file(path);
    common::reflections::Observation o;
    while (file.next(o)) {
        ++observations;
        batches += o.batch;
        sum += double{o.intensity} + o.h + o.k + o.l;
    }
    std::printf("%ld observations read (checksum %g %ld)\n", observations, sum, batches);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: read_reflections FILE\n");
        return 2;
    }
    path = argv[1];
    return common::runProgram("read_reflections", readAll);
}
