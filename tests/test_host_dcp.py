"""Curvature and sign of expressions built from the functions, against
CVXPY's for the same expression; every composition that is not convex is
refused where it is used, with a message naming the subexpression and the
rule, before anything is added to the model."""
import re

import numpy as np
import pytest

cp = pytest.importorskip("cvxpy")

import fragments_host as fh  # noqa: E402

E = np.ones(3)


class CP:
    def __getattr__(self, name):
        return getattr(cp, {"entropy": "entr"}.get(name, name))


def operands(F):
    """x free, y >= 0 (nonneg), z <= 0, p a parameter >= 0, q a parameter <= 0."""
    if F is fh:
        m = fh.Model()
        return dict(x=m.variable(3, "x"), y=m.variable(3, "y", nonneg=True), z=m.variable(3, "z", ub=0.0),
                    p=m.parameter(name="p", nonneg=True), q=m.parameter(name="q", nonpos=True),
                    r=m.parameter(name="r"), X=m.variable((3, 3), "X"), model=m)
    return dict(x=cp.Variable(3), y=cp.Variable(3, nonneg=True), z=cp.Variable(3, nonpos=True),
                p=cp.Parameter(nonneg=True), q=cp.Parameter(nonpos=True), r=cp.Parameter(),
                X=cp.Variable((3, 3)))


EXPRESSIONS = [
    lambda F, o: F.square(F.pos(o["x"])),                 # increasing where the argument is nonnegative
    lambda F, o: F.square(F.sqrt(o["y"])),                # increasing in a concave argument: unknown
    lambda F, o: F.abs(F.log(o["y"])),                    # no known sign: unknown
    lambda F, o: F.abs(-F.exp(o["x"])),                   # nonpositive argument: decreasing in a concave one
    lambda F, o: F.sqrt(F.minimum(o["y"], 1.0)),
    lambda F, o: -F.log(o["y"]),
    lambda F, o: F.inv_pos(F.sqrt(o["y"])),
    lambda F, o: F.exp(F.norm(o["x"])),
    lambda F, o: F.log(F.exp(o["x"])),
    lambda F, o: F.log_sum_exp(F.abs(o["x"])),
    lambda F, o: o["p"] * F.norm(o["x"]),
    lambda F, o: o["q"] * F.norm(o["x"]),
    lambda F, o: o["r"] * F.norm(o["x"]),
    lambda F, o: F.sum(F.abs(o["x"])) - F.sum(F.sqrt(o["y"])),
    lambda F, o: F.norm(o["x"]) - F.norm(o["y"]),
    lambda F, o: F.huber(F.pos(o["x"])),
    lambda F, o: F.huber(F.abs(o["x"]) - 1.0),            # a convex argument of no known sign: unknown
    lambda F, o: F.huber(-F.abs(o["x"])),                 # nonpositive: decreasing in a concave one
    lambda F, o: F.power(o["y"], 0.5),
    lambda F, o: F.power(o["x"], 4),
    lambda F, o: F.power(F.abs(o["x"]), 3),
    lambda F, o: F.power(o["y"], -2),
    lambda F, o: F.cumsum(F.abs(o["x"])),
    lambda F, o: F.diff(F.abs(o["x"])),
    lambda F, o: E @ F.abs(o["x"]),
    lambda F, o: -E @ F.abs(o["x"]),
    lambda F, o: F.maximum(o["y"], o["x"]),
    lambda F, o: F.maximum(o["z"], -1.0),
    lambda F, o: F.minimum(o["z"], o["x"]),
    lambda F, o: F.max(o["z"]),
    lambda F, o: F.min(F.abs(o["x"])),
    lambda F, o: F.neg(F.exp(o["x"])),
    lambda F, o: F.pos(F.log(o["y"])),
    lambda F, o: F.quad_over_lin(o["x"], F.sqrt(o["y"][0])),
    lambda F, o: F.quad_over_lin(o["x"], F.exp(o["y"][0])),
    lambda F, o: F.entropy(o["y"]) + F.log(o["y"]),
    lambda F, o: F.entropy(F.sqrt(o["y"])),               # not monotone: a concave argument gives unknown
    lambda F, o: F.rel_entr(o["y"], F.sqrt(o["y"])),
    lambda F, o: F.geo_mean(F.sqrt(o["y"])),
    lambda F, o: F.norm(F.abs(o["X"]), 1, axis=0),
    lambda F, o: F.lambda_max(o["X"] + o["X"].T),
    lambda F, o: F.trace(F.abs(o["X"])),
    lambda F, o: F.diag(F.exp(o["x"])),
    lambda F, o: F.sum_squares(F.pos(o["x"])) + 2 * F.square(o["x"][0]),
    lambda F, o: F.sum(F.exp(o["X"]), axis=0)[1:],
    lambda F, o: F.abs(o["y"]) / -2.0,
    # affine expressions keep their operands' signs through picks, sums and factors of one sign
    lambda F, o: o["y"][0], lambda F, o: o["z"][1:], lambda F, o: o["y"][[0, 2]], lambda F, o: -o["y"][0] * 2.0,
    lambda F, o: o["y"][0] + o["y"][1] + 1.0, lambda F, o: o["y"][0] - o["z"][1], lambda F, o: o["y"][0] - 1.0,
    lambda F, o: o["y"] + o["x"], lambda F, o: F.sum(o["y"]) - F.sum(o["z"]), lambda F, o: o["X"][0, 0] + o["y"][0],
    lambda F, o: F.reshape(o["y"], (3, 1), order="C").T if F is not fh else o["y"].reshape((3, 1)).T,
    lambda F, o: F.hstack([o["y"], 2.0 * o["y"]]), lambda F, o: F.multiply(o["z"], np.array([1.0, 2.0, 0.5]))
    if F is not fh else o["z"] * np.array([1.0, 2.0, 0.5]),
    lambda F, o: F.xexp(o["y"][1]), lambda F, o: F.xexp(o["y"][1] - o["z"][0]),
]


@pytest.mark.parametrize("k", range(len(EXPRESSIONS)))
def test_curvature_and_sign_as_cvxpy_gives_them(k):
    mine, theirs = EXPRESSIONS[k](fh, operands(fh)), EXPRESSIONS[k](CP(), operands(cp))
    assert (mine.curvature, mine.sign) == (theirs.curvature.lower(), theirs.sign.lower().replace("zero",
                                                                                                   "nonnegative"))
    assert mine.is_convex() == theirs.is_convex() and mine.is_concave() == theirs.is_concave()


def test_signs_of_operands():
    o = operands(fh)
    assert [o[k].sign for k in "xyzpqr"] == ["unknown", "nonnegative", "nonpositive", "nonnegative",
                                             "nonpositive", "unknown"]
    assert o["x"].curvature == "affine" and (o["p"] + 1.0).curvature == "constant"


# variable domains and the sign they give: a sparse bound leaves its unlisted
# elements unbounded, whatever the listed values
DOMAINS = [(dict(lb=0.5), "nonnegative"), (dict(lb=[0.0, 1.0, 2.0], ub=3.0), "nonnegative"),
           (dict(ub=-1.0), "nonpositive"), (dict(lb=-1.0, ub=2.0), "unknown"),
           (dict(lb=[0.0, -np.inf, 1.0]), "unknown"), (dict(lb=([[0], [2]], [0.0, 1.0])), "unknown"),
           (dict(lb=([[0], [1], [2]], [0.0, 1.0, 2.0])), "unknown"), (dict(ub=([[1]], [-1.0])), "unknown")]


@pytest.mark.parametrize("bounds, sign", DOMAINS, ids=[f"{sorted(b)}-{i}" for i, (b, _) in enumerate(DOMAINS)])
def test_signs_of_variable_domains(bounds, sign):
    m = fh.Model()
    v = m.variable(3, "v", **bounds)
    assert v.sign == sign
    # square is increasing in a nonnegative argument only: square(max(v)) is
    # accepted in a minimisation exactly when v is known nonnegative
    e = fh.square(fh.max(v))
    assert (e.sign, e.is_convex()) == ("nonnegative", sign == "nonnegative")
    if sign != "nonnegative":
        with pytest.raises(fh.ModelError, match="square"):
            m.minimize(e)


# statements refused, with words of the message: the offending subexpression and the rule
REFUSED = [
    (lambda m, o: m.minimize(fh.sum(fh.sqrt(o["y"]))),
     re.escape("minimize takes a convex objective; sum(sqrt(y)) is concave")),
    (lambda m, o: m.maximize(fh.max(o["x"])), "maximize takes a concave objective"),
    (lambda m, o: m.minimize(fh.sqrt(fh.sum_squares(o["x"]))),
     re.escape("in sqrt(sum_squares(x)): sqrt is concave and increasing in its argument, which must be concave")),
    (lambda m, o: m.minimize(fh.sum(fh.abs(fh.log(o["y"])))), r"abs is convex and neither .* \(or of a known sign\)"),
    (lambda m, o: m.minimize(fh.norm(o["x"]) - fh.norm(o["y"])), "neither convex nor concave"),
    (lambda m, o: m.minimize(o["r"] * fh.norm(o["x"])), "parameter r has no declared sign"),
    (lambda m, o: m.minimize((fh.exp(o["x"]) * np.array([1.0, -1.0, 1.0])).sum()), "both signs"),
    (lambda m, o: m.minimize(fh.sum(fh.diff(fh.abs(o["x"])))), "diff is neither increasing nor decreasing"),
    (lambda m, o: m.minimize(fh.quad_form(fh.exp(o["x"]), np.eye(3))), "quad_form is convex and neither"),
    (lambda m, o: m.minimize(fh.lambda_max(fh.abs(o["X"]))), "lambda_max is convex and neither"),
    (lambda m, o: m.add(fh.norm(o["x"]) >= 1.0), "greater side .* concave or affine; norm"),
    (lambda m, o: m.add(fh.log(o["y"]) <= 0.0), "smaller side .* convex or affine; log"),
    (lambda m, o: m.add(fh.sqrt(o["y"][0]) <= fh.norm(o["x"])), "smaller side"),
    (lambda m, o: m.add(fh.norm(o["x"]) == 1.0), "== takes affine sides; norm"),
    (lambda m, o: m.add(fh.exp(o["x"]) << o["X"]), "semidefinite constraint takes affine sides"),
    (lambda m, o: o["x"] * fh.norm(o["x"]), "product of two expressions"),
    (lambda m, o: fh.norm(o["x"]) * fh.norm(o["y"]), "product of two expressions"),
    (lambda m, o: fh.norm(o["x"]) / o["p"], "not affine in the parameters"),
    (lambda m, o: fh.soc(o["x"][0], fh.abs(o["x"])), "affine operands"),
    (lambda m, o: m.add(fh.norm(o["x"]) <= o["y"][0] <= 2.0), "chained comparison"),
    (lambda m, o: m.minimize(fh.abs(o["x"])), "scalar"),
    (lambda m, o: fh.norm(o["X"]), "axis=0"),
    (lambda m, o: m.add(fh.norm(fh.Model("other").variable(2)) <= 1.0), "another model"),
]


@pytest.mark.parametrize("state, match", REFUSED)
def test_refused_where_used_with_the_offending_subexpression(state, match):
    o = operands(fh)
    m = o.pop("model")
    n = m.nvars
    with pytest.raises((fh.ModelError, fh.ShapeError), match=match):
        state(m, o)
    assert m.constraints == () and m.objective is None and m.nvars == n


def test_refused_arguments():
    o = operands(fh)
    for call, error in [(lambda: fh.norm(o["x"], 0.5), ValueError), (lambda: fh.geo_mean(o["y"], [1, -1, 1]), ValueError),
                        (lambda: fh.huber(o["x"], -1), ValueError), (lambda: fh.maximum(o["x"]), TypeError),
                        (lambda: fh.quad_over_lin(o["x"], o["y"]), fh.ShapeError),
                        (lambda: fh.maximum(o["x"], o["X"][:, :2]), fh.ShapeError),
                        (lambda: fh.lambda_max(o["x"]), fh.ShapeError), (lambda: fh.power(o["x"], o["p"]), fh.ModelError),
                        (lambda: fh.diff(o["x"], 3), ValueError)]:
        with pytest.raises(error):
            call()
