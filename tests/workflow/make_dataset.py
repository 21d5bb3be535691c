#!/usr/bin/python3
"""Writes one generated, unmerged XDS_ASCII.HKL for the workflow's test and
bench: an orthorhombic crystal (P222, cell 50 x 60 x 70 A) that diffracts
anisotropically (amplitude B 60, 40 and 25 A^2 along a*, b*, c*), Wilson
intensities (exponential for acentric, chi-square of one degree for the
centric zones), each unique reflection observed several times under P222's
operations and Friedel's law with the noise sigma^2 = 30^2 + I + (0.04 I)^2.

  make_dataset.py FILE OBSERVATIONS [SEED] [DMIN]

OBSERVATIONS is the number of records (the multiplicity follows from it and
the resolution, DMIN in A, 2.0 by default). Seeded: the same bytes
every time (standard library only).
"""

import math
import random
import sys

CELL = (50.0, 60.0, 70.0)
B_AMPLITUDE = (60.0, 40.0, 25.0)
OPERATIONS = ((1, 1, 1), (-1, -1, 1), (-1, 1, -1), (1, -1, -1))


def main():
    path, count = sys.argv[1], int(sys.argv[2])
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    dmin = float(sys.argv[4]) if len(sys.argv) > 4 else 2.0
    rng = random.Random(seed)
    unique = []  # h, k, l >= 0 (P222 has no systematic absences), with the true I
    for h in range(int(CELL[0] / dmin) + 1):
        for k in range(int(CELL[1] / dmin) + 1):
            for l in range(int(CELL[2] / dmin) + 1):
                sx, sy, sz = h / CELL[0], k / CELL[1], l / CELL[2]
                s2 = sx * sx + sy * sy + sz * sz
                if s2 == 0 or s2 > 1.0 / dmin ** 2:
                    continue
                zeros = (h == 0) + (k == 0) + (l == 0)
                epsilon = 2.0 if zeros >= 2 else 1.0
                falloff = math.exp(-(B_AMPLITUDE[0] * sx * sx + B_AMPLITUDE[1] * sy * sy + B_AMPLITUDE[2] * sz * sz) / 2)
                mean = 4000.0 * epsilon * (1 - 0.75 * math.exp(-150 * s2)) * falloff
                true = mean * rng.gauss(0, 1) ** 2 if zeros else rng.expovariate(1 / mean)
                unique.append((h, k, l, true))
    # Every unique reflection once, the rest of the count drawn at random.
    which = list(range(len(unique))) + [rng.randrange(len(unique)) for _ in range(max(0, count - len(unique)))]
    which = sorted(which[:count])
    rows = []
    for i in which:
        h, k, l, value = unique[i]
        sigma = math.sqrt(30.0 ** 2 + value + (0.04 * value) ** 2)
        observed = value + sigma * rng.gauss(0, 1)
        op = OPERATIONS[rng.randrange(4)]
        friedel = rng.choice((-1, 1))
        rows.append("%6d%6d%6d%11.3E%11.3E%8.1f%8.1f%9.1f%10.5f%4d%4d%8.2f\n"
                    % (h * op[0] * friedel, k * op[1] * friedel, l * op[2] * friedel, observed, sigma,
                       1200.0, 1200.0, rng.uniform(1, 3600), 1.0, 90, 0, 0.0))
    with open(path, "w") as f:
        f.write("!FORMAT=XDS_ASCII    MERGE=FALSE    FRIEDEL'S_LAW=TRUE\n"
                "!SPACE_GROUP_NUMBER=   16\n"
                "!UNIT_CELL_CONSTANTS=    %.3f    %.3f    %.3f  90.000  90.000  90.000\n"
                "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=12\n"
                "!ITEM_H=1\n!ITEM_K=2\n!ITEM_L=3\n!ITEM_IOBS=4\n!ITEM_SIGMA(IOBS)=5\n"
                "!END_OF_HEADER\n" % CELL)
        f.write("".join(rows))
        f.write("!END_OF_DATA\n")


if __name__ == "__main__":
    main()
