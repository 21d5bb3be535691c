#!/usr/bin/python3
"""French and Wilson's amplitudes shell by shell along each principal axis,
on data large enough that one shell's mean is not held up by its own noise.

tests/ovoscale/prior_test.cpp checks the mean amplitude against the truth
on 100 000-reflection files, where a weak-axis shell holds about 2000
reflections that are mostly noise and moves by about 2 % between seeds.
This draws the same cases (tests/model/anisotropic_data.py, its protein-like
curve, its three noise models) in a cell CELL times larger, so CELL^3 times
the reflections, runs ovoscale on each and prints, along each principal
axis (reflections within 35 degrees of it, ten shells of equal count), the
outer three shells one by one and the reflections measured below zero.

    bench/french_wilson_shells.py BIN [CELL [SEEDS]]

BIN the folder of ovoscale; CELL 1.6 by default (4.1 times the
reflections); SEEDS a comma-separated list, 11 by default. Prints the
largest deviation and ends with status 1 if a shell is off by more than 3 %.
"""

import os
import subprocess
import sys
import tempfile

import gemmi
import numpy

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'model'))
import anisotropic_data  # noqa: E402

CASES = [('orthorhombic', 'constant'), ('monoclinic', 'constant'), ('monoclinic', 'true'),
         ('monoclinic', 'observed'), ('orthorhombic', 'observed'), ('orthorhombic', 'true')]
if os.environ.get('CASES'):  # e.g. CASES=monoclinic:true,orthorhombic:observed
    CASES = [tuple(c.split(':')) for c in os.environ['CASES'].split(',')]
CONE = numpy.cos(numpy.radians(35))


def scaled_cases(factor):
    original = anisotropic_data.case

    def case(name):
        cell, group, values, axes = original(name)
        p = cell.parameters
        return gemmi.UnitCell(p[0] * factor, p[1] * factor, p[2] * factor, p[3], p[4], p[5]), group, values, axes
    anisotropic_data.case = case


def shells(folder, ovoscale):
    hkl, truth = os.path.join(folder, 'd.hkl'), os.path.join(folder, 'truth.txt')
    run = subprocess.run([ovoscale], input='d.hkl\nout.mtz\nout.log\n', cwd=folder, text=True,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if run.returncode != 0:
        raise SystemExit('ovoscale: status %d: %s' % (run.returncode, run.stderr))
    axes, true_f = [], {}
    for line in open(truth):
        words = line.split()
        if words[0] == 'axis':
            axes.append((float(words[1]), numpy.array([float(w) for w in words[2:5]])))
        else:
            true_f[tuple(int(w) for w in words[:3])] = float(words[3])
    measured = {}
    for line in open(hkl):
        if line.startswith('!'):
            continue
        # Fixed columns: 3I6, then I and sigma in E11.4 (a negative I runs into l).
        measured[(int(line[0:6]), int(line[6:12]), int(line[12:18]))] = float(line[18:29])
    mtz = gemmi.read_mtz_file(os.path.join(folder, 'out.mtz'))
    data = numpy.array(mtz, copy=False)
    data = data[~numpy.isnan(data[:, 3])]
    miller = data[:, :3].astype(int)
    s = miller.astype(float) @ numpy.array(mtz.cell.frac.mat.tolist())
    s2 = (s * s).sum(axis=1)
    truth_f = numpy.array([true_f[tuple(h)] for h in miller.tolist()])
    intensity = numpy.array([measured[tuple(h)] for h in miller.tolist()])
    rows = []
    for value, u in axes:
        inside = numpy.abs(s @ u) / numpy.sqrt(s2) > CONE
        order = numpy.argsort(s2[inside], kind='stable')
        f, t, i = data[inside, 3][order], truth_f[inside][order], intensity[inside][order]
        n = len(f)
        outer = [f[n * k // 10:n * (k + 1) // 10].sum() / t[n * k // 10:n * (k + 1) // 10].sum() - 1 for k in (7, 8, 9)]
        negative = i < 0
        rows.append((value, n, outer, f[negative].sum() / t[negative].sum() - 1, int(negative.sum())))
    return rows


def main(argv):
    if len(argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    ovoscale = os.path.join(argv[1], 'ovoscale')
    factor = float(argv[2]) if len(argv) > 2 else 1.6
    seeds = [int(x) for x in argv[3].split(',')] if len(argv) > 3 else [11]
    scaled_cases(factor)
    worst = 0.0
    for shape, noise in CASES:
        for seed in seeds:
            with tempfile.TemporaryDirectory() as folder:
                anisotropic_data.main(['', shape, noise, '5', str(seed), os.path.join(folder, 'd.hkl'),
                                       os.path.join(folder, 'truth.txt')])
                for value, n, outer, negative, count in shells(folder, ovoscale):
                    worst = max([worst, abs(negative)] + [abs(x) for x in outer])
                    print('%-12s sigma %-8s seed %d axis %+3.0f (%6d): shells 8-10 %s; I < 0 (%d) %+.1f%%'
                          % (shape, noise, seed, value, n, ' '.join('%+.1f%%' % (100 * x) for x in outer),
                             count, 100 * negative), flush=True)
    print('largest deviation %.1f%%' % (100 * worst))
    return 0 if worst <= 0.03 else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv))
