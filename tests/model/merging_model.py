#!/usr/bin/env python3
"""Independent model of ovostats's numbers, written from what the README
says they are, not from the C++ code: cctbx reads the file (its XDS_ASCII
reader, or the MTZ's columns with the original indices from M/ISYM), merges
the equivalents (miller.array.merge_equivalents, inverse-variance weights),
gives Rmerge, Rmeas and Rpim, CC1/2 as the mean over 40 draws of its
own random halves, and the
possible reflections (miller.build_set); the ellipsoid test is
ovoclip_model.py's single-precision one, on the index in gemmi's
asymmetric unit.

    /usr/bin/python3 merging_model.py FILE [SCRIPT] [--shells N]

prints a JSON object {"all": [...], "kept": [...]} of shells with the
program's names.
"""

import bisect
import json
import math
import os
import sys
from fractions import Fraction

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ovoclip_model  # noqa: E402


def read_observations(path):
    """(crystal symmetry, original indices, I, sigma, friedel_law) of the file."""
    from cctbx import crystal, miller  # noqa: F401
    from cctbx.array_family import flex
    with open(path, 'rb') as f:
        magic = f.read(4)
    if magic == b'MTZ ':
        import iotbx.mtz
        m = iotbx.mtz.object(path)
        cs = m.crystals()[0].crystal_symmetry()
        indices = m.extract_original_index_miller_indices()
        i_obs = m.get_column('I').extract_values().as_double()
        s_obs = m.get_column('SIGI').extract_values().as_double()
        return cs, indices, i_obs, s_obs, False
    from iotbx.reflection_file_reader import any_reflection_file
    array = [a for a in any_reflection_file(path).as_miller_arrays(merge_equivalents=False)
             if a.is_xray_intensity_array()][0]
    friedel = True
    with open(path, 'r', errors='replace') as f:
        for line in f:
            if line.startswith('!END_OF_HEADER'):
                break
            if "FRIEDEL'S_LAW=FALSE" in line and not line.startswith('! '):
                friedel = False
    return (array.crystal_symmetry(), array.indices(), array.data().deep_copy(),
            array.sigmas().deep_copy(), friedel)


def read_script(path):
    with open(path) as f:
        lines = f.read().split('\n')

    def numbers(line, width, count):
        return [ovoclip_model.fraction_to_f32(abs(Fraction(line[i * width:(i + 1) * width].strip())),
                                              line[i * width:(i + 1) * width].strip().startswith('-'))
                for i in range(count)]
    cell = numbers(lines[2], 8, 6)
    flat = numbers(lines[3], 12, 9)
    limits = numbers(lines[4], 12, 3)
    low, med, high = ovoclip_model.sort_limits(*limits)
    axes = [flat[0:3], flat[3:6], flat[6:9]]
    return ovoclip_model.Ellipsoid(cell, axes, low, med, high)


SPLITS = 40


def cc_half(asu_array, seeds=SPLITS):
    """CC1/2 of cctbx's random halves (unweighted half means), the mean over
    many draws."""
    from cctbx import miller
    from cctbx.array_family import flex
    a = asu_array.sort('packed_indices')
    total = 0.0
    for seed in range(1, seeds + 1):
        split = miller.split_unmerged(unmerged_indices=a.indices(), unmerged_data=a.data(),
                                      unmerged_sigmas=a.sigmas(), weighted=False, seed=seed)
        total += flex.linear_correlation(split.data_1, split.data_2).coefficient()
    return total / seeds


def cc_anom(acentric, seeds=SPLITS):
    """CC_anom: the correlation of I(+) - I(-) between random halves (each
    mate's observations split at random, unweighted half means), the mean
    over many draws; None with fewer than three reflections."""
    import random
    groups = {}
    for h, i in zip(acentric.indices(), acentric.data()):
        groups.setdefault(tuple(h), []).append(i)
    pairs = []
    for h, values in groups.items():
        mate = tuple(-x for x in h)
        if h < mate and mate in groups and len(values) >= 2 and len(groups[mate]) >= 2:
            pairs.append((values, groups[mate]))
    if len(pairs) < 3:
        return None
    rng = random.Random(7)

    def halves(values):
        v = list(values)
        rng.shuffle(v)
        m = len(v) // 2 + (rng.random() < 0.5 if len(v) % 2 else 0)
        return sum(v[:m]) / m, sum(v[m:]) / (len(v) - m)
    total = 0.0
    for _ in range(seeds):
        xs, ys = [], []
        for plus, minus in pairs:
            p1, p2 = halves(plus)
            m1, m2 = halves(minus)
            xs.append(p1 - m1)
            ys.append(p2 - m2)
        n = len(xs)
        mx, my = sum(xs) / n, sum(ys) / n
        sxy = sum((a - mx) * (b - my) for a, b in zip(xs, ys))
        sxx = sum((a - mx) ** 2 for a in xs)
        syy = sum((b - my) ** 2 for b in ys)
        total += sxy / math.sqrt(sxx * syy)
    return total / seeds


def shell_stats(cs, sub, possible_s2, possible_inside, s2_of, edges, anomalous):
    """The numbers of one set of observations per shell (and overall)."""
    from cctbx import miller
    from cctbx.array_family import flex
    out = []
    n = len(edges) - 1
    shells_of_obs = [bisect.bisect_left(edges, s, 1) - 1 for s in s2_of(sub.indices())]
    for shell in list(range(n)) + ['overall']:
        if shell == 'overall':
            sel = flex.bool(sub.size(), True)
            n_possible = sum(possible_s2)
            n_inside = sum(possible_inside) if possible_inside else None
        else:
            sel = flex.bool([s == shell for s in shells_of_obs])
            n_possible = possible_s2[shell]
            n_inside = possible_inside[shell] if possible_inside else None
        part = sub.select(sel)
        row = {'n_obs': part.size(), 'n_possible': n_possible, 'n_possible_ellipsoid': n_inside}
        if part.size() == 0:
            row.update(n_unique=0)
            out.append(row)
            continue
        plain = part.customized_copy(anomalous_flag=False).map_to_asu()
        merged = plain.merge_equivalents(use_internal_variance=False)
        m = merged.array()
        row['n_unique'] = m.size()
        row['completeness'] = 100.0 * m.size() / n_possible if n_possible else None
        row['multiplicity'] = part.size() / m.size()
        multiple = merged.redundancies().data() > 1
        row['r_merge'] = merged.r_merge() if multiple.count(True) else None
        row['r_meas'] = merged.r_meas() if multiple.count(True) else None
        row['r_pim'] = merged.r_pim() if multiple.count(True) else None
        row['i_over_sigma'] = flex.mean(m.data() / m.sigmas())
        row['cc_half'] = cc_half(plain) if multiple.count(True) >= 3 else None
        if anomalous:
            anom = part.customized_copy(anomalous_flag=True).map_to_asu()
            acentric = anom.select_acentric()
            am = acentric.merge_equivalents(use_internal_variance=False).array()
            both = am.as_non_anomalous_array().merge_equivalents().redundancies().data() == 2
            row['anomalous_both'] = both.count(True)
            row['anomalous_multiplicity'] = acentric.size() / am.size() if am.size() else None
            row['cc_anom'] = cc_anom(acentric)
        out.append(row)
    return out


def model(path, script=None, shells=10):
    import gemmi
    from cctbx import miller
    from cctbx.array_family import flex
    cs, indices, i_obs, s_obs, friedel = read_observations(path)
    uc = cs.unit_cell()
    sg = cs.space_group()
    keep = flex.bool(indices.size(), True)
    for j in range(indices.size()):
        h = indices[j]
        if not (s_obs[j] > 0) or not math.isfinite(s_obs[j]) or not math.isfinite(i_obs[j]) or h == (0, 0, 0) \
                or sg.is_sys_absent(h):
            keep[j] = False
    obs = miller.array(miller.set(cs, indices.select(keep), anomalous_flag=False),
                       data=i_obs.select(keep), sigmas=s_obs.select(keep)).set_observation_type_xray_intensity()
    s2 = uc.d_star_sq(obs.indices())
    lowest, highest = flex.min(s2), flex.max(s2)
    edges = [lowest] + [max(lowest, highest * i / shells) for i in range(1, shells)] + [highest]
    s2_of = uc.d_star_sq

    # The possible reflections, cctbx's enumeration; the ellipsoid test on
    # the index in gemmi's asymmetric unit.
    d_min = 1 / math.sqrt(highest)
    possible = miller.build_set(cs, anomalous_flag=False, d_min=d_min * (1 - 1e-9))
    ellipsoid = read_script(script) if script else None
    gsg = gemmi.find_spacegroup_by_number(sg.type().number())
    gasu = gemmi.ReciprocalAsu(gsg)
    gops = gsg.operations()

    def inside(h):
        a, _ = gasu.to_asu(list(h), gops)
        return ellipsoid.inside(a[0], a[1], a[2])
    poss = [0] * shells
    poss_in = [0] * shells if ellipsoid else None
    poss_acentric = [0] * shells
    centric = possible.centric_flags().data()
    for j, (h, s) in enumerate(zip(possible.indices(), s2_of(possible.indices()))):
        if s < lowest or s > highest:
            continue
        shell = bisect.bisect_left(edges, s, 1) - 1
        poss[shell] += 1
        if not centric[j]:
            poss_acentric[shell] += 1
        if ellipsoid and inside(h):
            poss_in[shell] += 1

    result = {'all': shell_stats(cs, obs, poss, poss_in, s2_of, edges, not friedel), 'edges': edges}
    if ellipsoid:
        kept = obs.select(flex.bool([inside(h) for h in obs.indices()]))
        # The kept data's table ends with their last shell that holds any.
        shell_of = [bisect.bisect_left(edges, s, 1) - 1 for s in s2_of(kept.indices())]
        used = max(shell_of) + 1 if shell_of else 1
        result['kept'] = shell_stats(cs, kept, poss[:used], poss_in[:used], s2_of, edges[:used + 1], not friedel)
        result['possible_acentric_kept'] = poss_acentric[:used] + [sum(poss_acentric[:used])]
    result['possible_acentric'] = poss_acentric + [sum(poss_acentric)]
    return result


def main():
    args = sys.argv[1:]
    shells = 10
    if '--shells' in args:
        at = args.index('--shells')
        shells = int(args[at + 1])
        del args[at:at + 2]
    print(json.dumps(model(args[0], args[1] if len(args) > 1 else None, shells), indent=1))


if __name__ == '__main__':
    main()
