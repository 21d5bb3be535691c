#!/usr/bin/env python3
"""ovostats against the independent model (tests/model/merging_model.py) on
the real unmerged files of ../shared/realdata (skipped, and said, when they
are absent) and on generated data: per shell and overall, of all the data
and of those inside the ellipsoid, observations, unique and possible
reflections equal, the possible inside the ellipsoid equal to the
reflection, completeness within 0.1 point, multiplicity, Rmerge, Rmeas,
Rpim and I/sigma within 1 %, CC1/2 within 0.02 (shells of 50 reflections
or more); with Friedel's law off the
anomalous completeness within 0.1 point, multiplicity within 1 % and
CC_anom within 0.03.

    /usr/bin/python3 stats_test.py --exe build/bin/ovostats --source . --out DIR
"""

import argparse
import json
import math
import os
import random
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'model'))
import merging_model  # noqa: E402

EXACT = ['n_obs', 'n_unique', 'n_possible', 'n_possible_ellipsoid']
MOST_FOR_CC = 50
RELATIVE = ['multiplicity', 'r_merge', 'r_meas', 'r_pim', 'i_over_sigma']


# ------------------------------------------------------------ generated data

def protein_mean(s2):
    """A protein's mean intensity against 1/d^2: the dip at 6 A, the bump at
    4 A and the fall beyond (not the exponential a program fits)."""
    s = math.sqrt(s2)
    return (1.0 + 1.6 * math.exp(-((s - 0.25) / 0.05) ** 2) - 0.6 * math.exp(-((s - 0.16) / 0.03) ** 2)) * \
        math.exp(-40.0 * s2 / 4)


def generate(path, case, rng):
    """An unmerged XDS_ASCII file of case's cell and group: every reflection
    to case's d_min measured a random number of times under random
    symmetry operations (and signs), its true intensity from Wilson's
    distribution about a protein curve with an anisotropic falloff, an
    anomalous difference where Friedel's law is off, and noise whose sigma
    is estimated from the observed intensity."""
    import gemmi
    cell = gemmi.UnitCell(*case['cell'])
    sg = gemmi.find_spacegroup_by_number(case['group'])
    ops = sg.operations()
    sym = list(ops.sym_ops)
    hkls = gemmi.make_miller_array(cell, sg, case['d_min'], 0)
    lines = []
    friedel = case['friedel']
    for hkl in hkls:
        hkl = [int(x) for x in hkl]
        s2 = cell.calculate_1_d2(hkl)
        # Anisotropy: stronger falloff along c*.
        aniso = math.exp(-case['b_extra'] * (hkl[2] / case['cell'][2]) ** 2 / 4)
        true = rng.expovariate(1.0) * 400.0 * protein_mean(s2) * aniso
        anomalous = 0.0 if friedel else rng.gauss(0, 0.05) * true
        count = rng.choice(case['multiplicity'])
        for _ in range(count):
            op = rng.choice(sym)
            sign = rng.choice([1, -1])
            h = [sign * x for x in op.apply_to_hkl(hkl)]
            value = true + (anomalous if sign == 1 else -anomalous)
            noise = math.sqrt(value + 50.0 + (0.03 * value) ** 2)
            i_obs = value + rng.gauss(0, noise)
            sigma = math.sqrt(abs(i_obs) + 50.0 + (0.03 * i_obs) ** 2)
            if rng.random() < 0.01:
                sigma = -sigma  # a misfit
            lines.append('%6d%6d%6d%11.3E%11.3E%8.1f%8.1f%9.1f\n' % (h[0], h[1], h[2], i_obs, sigma,
                                                                      rng.uniform(0, 2000), rng.uniform(0, 2000),
                                                                      rng.uniform(0, 360)))
    rng.shuffle(lines)
    a, b, c, al, be, ga = case['cell']
    header = ("!FORMAT=XDS_ASCII    MERGE=FALSE    FRIEDEL'S_LAW=%s\n"
              "!SPACE_GROUP_NUMBER=%5d\n"
              "!UNIT_CELL_CONSTANTS=%10.3f%10.3f%10.3f%8.3f%8.3f%8.3f\n"
              "!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=8\n"
              "!ITEM_H=1\n!ITEM_K=2\n!ITEM_L=3\n!ITEM_IOBS=4\n!ITEM_SIGMA(IOBS)=5\n"
              "!ITEM_XD=6\n!ITEM_YD=7\n!ITEM_ZD=8\n!END_OF_HEADER\n") % (
        'TRUE' if friedel else 'FALSE', case['group'], a, b, c, al, be, ga)
    with open(path, 'w') as f:
        f.write(header + ''.join(lines) + '!END_OF_DATA\n')


def write_script(path, case):
    a, b, c, al, be, ga = case['cell']
    axes = case['axes']
    with open(path, 'w') as f:
        f.write('in.HKL\nout.HKL\n')
        f.write(''.join('%8.2f' % x for x in case['cell']) + '\n')
        f.write(''.join('%12.4f' % x for row in axes for x in row) + '\n')
        f.write(''.join('%12.4f' % x for x in case['limits']) + '\n')


CASES = [
    # Orthorhombic, cut harder along c*; the ellipsoid along the axes.
    {'name': 'p212121', 'group': 19, 'cell': (45.0, 55.0, 70.0, 90, 90, 90), 'd_min': 2.2, 'friedel': True,
     'b_extra': 60.0, 'multiplicity': [1, 2, 3, 4, 6],
     'axes': [(1, 0, 0), (0, 1, 0), (0, 0, 1)], 'limits': (2.3, 2.5, 3.0)},
    # Monoclinic, Friedel's law off, an ellipsoid turned about b.
    {'name': 'p2-anomalous', 'group': 4, 'cell': (40.0, 50.0, 45.0, 90, 105.0, 90), 'd_min': 2.4,
     'friedel': False, 'b_extra': 20.0, 'multiplicity': [0, 2, 3, 5, 8],
     'axes': [(0.8, 0, 0.6), (0, 1, 0), (-0.6, 0, 0.8)], 'limits': (2.5, 2.8, 3.2)},
    # Tetragonal, Friedel's law off, no ellipsoid, shells of equal volume.
    {'name': 'p41212', 'group': 92, 'cell': (60.0, 60.0, 80.0, 90, 90, 90), 'd_min': 2.6, 'friedel': False,
     'b_extra': 0.0, 'multiplicity': [1, 3, 4, 8], 'axes': None, 'limits': None, 'shells': 'volume 8'},
]


# ------------------------------------------------------------ comparison

def run(exe, folder, data, script, shells=''):
    answers = '%s\n%s\n%s\ntable.txt\nstats.json\n' % (data, script or '', shells)
    for name in ('table.txt', 'stats.json'):
        if os.path.exists(os.path.join(folder, name)):
            os.remove(os.path.join(folder, name))
    done = subprocess.run([exe], input=answers.encode(), cwd=folder, capture_output=True)
    if done.returncode != 0:
        raise AssertionError('ovostats ended with %d: %s' % (done.returncode, done.stderr.decode()))
    with open(os.path.join(folder, 'stats.json')) as f:
        return json.load(f)


def compare(label, program, model, friedel, possible_acentric, failures):
    rows = program['shells'] + [program['overall']]
    if len(rows) != len(model):
        failures.append('%s: %d rows, the model %d' % (label, len(rows), len(model)))
        return
    for i, (p, m) in enumerate(zip(rows, model)):
        where = '%s, %s' % (label, 'overall' if i == len(rows) - 1 else 'shell %d' % (i + 1))
        for key in EXACT:
            if m.get(key) is not None and p[key] != m[key]:
                failures.append('%s: %s %s, the model %s' % (where, key, p[key], m[key]))
        if m.get('n_unique'):
            if abs(p['completeness'] - m['completeness']) > 0.1:
                failures.append('%s: completeness %.3f, the model %.3f' % (where, p['completeness'],
                                                                          m['completeness']))
        for key in RELATIVE:
            if m.get(key) is None:
                continue
            if p[key] is None or abs(p[key] - m[key]) > 0.01 * abs(m[key]) + 1e-12:
                failures.append('%s: %s %s, the model %.6g' % (where, key, p[key], m[key]))
        # The model's CC1/2 is a mean of random draws: over a handful of
        # reflections it says nothing.
        if m.get('cc_half') is not None and m['n_unique'] >= MOST_FOR_CC and \
                (p['cc_half'] is None or abs(p['cc_half'] - m['cc_half']) > 0.02):
            failures.append('%s: cc_half %s, the model %.4f' % (where, p['cc_half'], m['cc_half']))
        if not friedel and m.get('n_unique'):
            expected = 100.0 * m['anomalous_both'] / possible_acentric[i] if possible_acentric[i] else None
            got = p['anomalous_completeness']
            if expected is not None and (got is None or abs(got - expected) > 0.1):
                failures.append('%s: anomalous completeness %s, the model %.3f' % (where, got, expected))
            if m.get('cc_anom') is not None and m['n_unique'] >= MOST_FOR_CC and \
                    (p['cc_anom'] is None or abs(p['cc_anom'] - m['cc_anom']) > 0.03):
                failures.append('%s: cc_anom %s, the model %.4f' % (where, p['cc_anom'], m['cc_anom']))
            if m.get('anomalous_multiplicity') is not None and \
                    abs(p['anomalous_multiplicity'] - m['anomalous_multiplicity']) > 0.01 * m['anomalous_multiplicity']:
                failures.append('%s: anomalous multiplicity %s, the model %.4f' % (
                    where, p['anomalous_multiplicity'], m['anomalous_multiplicity']))


def check(exe, folder, data, script, shells, failures, label):
    program = run(exe, folder, data, script, shells)
    count = 10
    if shells.startswith('volume'):
        count = None  # the model's shells are XSCALE's: compare the overall row only
    model = merging_model.model(data, script, count or 10)
    for name in ('all', 'kept'):
        if name not in model:
            continue
        table = program[name]
        friedel = table['friedels_law']
        acentric = model['possible_acentric_kept' if name == 'kept' else 'possible_acentric']
        if count is None:
            if name == 'all':
                trimmed = {'shells': [], 'overall': table['overall']}
                compare(label + ' ' + name, trimmed, model[name][-1:], friedel, acentric[-1:], failures)
        else:
            compare(label + ' ' + name, table, model[name], friedel, acentric, failures)
    print('%s: %d shells compared' % (label, len(program['all']['shells'])))
    return program


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--exe', required=True)
    parser.add_argument('--source', required=True)
    parser.add_argument('--out', required=True)
    args = parser.parse_args()
    args.exe = os.path.abspath(args.exe)
    args.source = os.path.abspath(args.source)
    os.makedirs(args.out, exist_ok=True)
    try:
        import cctbx.miller  # noqa: F401
        import gemmi  # noqa: F401
    except ImportError as missing:
        print('SKIPPED: the model needs cctbx and gemmi for Python (%s)' % missing)
        return 77
    failures = []
    rng = random.Random(34)

    for case in CASES:
        folder = os.path.join(args.out, case['name'])
        os.makedirs(folder, exist_ok=True)
        data = os.path.join(folder, 'XDS_ASCII.HKL')
        generate(data, case, rng)
        script = None
        if case['axes']:
            script = os.path.join(folder, 'ovoclip.inp')
            write_script(script, case)
        program = check(args.exe, folder, data, script, case.get('shells', ''), failures, case['name'])
        if script:
            # The cut must take reflections away where the ellipsoid is inside
            # the sphere, and only there.
            kept, whole = program['kept']['overall'], program['all']['overall']
            if not (kept['n_unique'] < whole['n_unique'] and kept['completeness'] < whole['completeness']):
                failures.append('%s: the kept data are not fewer than all' % case['name'])
            if abs(kept['completeness_ellipsoid'] - whole['completeness_ellipsoid']) > 1e-9:
                failures.append('%s: the ellipsoidal completeness differs between the tables' % case['name'])

    real = os.path.normpath(os.path.join(args.source, '..', 'shared', 'realdata'))
    files = [os.path.join(real, 'xds', 'edna_autoproc_XDS_ASCII.HKL'), os.path.join(real, 'mtz', 'HKLOUT_unmerged.mtz')]
    present = [f for f in files if os.path.exists(f)]
    if not present:
        print('no ../shared/realdata beside this clone: the real unmerged files are not tried')
    for f in present:
        folder = os.path.join(args.out, os.path.basename(f))
        os.makedirs(folder, exist_ok=True)
        # An ellipsoid cutting the outer third of the data along c*.
        script = os.path.join(folder, 'ovoclip.inp')
        model_all = merging_model.model(f)
        d_min = 1 / math.sqrt(model_all['edges'][-1])
        import gemmi
        if f.endswith('.mtz'):
            cell = gemmi.read_mtz_file(f).cell.parameters
        else:
            cell = [float(x) for x in next(line for line in open(f, errors='replace')
                                           if line.startswith('!UNIT_CELL_CONSTANTS=')).split('=')[1].split()]
        write_script(script, {'cell': cell, 'axes': [(1, 0, 0), (0, 1, 0), (0, 0, 1)],
                              'limits': (d_min, d_min * 1.1, d_min * 1.35)})
        check(args.exe, folder, f, script, '', failures, os.path.basename(f))

    for line in failures:
        print('FAILED: ' + line)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
