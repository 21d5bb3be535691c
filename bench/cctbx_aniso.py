#!/usr/bin/env python3
"""cctbx's maximum-likelihood anisotropic scaling on the file ovoscale is
timed on, as an outside reference for speed and memory (never a part of
the programs):

    python3 bench/cctbx_aniso.py scaled.hkl

`generate_xds scaled` writes no !ITEM_ lines, which cctbx's XDS reader
needs; this adds them to a copy beside the file. Prints the CPU seconds of
reading and of the scaling, the peak resident set, and cctbx's B (Cartesian,
A^2) for comparison with ovoscale's log.
"""
import os
import resource
import sys
import time


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    source = argv[1]
    copy = source + ".cctbx"
    with open(source) as inp, open(copy, "w") as out:
        for line in inp:
            out.write(line)
            if line.startswith("!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD"):
                out.write("!ITEM_H=1\n!ITEM_K=2\n!ITEM_L=3\n!ITEM_IOBS=4\n!ITEM_SIGMA(IOBS)=5\n")
    start = time.process_time()
    from iotbx import reflection_file_reader
    from mmtbx.scaling import absolute_scaling
    arrays = reflection_file_reader.any_reflection_file(copy).as_miller_arrays()
    intensities = arrays[0]
    if not intensities.is_unique_set_under_symmetry():
        intensities = intensities.merge_equivalents().array()
    read = time.process_time()
    residues = intensities.unit_cell().volume() / (2.7 * 128) / intensities.space_group().order_z()
    fit = absolute_scaling.ml_aniso_absolute_scaling(miller_array=intensities, n_residues=residues)
    scaled = time.process_time()
    os.remove(copy)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print("reflections %d; reading %.2f s, scaling %.2f s of CPU; peak %.1f MB" %
          (intensities.size(), read - start, scaled - read, peak))
    print("B (cartesian, A^2): " + " ".join("%.3f" % b for b in fit.b_cart))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
