"""Scalar expressions stated element by element, as compact term lists.

A model written the way JuMP, Pyomo or PyOptInterface models are written
states each row from scalar elements of its variables (`y[i, j]`), numbers
and `+ - *`. Run through the stacks, every such operation would be its own
chain of kernel calls on fresh stacks. Here an element of a variable is a
`Terms`: the variables of its terms (solver columns + 1), their
coefficients and a constant, as Python lists; `+`, `-`, and products and
quotients by numbers join and scale the lists, and a comparison of two of
them is a `TermRow`, one scalar row. Nothing runs until the build, which
lays out every run of consecutive rows of one kind at once: their term
lists concatenated into one block (row pointer, variables, coefficients)
and their constants into one vector, handed to the same split and scatter
passes as any other block.

A `Terms` is an affine expression like any other: wherever it meets
something that is not a number or another `Terms` (a vector, a function,
a cone, a parameter), its blocks are laid out from its lists and the
general operations take over."""
from __future__ import annotations

import bisect
import itertools
import operator

import numpy as np

from . import constraints, data, deferred, expressions
from .constraints import Constraint
from .expressions import Affine, _NUMBERS, same_model
from .stacks import Expr, F64, I32, I64


def _terms(model, v, c, k):
    t = Terms()
    t._model = model
    t.v = v
    t.c = c
    t.k = k
    return t


def _number(x, t):
    """A number beside a term list, checked as every constant is."""
    x = float(x)
    if x - x != 0.0:
        data.number(x, ("a constant operand beside {}", t))
    return x


class Terms(Affine):
    """A scalar affine expression: sum of c[i] * variable v[i], plus k."""

    __slots__ = ("v", "c", "k")

    # made bare and filled in by the operations (Terms() runs no __init__:
    # the cheapest way CPython makes an object of a class)
    __init__ = object.__init__

    # an expression of shape (), its blocks laid out from its lists on first
    # use; all term lists are alike (one row each): in a run of alike
    # constraints (deferred.py) the members' lists are laid out as one block
    _shape = ()
    _op = "terms"
    _args = None
    _key = ("terms",)
    _depth = 0
    _ex = None
    _nm = None            # a name given to it (set rarely: kept in the instance's dict)

    @property
    def _e(self):
        ex = self._ex
        if ex is None:
            ex = self._ex = _block(self._model, [self], ())
        return ex

    @property
    def name(self):
        n = self._nm
        if type(n) is tuple:
            n = self._nm = n[0](*n[1:])
        return n or _spelled(self)

    @name.setter
    def name(self, value):
        self._nm = value

    # the noted name, as operations that spread or join a term list read it
    # (the lists and the state noted, not the term list itself: a noted name
    # holds only what it is written from)
    _name = property(lambda self: self._nm or (_written, self.v, self.c, self.k, self._model),
                     lambda self, v: setattr(self, "_nm", v))

    def __repr__(self):
        return self.name

    @property
    def sign(self):
        """The sign of the sum of its terms, each variable's by its domain
        (as a pick of the variable has it), and of its constant."""
        model, out = self._model, None
        for v, c in zip(self.v, self.c):
            s = expressions._scaled_sign(_column_sign(model, v), c)
            if s == "unknown" or (out is not None and s != out):
                # a term of unknown sign, or two of different signs
                return "unknown"
            out = s
        if self.k:
            s = "nonnegative" if self.k > 0 else "nonpositive"
            if out is not None and s != out:
                return "unknown"
            out = s
        return out or "nonnegative"

    # -- arithmetic on term lists; anything else through the general operations
    def __add__(self, o):
        t = type(o)
        if t is Terms:
            if o._model is not self._model:
                same_model(self._model, o)
            if type(self) is Terms and len(self.v) + len(o.v) <= LONG:
                r = Terms()
                r._model = self._model
                r.v = self.v + o.v
                r.c = self.c + o.c
                r.k = self.k + o.k
                return r
            return _joined(self, o, 1.0)
        if t is TermSum:
            if o._model is not self._model:
                same_model(self._model, o)
            return _joined(self, o, 1.0)
        if t in _NUMBERS:
            return _shifted(self, _number(o, self))
        return Affine.__add__(self, o)

    def __radd__(self, o):
        if type(o) in _NUMBERS:
            return _shifted(self, _number(o, self))
        return Affine.__radd__(self, o)

    def __sub__(self, o):
        t = type(o)
        if t is Terms:
            if o._model is not self._model:
                same_model(self._model, o)
            if type(self) is Terms and len(self.v) + len(o.v) <= LONG:
                oc = o.c
                r = Terms()
                r._model, r.v, r.k = self._model, self.v + o.v, self.k - o.k
                r.c = self.c + ((-oc[0],) if len(oc) == 1 else tuple([-w for w in oc]))
                return r
            return _joined(self, o, -1.0)
        if t is TermSum:
            if o._model is not self._model:
                same_model(self._model, o)
            return _joined(self, o, -1.0)
        if t in _NUMBERS:
            return _shifted(self, -_number(o, self))
        return Affine.__sub__(self, o)

    def __rsub__(self, o):
        if type(o) in _NUMBERS:
            return _terms(self._model, self.v, tuple([-w for w in self.c]), _number(o, self) - self.k)
        return Affine.__rsub__(self, o)

    def __neg__(self):
        return _terms(self._model, self.v, tuple([-w for w in self.c]), -self.k)

    def __mul__(self, o):
        if type(o) in _NUMBERS:
            d = float(o)
            if d - d != 0.0:
                data.number(d, ("the factor of {}", self))
            c = self.c
            r = Terms()
            r._model = self._model
            r.v = self.v
            r.c = (d * c[0],) if len(c) == 1 else tuple([d * w for w in c])
            r.k = d * self.k
            return r
        return Affine.__mul__(self, o)

    __rmul__ = __mul__

    def __truediv__(self, o):
        if type(o) in _NUMBERS:
            d = _number(o, self)
            if d == 0.0:
                raise ZeroDivisionError(f"{self!r} divided by zero")
            return self * (1.0 / d)
        return Affine.__truediv__(self, o)

    # -- comparisons of term lists are scalar rows
    def _row(self, o, kind, flip):
        """The row of a comparison with a term list or a number: the
        difference of the sides (the greater side first), or None."""
        t = type(o)
        r = TermRow()
        if t is Terms or t is TermSum:
            if o._model is not self._model:
                same_model(self._model, o)
            a, b = (o, self) if flip else (self, o)
            bc = b.c
            r.v, r.c, r.k = a.v + b.v, a.c + ((-bc[0],) if len(bc) == 1 else tuple([-w for w in bc])), a.k - b.k
        elif t in _NUMBERS:
            x = _number(o, self)
            if flip:
                r.v, r.c, r.k = self.v, tuple([-w for w in self.c]), x - self.k
            else:
                r.v, r.c, r.k = self.v, self.c, self.k - x
        else:
            return None
        # _block: the model's run of rows that holds it, once added
        r.kind = kind
        r._model = self._model
        r._mref = r._block = None
        return r

    def __le__(self, o):
        r = self._row(o, "nonneg", True)
        return Affine.__le__(self, o) if r is None else r

    def __ge__(self, o):
        r = self._row(o, "nonneg", False)
        return Affine.__ge__(self, o) if r is None else r

    def __eq__(self, o):
        r = self._row(o, "zero", False)
        return Affine.__eq__(self, o) if r is None else r

    __hash__ = object.__hash__


# a sum of more terms than this is kept as its two operands until its lists
# are read, so that a sum accumulated term by term is not copied at every +
LONG = 64


class TermSum(Terms):
    """A long sum of term lists kept as the lists of its parts until its own
    are first read: parts appended to a buffer that the sums accumulated one
    from another share (a sum uses its first `_n` parts; a sum that is not
    the buffer's last copies its parts before appending), so that a sum
    accumulated term by term is not copied at every + and leaves no chain
    of objects behind for the cycle collector."""

    __slots__ = ("_bv", "_bc", "_n", "_m")

    def __getattr__(self, name):
        # the lists, missing until first read
        if (name == "v" or name == "c") and self._bv is not None:
            _flatten(self)
            return getattr(self, name)
        raise AttributeError(f"'TermSum' object has no attribute {name!r}")


def _shifted(t, x):
    """t + x for a number x: the same terms (a long sum's parts, when they
    are not joined yet), another constant."""
    if type(t) is TermSum and t._bv is not None:
        r = TermSum()
        r._model, r.k, r._bv, r._bc, r._n, r._m = t._model, t.k + x, t._bv, t._bc, t._n, t._m
        return r
    return _terms(t._model, t.v, t.c, t.k + x)


def _count(t):
    return t._m if type(t) is TermSum and t._bv is not None else len(t.v)


def _joined(a, b, sign):
    """a + sign * b as a long sum (the constant summed at once)."""
    m = _count(a) + _count(b)
    bc = b.c if sign == 1.0 else tuple([-w for w in b.c])
    if type(a) is TermSum and a._bv is not None:
        if a._n == len(a._bv):
            pv, pc = a._bv, a._bc          # the buffer's last sum: appended in place
        else:
            pv, pc = a._bv[:a._n], a._bc[:a._n]
    else:
        pv, pc = [a.v], [a.c]
    pv.append(b.v)
    pc.append(bc)
    r = TermSum()
    r._model = a._model
    r.k = a.k + sign * b.k
    r._bv = pv
    r._bc = pc
    r._n = len(pv)
    r._m = m
    return r


def _flatten(t):
    """The lists of a long sum: its parts' lists joined in order."""
    n = t._n
    pv, pc = t._bv, t._bc
    if n != len(pv):
        pv, pc = pv[:n], pc[:n]
    t.v = tuple(itertools.chain.from_iterable(pv))
    t.c = tuple(itertools.chain.from_iterable(pc))
    t._bv = t._bc = None


class _Member:
    """A row or cone of term lists: its dual (`dual`, set on this class by
    solution.py) from the model's run that holds it, or, when a function's
    reduction made it (in no run), as any constraint's."""

    __slots__ = ()

    @property
    def name(self):
        """The name given to it, else one spelled from its terms."""
        return self._nm or self._spelled_name()

    @name.setter
    def name(self, value):
        self._nm = value


class TermRow(_Member, Constraint):
    """One scalar row in the zero cone (==) or the nonnegative cone (<=,
    >=): the difference of the two sides (the greater first) as a term
    list, held as its tuples, which the cycle collector stops tracking, so
    that a model of many rows costs it one object a row."""

    __slots__ = ("kind", "v", "c", "k", "_model", "_mref", "_block", "_index")
    __init__ = object.__init__      # made bare, as a term list

    dual_shape = ()
    _nm = None

    @property
    def cones(self):
        return [(self.kind, 1)]

    @property
    def expr(self):
        """The row as a term list."""
        return _terms(self._model, self.v, self.c, self.k)

    def _spelled_name(self):
        return f"{_spelled(self)} {'==' if self.kind == 'zero' else '>='} 0"


def _block(model, items, shape=None):
    """The blocks of term lists, one row each, each row's constant as a term
    of variable 0 in front of its own (a row of no terms and no constant
    stays empty)."""
    return _constant_block(model, list(map(operator.attrgetter("v"), items)),
                           list(map(operator.attrgetter("c"), items)), list(map(operator.attrgetter("k"), items)),
                           shape)


def _constant_block(model, vs, cs, ks, shape=None):
    """Rows of (variables, coefficients, constant), the constants laid out
    as terms of variable 0."""
    marks = [1 if k != 0.0 else 0 for k in ks]
    e = _lists_block(model, [(0,) * f + v for f, v in zip(marks, vs)],
                     [(k,) * f + c for f, k, c in zip(marks, ks, cs)], shape)
    # positive indices, no programs, and no constant terms when no row has one
    e.clean = not any(marks)
    return e


def _rows(state, vs, cs, ks):
    """Rows of (variables, coefficients, constant) as the build routes
    them: one block of their terms, and their constants apart."""
    return [(_lists_block(state, vs, cs), (np.asarray(ks, F64), 1.0))]


def _lists_block(model, vs, cs, shape=None):
    """One row per pair of tuples (variables, coefficients): their variables
    and coefficients concatenated, the row pointer from their lengths. The
    tuples are read by numpy's converters; nothing is copied term by term
    in Python."""
    n = len(vs)
    lens = np.fromiter(map(len, vs), I32, count=n)
    ptr = np.zeros(n + 1, I32)
    np.cumsum(lens, out=ptr[1:])
    m = int(ptr[n])
    nidxs = np.fromiter(itertools.chain.from_iterable(vs), I64, count=m)
    cof = np.fromiter(itertools.chain.from_iterable(cs), F64, count=m)
    e = Expr(model, (n,) if shape is None else shape, ptr, nidxs, cof)
    e.clean = True
    return e


class _Run:
    """A run of consecutive scalar rows (or cones) of one key added to a
    model, held as their tuples (which the cycle collector stops tracking),
    not as their objects: a model of many rows stated one at a time costs
    the collector nothing per row. Removed members are noted in `removed`
    and left out of the build; `item_shape` is the shape of a member's dual."""

    __slots__ = ("key", "removed", "state")

    def __init__(self, key, state):
        self.key, self.state, self.removed = key, state, None

    def remove(self, index):
        if self.removed is None:
            self.removed = set()
        self.removed.add(index)

    def position(self, index):
        """The member's position among those kept."""
        if not self.removed:
            return index
        return index - sum(1 for k in self.removed if k < index)

    def _kept(self, n):
        """The indices of the members kept, of n."""
        gone = self.removed
        return range(n) if not gone else [i for i in range(n) if i not in gone]


class RowBlock(_Run):
    """A model's run of scalar rows of one kind (its key): row `i` is
    `(vs[i], cs[i], ks[i])`."""

    __slots__ = ("vs", "cs", "ks")

    item_shape = ()

    def __init__(self, kind, state):
        super().__init__(kind, state)
        self.vs, self.cs, self.ks = [], [], []

    kind = property(lambda self: self.key)

    def add(self, r):
        """Appends row r, which learns where it lies."""
        r._block, r._index = self, len(self.ks)
        self.vs.append(r.v)
        self.cs.append(r.c)
        self.ks.append(r.k)

    def rows(self):
        """The rows kept, as row objects (new ones: the run keeps no row
        objects)."""
        out = []
        for i in self._kept(len(self.ks)):
            r = TermRow()
            r.kind, r.v, r.c, r.k, r._model, r._mref = self.key, self.vs[i], self.cs[i], self.ks[i], self.state, \
                self.state
            r._block, r._index = self, i
            out.append(r)
        return out

    def kept(self):
        """(vs, cs, ks) of the rows kept."""
        if not self.removed:
            return self.vs, self.cs, self.ks
        keep = self._kept(len(self.ks))
        return [self.vs[i] for i in keep], [self.cs[i] for i in keep], [self.ks[i] for i in keep]


def block_of(model, items):
    """Term lists as the rows of one expression of shape (len(items),),
    their constants as terms of variable 0."""
    return _block(model, items, (len(items),))


def _many_terms(items, k):
    """A run of alike scalar term lists (see deferred.py), one row each."""
    return block_of(items[0]._model, items), True


deferred._MANY["terms"] = _many_terms


def rows_of_block(blk):
    """The rows of a model's run of scalar rows, as one block and its
    constants: ((block, (constants, 1.0)),)."""
    return _rows(blk.state, *blk.kept())


def rows_of_run(cons):
    """The rows of a run of consecutive scalar rows of one kind, as one block
    and its constants: ((block, (constants, 1.0)),)."""
    get = operator.attrgetter
    return _rows(cons[0]._model, list(map(get("v"), cons)), list(map(get("c"), cons)), list(map(get("k"), cons)))


def _spelled(t):
    """A term list written out with its variables' names."""
    return _written(t.v, t.c, t.k, t._model)


def _written(vs, cs, k, state):
    model = state.owner()
    names = _column_names(model) if model is not None else None
    parts = []
    for v, c in zip(vs, cs):
        var = names(v) if names else f"v{v}"
        parts.append(f"{'-' if c < 0 else '+'} {'' if abs(c) == 1.0 else f'{abs(c):g}*'}{var}")
    if k or not parts:
        parts.append(f"{'-' if k < 0 else '+'} {abs(k):g}")
    text = " ".join(parts)
    text = text[2:] if text.startswith("+ ") else "-" + text[2:]
    return f"({text})" if len(parts) > 1 else text


def _column_names(model):
    """A function naming the element of the model's variables that a solver
    column + 1 stands for."""
    import bisect
    firsts = [int(v.nidxs[0]) if v.size else 0 for v in model._variables]
    variables = model._variables

    def name(col):
        k = bisect.bisect_right(firsts, col) - 1
        if k < 0:
            return f"v{col}"
        var = variables[k]
        if var.full is not var.nidxs or not var.size or not col - firsts[k] < var.size:
            return f"{var.name}#{col}"
        idx = np.unravel_index(col - firsts[k], var.shape) if var.shape else ()
        return f"{var.name}[{', '.join(map(str, idx))}]" if idx else var.name
    return name


_INF = float("inf")


def _column_sign(state, col):
    """The sign of the variable holding solver column `col` (its element
    number, from 1), or "unknown" for an auxiliary column."""
    signs = state.signs
    k = bisect.bisect_right(signs, (col, _INF)) - 1
    if k >= 0 and col < signs[k][0] + signs[k][1]:
        return signs[k][2]
    return "unknown"


def _variable_item(var, key):
    """An element of a variable picked by integers, as a term list (named
    on demand after its column); any other key, a box of the variable
    (`Variable.__getitem__`)."""
    if type(key) is tuple:
        plain = var._pick
        if plain is not None and len(key) == 2:
            # the common pick: a plain 2-D variable's column
            i, j = key
            n0, n1, first, state = plain
            if type(i) is int and type(j) is int and 0 <= i < n0 and 0 <= j < n1:
                r = Terms()
                r._model = state
                r.v = (first + i * n1 + j,)
                r.c = _UNIT
                r.k = 0.0
                return r
        lin = _position(var._shape, key)
    elif type(key) is int and len(var._shape) == 1 and 0 <= key < var._shape[0]:
        lin = key
    else:
        lin = _position(var._shape, key)
    if lin is None:
        return Affine.__getitem__(var, key)
    cols = var._cols
    if cols is None:
        cols = var._cols = var.full.tolist() if var.full is not var.nidxs else False
    r = Terms()
    r._model, r.v, r.c, r.k = var._model, (cols[lin] if cols else var._first + lin,), _UNIT, 0.0
    return r


def _position(shape, key):
    """The row-major position of an element given by integers (negative ones
    counted from the end; () for a variable of shape ()), or None for a key
    that is not one element."""
    if type(key) is not tuple:
        key = (key,)
    if len(key) != len(shape):
        return None
    lin = 0
    for k, n in zip(key, shape):
        if type(k) is not int:
            return None
        if k < 0:
            k += n
        if not 0 <= k < n:
            return None
        lin = lin * n + k
    return lin


_UNIT = (1.0,)


# the variable's own indexing (expressions.py defines the general one, and
# Variable takes this one once the term lists exist)
expressions.Variable.__getitem__ = _variable_item


def _scalar_variable_op(name):
    """A variable of shape () in + - * / and comparisons with a term list or
    a number: its one element's term list (so that `d + M * (1 - z[i])`
    stated in a loop is a term list too). The general operation is the
    affine expression's (its comparisons those constraints.py set)."""
    general, lists = getattr(expressions.Affine, name), getattr(Terms, name)

    def op(self, *other):
        if not self._shape and (not other or type(other[0]) in _SCALARS):
            return lists(_variable_item(self, ()), *other)
        return general(self, *other)
    op.__name__ = name
    return op


_SCALARS = frozenset((Terms, TermSum)) | _NUMBERS
for _name in ("__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__", "__truediv__", "__neg__",
              "__le__", "__ge__", "__eq__"):
    setattr(expressions.Variable, _name, _scalar_variable_op(_name))
expressions.Variable.__hash__ = object.__hash__


# -- second-order cones stated element by element -----------------------------

def element_rows(e):
    """The elements of a term list, or of a box of a variable (sliced, then
    reshaped), as (variables, coefficients, constant) triples; None for any
    other expression."""
    t = type(e)
    if t is Terms or t is TermSum:
        return [(e.v, e.c, e.k)]
    if e._ex is not None:
        return None
    if e._op == "lmat":
        return _product_rows(*e._args)
    if e._op == "reshape":
        e = e._args[0]
        if e._ex is not None:
            return None
    if e._op != "box":
        return None
    var, first, last = e._args
    if type(var) is not expressions.Variable or var.full is not var.nidxs:
        return None
    shape = var._shape
    lins = [0]
    for a, b, n in zip(first, last, shape):
        lins = [lin * n + i for lin in lins for i in range(a, b)]
    base = var._first
    return [((base + lin,), _UNIT, 0.0) for lin in lins]


class TermCone(_Member, Constraint):
    """One second-order cone t >= ||x|| of term lists: its elements (t
    first) as (variables, coefficients, constant) triples."""

    __slots__ = ("kind", "rows", "_model", "_mref", "_block", "_index", "_nm")
    __init__ = object.__init__      # made bare, as a term list

    dual_shape = property(lambda self: (len(self.rows),))

    @property
    def cones(self):
        return [("soc", len(self.rows))]

    @property
    def expr(self):
        """The cone's elements as an expression."""
        return expressions.Computed(_constant_block(self._model, *zip(*self.rows)))

    def _spelled_name(self):
        # t >= ||(x_1, x_2, ...)||, a long x shortened
        body = [_written(*r, self._model) for r in self.rows[1:5]]
        more = ", ..." if len(self.rows) > 5 else ""
        return f"{_written(*self.rows[0], self._model)} >= ||({', '.join(body)}{more})||"



def cone_of(t, x, name):
    """soc(t, x) of a term list t and a term list or box of a variable x as
    a TermCone, or None when the operands are other expressions."""
    if type(t) is not Terms and type(t) is not TermSum:
        return None
    rest = element_rows(x) if isinstance(x, Affine) else None
    if rest is None:
        return None
    if x._model is not t._model:
        same_model(t._model, x)
    c = TermCone()
    c.kind, c.rows, c._model, c._mref, c._block, c._nm = "soc", tuple([(t.v, t.c, t.k)] + rest), t._model, None, \
        None, name
    return c


class ConeBlock(_Run):
    """A model's run of second-order cones of one size (its key), held as
    their elements' tuples: cone `i` is `cones[i]`."""

    __slots__ = ("cones",)

    kind = "soc"

    def __init__(self, d, state):
        super().__init__(d, state)
        self.cones = []

    d = property(lambda self: self.key)
    item_shape = property(lambda self: (self.key,))

    def add(self, c):
        """Appends cone c, which learns where it lies."""
        c._block, c._index = self, len(self.cones)
        self.cones.append(c.rows)

    def kept(self):
        """The elements of the cones kept."""
        return [self.cones[i] for i in self._kept(len(self.cones))]

    def rows(self):
        """The cones kept, as cone objects (new ones)."""
        out = []
        for i in self._kept(len(self.cones)):
            c = TermCone()
            c.kind, c.rows, c._model, c._mref, c._block, c._index, c._nm = "soc", self.cones[i], self.state, \
                self.state, self, i, None
            out.append(c)
        return out


# soc() of term lists (constraints.py knows no term lists)
constraints._cone_of = cone_of


def rows_of_cones(blk):
    """The elements of a model's run of cones as one block and its
    constants, and the number of cones."""
    cones = blk.kept()
    elems = [e for rows in cones for e in rows]
    return _rows(blk.state, [e[0] for e in elems], [e[1] for e in elems], [e[2] for e in elems]), len(cones)


# -- a vector of numbers times a vector variable -------------------------------

def _vector_times_variable(var, M):
    """a @ x of a float vector a (of at most LONG entries) and a variable
    vector x as a term list: x's columns with a's entries (its zeros left
    out, as the product's terms leave them); None for anything else."""
    if type(M) is not np.ndarray or M.ndim != 1 or M.dtype != F64 or len(var._shape) != 1 \
            or M.shape[0] != var._shape[0] or not 0 < M.shape[0] <= LONG or var.full is not var.nidxs:
        return None
    c = M.tolist()
    total = sum(c)
    if total - total != 0.0 and not data.all_finite(M):
        # NaN or an infinity (a sum of large entries can overflow): refused
        # by the general product, which names it
        return None
    r = _terms(var._model, *_row_terms(range(var._first, var._first + len(c)), c), 0.0)
    r._nm = (expressions.product_name, M.copy(), " @ ", var)
    return r


def _product_rows(M, var, shape):
    """The rows of M @ x for a float matrix M (rows of at most LONG
    entries) and a variable vector x, as (variables, coefficients, 0)
    triples (each row's zeros left out); None for anything else."""
    if type(M) is not np.ndarray or M.ndim != 2 or type(var) is not expressions.Variable \
            or len(var._shape) != 1 or var.full is not var.nidxs or shape != (M.shape[0],) \
            or not 0 < M.shape[1] <= LONG:
        return None
    cols = range(var._first, var._first + M.shape[1])
    return [_row_terms(cols, row) + (0.0,) for row in M.tolist()]


def _row_terms(cols, row):
    """(variables, coefficients) of a row of numbers over the columns
    `cols`, its zeros left out."""
    if 0.0 not in row:
        return tuple(cols), tuple(row)
    kept = [(j, w) for j, w in zip(cols, row) if w != 0.0]
    return (tuple(j for j, _ in kept), tuple(w for _, w in kept))


def _variable_rmatmul(general):
    def __rmatmul__(self, M):
        r = _vector_times_variable(self, M)
        return general(self, M) if r is None else r
    return __rmatmul__


expressions.Variable.__rmatmul__ = _variable_rmatmul(expressions.Variable.__rmatmul__)
