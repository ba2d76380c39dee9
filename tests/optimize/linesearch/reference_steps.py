#!/usr/bin/env python3
"""Independent reference for the bit-exact tests.

Evaluates the safeguarded step and the line search one IEEE double operation
at a time (Python floats never fuse operations) and writes reference_cases.inc:
safeguarded steps taken by searches on random functions and random ones
that meet the routine's entry requirements, with
their results, and the steps of complete searches on functions built from
products and sums only, all as hexadecimal floating-point literals.
NaN handling is left out: cases that would meet a NaN or a division by zero
are skipped.

    python3 reference_steps.py > reference_cases.inc
"""
import math
import random


# Transcribed operation by operation, branch for branch: hence its complexity.
def dcstep(stx, fx, dx, sty, fy, dy, stp, fp, dp, brackt, stpmin, stpmax):  # noqa: C901
    sgnd = dp * (dx / abs(dx))

    def cubic(st1, f1, st2, f2, da, db, clamp):
        theta = 3.0 * (f1 - f2) / (st2 - st1) + da + db
        s = max(abs(theta), abs(da), abs(db))
        rad = (theta / s) * (theta / s) - (da / s) * (db / s)
        if clamp and not rad > 0.0:
            rad = 0.0
        return theta, s * math.sqrt(rad)

    if fp > fx:
        theta, gamma = cubic(stx, fx, stp, fp, dx, dp, False)
        if stp < stx:
            gamma = -gamma
        p = (gamma - dx) + theta
        q = ((gamma - dx) + gamma) + dp
        r = p / q
        stpc = stx + r * (stp - stx)
        stpq = stx + ((dx / ((fx - fp) / (stp - stx) + dx)) / 2.0) * (stp - stx)
        stpf = stpc if abs(stpc - stx) < abs(stpq - stx) else stpc + (stpq - stpc) / 2.0
        brackt = True
    elif sgnd < 0.0:
        theta, gamma = cubic(stx, fx, stp, fp, dx, dp, False)
        if stp > stx:
            gamma = -gamma
        p = (gamma - dp) + theta
        q = ((gamma - dp) + gamma) + dx
        r = p / q
        stpc = stp + r * (stx - stp)
        stpq = stp + (dp / (dp - dx)) * (stx - stp)
        stpf = stpc if abs(stpc - stp) > abs(stpq - stp) else stpq
        brackt = True
    elif abs(dp) < abs(dx):
        theta, gamma = cubic(stx, fx, stp, fp, dx, dp, True)
        if stp > stx:
            gamma = -gamma
        p = (gamma - dp) + theta
        q = (gamma + (dx - dp)) + gamma
        r = p / q
        if r < 0.0 and gamma != 0.0:
            stpc = stp + r * (stx - stp)
        elif stp > stx:
            stpc = stpmax
        else:
            stpc = stpmin
        stpq = stp + (dp / (dp - dx)) * (stx - stp)
        if brackt:
            stpf = stpc if abs(stpc - stp) < abs(stpq - stp) else stpq
            limit = stp + 0.66 * (sty - stp)
            stpf = min(limit, stpf) if stp > stx else max(limit, stpf)
        else:
            stpf = stpc if abs(stpc - stp) > abs(stpq - stp) else stpq
            stpf = max(stpmin, min(stpmax, stpf))
    elif brackt:
        theta, gamma = cubic(stp, fp, sty, fy, dy, dp, False)
        if stp > sty:
            gamma = -gamma
        p = (gamma - dp) + theta
        q = ((gamma - dp) + gamma) + dy
        stpf = stp + (p / q) * (sty - stp)
    else:
        stpf = stpmax if stp > stx else stpmin

    if fp > fx:
        sty, fy, dy = stp, fp, dp
    else:
        if sgnd < 0.0:
            sty, fy, dy = stx, fx, dx
        stx, fx, dx = stp, fp, dp
    return stx, fx, dx, sty, fy, dy, stpf, brackt


# Follows the routine's states one by one: hence its complexity.
def search(phi, stp, ftol, gtol, xtol, stpmin, stpmax, step_calls=None):  # noqa: C901
    """The steps at which the search asks for an evaluation. The arguments of
    every safeguarded step it takes are appended to step_calls."""

    def step(*args):
        # dcstep's arguments, in its order.
        if step_calls is not None:
            step_calls.append(list(args))
        return dcstep(*args)

    f, g = phi(0.0)
    finit, ginit = f, g
    gtest = ftol * ginit
    width = stpmax - stpmin
    width1 = width / 0.5
    stx, fx, gx = 0.0, finit, ginit
    sty, fy, gy = 0.0, finit, ginit
    stmin, stmax = 0.0, stp + 4.0 * stp
    brackt, stage = False, 1
    steps = []
    while True:
        steps.append(stp)
        f, g = phi(stp)
        ftest = finit + stp * gtest
        if stage == 1 and f <= ftest and g >= 0.0:
            stage = 2
        stop = (
            (brackt and (stp <= stmin or stp >= stmax))
            or (brackt and stmax - stmin <= xtol * stmax)
            or (stp == stpmax and f <= ftest and g <= gtest)
            or (stp == stpmin and (f > ftest or g >= gtest))
            or (f <= ftest and abs(g) <= gtol * (-ginit))
        )
        if stop:
            return steps
        if stage == 1 and f <= fx and f > ftest:
            fm, fxm, fym = f - stp * gtest, fx - stx * gtest, fy - sty * gtest
            gm, gxm, gym = g - gtest, gx - gtest, gy - gtest
            stx, fxm, gxm, sty, fym, gym, stp, brackt = step(
                stx, fxm, gxm, sty, fym, gym, stp, fm, gm, brackt, stmin, stmax
            )
            fx, fy = fxm + stx * gtest, fym + sty * gtest
            gx, gy = gxm + gtest, gym + gtest
        else:
            stx, fx, gx, sty, fy, gy, stp, brackt = step(
                stx, fx, gx, sty, fy, gy, stp, f, g, brackt, stmin, stmax
            )
        if brackt:
            if abs(sty - stx) >= 0.66 * width1:
                stp = stx + 0.5 * (sty - stx)
            width1 = width
            width = abs(sty - stx)
        if brackt:
            stmin, stmax = min(stx, sty), max(stx, sty)
        else:
            stmin = stp + 1.1 * (stp - stx)
            stmax = stp + 4.0 * (stp - stx)
        stp = max(stp, stpmin)
        stp = min(stp, stpmax)
        if brackt and (stp <= stmin or stp >= stmax or stmax - stmin <= xtol * stmax):
            stp = stx


def polynomial(roots_shift, scale):
    """phi(s) = scale * (s + a)^5 - 2 scale (s + a)^4, minimiser near 1.6 - a."""

    def phi(s):
        t = s + roots_shift
        t2 = t * t
        t3 = t2 * t
        t4 = t3 * t
        return scale * (t4 * t) - 2.0 * scale * t4, 5.0 * scale * t4 - 8.0 * scale * t3

    return phi


def rational(beta):
    """phi(s) = -s / (s^2 + beta)."""

    def phi(s):
        d = s * s + beta
        return -s / d, (s * s - beta) / (d * d)

    return phi


def quartic_well(c):
    """phi(s) = (s - c)^4 - c^3 s: flat near its minimiser."""

    def phi(s):
        u = s - c
        return u * u * u * u - c * c * c * s, 4.0 * u * u * u - c * c * c

    return phi


def random_step(rng):
    stx = rng.uniform(-3, 3)
    stp = stx + rng.choice([-1, 1]) * 10 ** rng.uniform(-4, 1)
    dx = -math.copysign(10 ** rng.uniform(-3, 2), stp - stx)
    fx = rng.uniform(-5, 5)
    fp = fx + rng.uniform(-3, 3) * rng.choice([1, 1e-3])
    dp = rng.uniform(-1, 1) * 10 ** rng.uniform(-3, 2)
    brackt = rng.random() < 0.5
    # When bracketed, stp lies strictly between stx and sty.
    sty = stp + (stp - stx) * rng.uniform(0.1, 3) if brackt else rng.uniform(-5, 5)
    fy = rng.uniform(-5, 5)
    dy = rng.uniform(-50, 50)
    stpmin = min(stx, stp) - rng.uniform(0, 5)
    stpmax = max(stx, stp) + rng.uniform(0, 5)
    return [stx, fx, dx, sty, fy, dy, stp, fp, dp, brackt, stpmin, stpmax]


FUNCTIONS = {
    "polynomial": lambda a, b: polynomial(a, b),
    "rational": lambda a, b: rational(a),
    "quartic_well": lambda a, b: quartic_well(a),
}

SEARCHES = [
    # name, function, its parameters, stp, ftol, gtol, xtol, stpmin, stpmax
    ("quintic", "polynomial", (0.004, 1.0), 1e-3, 1e-3, 0.1, 0.1, 0.0, 1e10),
    ("quintic_loose", "polynomial", (0.004, 1.0), 1e-3, 0.1, 0.1, 1e-10, 0.0, 1e10),
    ("quintic_far_start", "polynomial", (0.004, 1.0), 10.0, 1e-3, 1e-3, 1e-10, 0.0, 1e10),
    ("quintic_scaled", "polynomial", (0.25, 3.0), 0.5, 0.25, 0.01, 1e-12, 0.0, 20.0),
    ("rational_short", "rational", (2.0, 0.0), 1e-3, 1e-3, 0.1, 0.1, 0.0, 1e10),
    ("rational_long", "rational", (2.0, 0.0), 10.0, 1e-3, 0.1, 0.1, 0.0, 1e10),
    ("rational_tight", "rational", (0.01, 0.0), 1.0, 0.1, 1e-4, 1e-14, 0.0, 1e3),
    ("quartic_well", "quartic_well", (2.0, 0.0), 1.0, 1e-4, 1e-6, 1e-14, 0.0, 1e3),
    ("quartic_well_bounded", "quartic_well", (2.0, 0.0), 0.1, 1e-4, 1e-6, 1e-14, 0.05, 1.5),
    # These take the step on the modified function of the first stage.
    ("rational_modified", "rational", (0.044, 0.0), 9.6, 0.25, 0.5, 1e-10, 0.0, 1e3),
    ("rational_modified_far", "rational", (1.0, 0.0), 8.3, 0.45, 1e-3, 0.1, 0.0, 1e3),
    ("quartic_well_modified", "quartic_well", (1.94, 0.0), 0.0016, 0.45, 0.1, 1e-10, 0.0, 1e3),
]


def random_search_steps(rng, count):
    """Arguments of the safeguarded steps that searches on random functions take."""
    calls = []
    while len(calls) < count:
        kind = rng.choice(sorted(FUNCTIONS))
        a = rng.uniform(0.001, 0.5) if kind == "polynomial" else rng.uniform(0.01, 3)
        phi = FUNCTIONS[kind](a, rng.uniform(0.5, 3))
        if not phi(0.0)[1] < 0.0:
            continue
        found = []
        try:
            search(
                phi,
                10 ** rng.uniform(-3, 1),
                rng.choice([1e-3, 0.1, 0.25, 0.45]),
                rng.choice([1e-3, 0.1, 0.5, 0.9]),
                rng.choice([1e-10, 0.1]),
                0.0,
                1e3,
                found,
            )
        except (ZeroDivisionError, ValueError):
            continue
        calls.extend(found)
    return calls[:count]


def hexes(values):
    return ", ".join(v.hex() for v in values)


if __name__ == "__main__":
    rng = random.Random(20261209)
    print("// Generated by reference_steps.py: do not edit.")
    print("#define REFERENCE_STEP_CASES \\")
    written = 0
    harvested = random_search_steps(rng, 200)
    while written < 400:
        case = harvested.pop() if harvested else random_step(rng)
        try:
            out = dcstep(*case)
        except (ZeroDivisionError, ValueError):
            continue
        if any(math.isnan(v) or math.isinf(v) for v in out[:7]):
            continue
        stx, fx, dx, sty, fy, dy, stp, fp, dp, brackt, stpmin, stpmax = case
        ins = [stx, fx, dx, sty, fy, dy, stp, fp, dp, stpmin, stpmax]
        print("  {{%s}, %d, {%s}, %d}, \\" % (hexes(ins), int(brackt), hexes(out[:7]), int(out[7])))
        written += 1
    print()
    print("#define REFERENCE_SEARCHES \\")
    for name, kind, params, stp, ftol, gtol, xtol, stpmin, stpmax in SEARCHES:
        steps = search(FUNCTIONS[kind](*params), stp, ftol, gtol, xtol, stpmin, stpmax)
        print(
            '  {"%s", TestFunction::%s, {%s}, {%s}, {%s}}, \\'
            % (
                name,
                kind,
                hexes(params),
                hexes([stp, ftol, gtol, xtol, stpmin, stpmax]),
                hexes(steps),
            )
        )
    print()
