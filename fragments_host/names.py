"""Names of expressions as the user wrote them. A name is written out on
first use from what the statement noted (see expressions.NotedName); these
functions write one: constants by their values when small (by their shape
when large), and operands put in parentheses only where Python's
precedence needs them, so that a name reads back as the statement."""
from __future__ import annotations

import numbers

import numpy as np

SMALL = 6          # constants of up to this many entries are written by value

# precedence of the operator a written name ends in at its top level
SUM, PRODUCT, UNARY, ATOM = 0, 1, 2, 3


def const_text(a):
    """A constant: a number as %g, a small array by its values, a larger
    one (or a sparse matrix) by its shape."""
    if hasattr(a, "tocsr"):
        return f"sparse{tuple(a.shape)}"
    a = np.asarray(a)
    if a.ndim == 0:
        return f"{float(a):g}"
    if a.size <= SMALL:
        return np.array2string(a, separator=", ", formatter={"float_kind": lambda v: f"{v:g}"}).replace("\n", "")
    return f"const{a.shape}"


def text(x):
    """The written name of an operand: a constant's by const_text, anything
    else's its repr."""
    if isinstance(x, (numbers.Number, np.ndarray, np.generic, list, tuple)) or hasattr(x, "tocsr"):
        return const_text(x)
    return repr(x)


def precedence(s):
    """The lowest-binding operator at the top level of a written name:
    outside brackets, a sum or difference (SUM), a product, quotient or
    matrix product (PRODUCT), a leading minus (UNARY), else ATOM."""
    depth, low = 0, ATOM
    for i, ch in enumerate(s):
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        elif depth == 0:
            if ch in "+-" and 0 < i < len(s) - 1 and s[i - 1] == " " and s[i + 1] == " ":
                return SUM
            if ch in "*/@":
                low = PRODUCT
    if low == ATOM and s.startswith("-"):
        return UNARY
    return low


def wrapped(x, below):
    """text(x), in parentheses when its top level binds less than `below`."""
    s = text(x)
    return f"({s})" if precedence(s) < below else s


def sum_name(a, sign, b):
    """a + b or a - b (b in parentheses when it is itself a sum)."""
    tb = text(b)
    if sign > 0 and tb.startswith("-") and precedence(tb) == UNARY:
        return f"{text(a)} - {tb[1:]}"
    if sign > 0:
        return f"{text(a)} + {tb}"
    return f"{text(a)} - {wrapped(b, PRODUCT)}"


def product_name(a, op, b):
    """a * b, a / b or a @ b: the left operand in parentheses below a
    product, the right one at or below (Python reads a * b * c leftwards)."""
    return f"{wrapped(a, PRODUCT)}{op}{wrapped(b, UNARY)}" if op != " @ " else \
        f"{wrapped(a, PRODUCT)} @ {wrapped(b, UNARY)}"


def negated_name(x):
    return f"-{wrapped(x, PRODUCT)}"


def postfix_name(x, suffix):
    """x[...], x.T, x.reshape(...): x in parentheses unless an atom."""
    return f"{wrapped(x, ATOM)}{suffix}"


def key_text(key):
    """An index as written between brackets."""
    parts = []
    for s in key:
        if isinstance(s, slice):
            part = f"{'' if s.start is None else s.start}:{'' if s.stop is None else s.stop}"
            parts.append(part if s.step is None else f"{part}:{s.step}")
        elif s is None:
            parts.append("None")
        elif s is Ellipsis:
            parts.append("...")
        elif isinstance(s, (list, np.ndarray)):
            a = np.asarray(s)
            parts.append(str(a.tolist()) if a.size <= SMALL else f"array{a.shape}")
        else:
            parts.append(str(s))
    return ", ".join(parts)


def indexed_name(x, key):
    return postfix_name(x, f"[{key_text(key)}]")
