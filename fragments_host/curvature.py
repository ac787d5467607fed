"""Curvature and sign of expressions, and the composition rules of
disciplined convex programming that combine them.

Curvature is one of "constant", "affine", "convex", "concave", "unknown";
sign one of "nonnegative", "nonpositive", "unknown" (a zero is
nonnegative). Monotonicity of a function in one argument is "increasing",
"decreasing", "none", or "signed": increasing where the argument is
nonnegative, decreasing where it is nonpositive, neither otherwise (abs,
square, the norms). Only names are computed here: no model data."""
from __future__ import annotations

NONNEG, NONPOS, UNKNOWN = "nonnegative", "nonpositive", "unknown"
CONSTANT, AFFINE, CONVEX, CONCAVE = "constant", "affine", "convex", "concave"


def is_convex(c):
    return c in (CONSTANT, AFFINE, CONVEX)


def is_concave(c):
    return c in (CONSTANT, AFFINE, CONCAVE)


def flip(c):
    """Curvature of minus an expression."""
    return {CONVEX: CONCAVE, CONCAVE: CONVEX}.get(c, c)


def flip_sign(s):
    return {NONNEG: NONPOS, NONPOS: NONNEG}.get(s, s)


def add(curvatures):
    """Curvature of a sum."""
    cs = set(curvatures)
    if UNKNOWN in cs or (CONVEX in cs and CONCAVE in cs):
        return UNKNOWN
    for c in (CONVEX, CONCAVE, AFFINE):
        if c in cs:
            return c
    return CONSTANT


def add_signs(signs):
    s = set(signs)
    return s.pop() if len(s) == 1 else UNKNOWN


def times(sign, c):
    """Curvature of a constant of the given sign times an expression of
    curvature c (None for a product that has no known curvature)."""
    if c in (CONSTANT, AFFINE):
        return c
    if sign == NONNEG:
        return c
    if sign == NONPOS:
        return flip(c)
    return UNKNOWN


def times_sign(a, b):
    if UNKNOWN in (a, b):
        return UNKNOWN
    return NONNEG if a == b else NONPOS


def resolve(mono, arg_sign):
    """The monotonicity of a function in an argument of the given sign."""
    if mono != "signed":
        return mono
    return {NONNEG: "increasing", NONPOS: "decreasing"}.get(arg_sign, "none")


def compose(fname, fcurv, args, where=None):
    """Curvature of a function of curvature `fcurv` ("convex", "concave" or
    "affine") applied to `args`, a list of (argument, its monotonicity
    resolved); with the reason when the composition has no known curvature.

    A convex function stays convex of an affine argument, of a convex
    argument where it is increasing in it and of a concave one where it is
    decreasing; a concave function the other way round; an affine map
    carries its argument's curvature (flipped where it decreases)."""
    if fcurv == AFFINE:
        out = []
        for a, mono in args:
            c = a.curvature
            if c in (CONSTANT, AFFINE):
                out.append(c)
            elif mono == "increasing":
                out.append(c)
            elif mono == "decreasing":
                out.append(flip(c))
            else:
                return UNKNOWN, (f"in {where or fname}: {fname} is neither increasing nor decreasing in its "
                                 f"argument, which must then be affine; {a!r} is {c}")
        return add(out), None
    for a, mono in args:
        if getattr(a, "is_affine", False):
            # constant or affine: either keeps the function's curvature
            # (told apart without computing the argument's terms)
            continue
        c = a.curvature
        if c in (CONSTANT, AFFINE):
            continue
        need = {("increasing", CONVEX): CONVEX, ("decreasing", CONVEX): CONCAVE,
                ("increasing", CONCAVE): CONCAVE, ("decreasing", CONCAVE): CONVEX}.get((mono, fcurv))
        if c != need:
            if need is None:
                rule = f"{fname} is {fcurv} and neither increasing nor decreasing in its argument, which must be affine"
            else:
                rule = f"{fname} is {fcurv} and {mono} in its argument, which must be {need} or affine"
            if a.sign == UNKNOWN and mono == "none" and fname in SIGN_HELPS:
                rule += " (or of a known sign)"
            return UNKNOWN, f"in {where or fname}: {rule}; {a!r} is {c}"
    return fcurv, None


# functions whose monotonicity follows the sign of their argument
SIGN_HELPS = ("abs", "square", "sum_squares", "norm", "huber", "power", "quad_over_lin")
