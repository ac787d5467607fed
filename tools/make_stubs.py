"""Write the typed stub `fragments.pyi` for the 657 kernels.

    python tools/make_stubs.py            # rewrite src/fragments.pyi
    python tools/make_stubs.py --check    # exit 1 if src/fragments.pyi is stale

Sources (standard library only):
- tests/signatures.json, the catalogue: each kernel's format string, its array
  arguments in positional order (name, whether None is refused) and its result
  kind;
- src/kernels/*/*.cpp: each `FRAG_KERNEL(N, "format", function, "names")` line
  names the C++ function behind kernel N (a template instance such as
  `scatter_transpose<i32>`, or one function shared by several numbers). The
  function's definition gives the names of the scalar parameters, the item
  types of a result tuple (`std::tuple<i32, bool, ...>`: which items are bools)
  and, in the `//` comment block right above it, the contract whose first
  sentence becomes the kernel's docstring.

Types in the stub:
- "i" and "L" are `int`, "d" is `float` (an int is accepted there as well);
- "p" is `bool`. The binding takes the truth value of any object for "p", so
  `object` would describe what the interpreter accepts; but every "p"
  argument is a flag that the kernel tests, sets or clears and often hands
  back, and the host chains the returned bool into the next call. Typing it
  `bool` keeps the stub's one real use: with a dozen positional arguments a
  count or an array slipped into a flag's place runs silently (it is simply
  true), and only the type checker can catch it. A caller that really wants
  truthiness of some object writes `bool(x)`.
- "O" is `_Array`: any `Buffer` (`collections.abc.Buffer`, or
  `typing_extensions.Buffer` before 3.12: only the type checker reads the
  stub, so nothing is imported at run time) or a numpy array, named as well
  because numpy's own stubs declare the buffer protocol of `ndarray` only for
  3.12 and later; with `| None` unless the catalogue says None is refused;
- results: `None`, `int`, `bool`, or `tuple[...]` with one item per element of
  the C++ return type (`int` for i32/i64, `bool` for bool), checked against
  the catalogue's result kind and tuple length.

Every mismatch between the catalogue and the C++ sources (arity, a parameter
type against its format character, a result kind, a missing definition or
contract comment) stops the generator with a message, so a stale or wrong
stub cannot be written.
"""
import argparse
import json
import keyword
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CATALOGUE = ROOT / "tests" / "signatures.json"
KERNELS = ROOT / "src" / "kernels"
STUB = ROOT / "src" / "fragments.pyi"

REGISTRATION = re.compile(
    r'FRAG_KERNEL\(\s*(\d+)\s*,\s*"([^"]*)"\s*,\s*([^"]+?)\s*,\s*((?:"[^"]*"\s*)+)\)', re.S)
ABBREVIATIONS = ("e.g.", "i.e.", "etc.", "vs.", "cf.")

SCALAR_TYPES = {"i": "int", "L": "int", "p": "bool", "d": "float"}
# The C++ parameter type each format character binds to.
CPP_SCALARS = {
    "i": {"i32", "int32_t", "std::int32_t"},
    "L": {"i64", "int64_t", "std::int64_t"},
    "p": {"bool"},
    "d": {"f64", "double"},
}
CPP_RESULT_ITEMS = {
    "i32": ("int32", "int"), "int32_t": ("int32", "int"), "std::int32_t": ("int32", "int"),
    "i64": ("int64", "int"), "int64_t": ("int64", "int"), "std::int64_t": ("int64", "int"),
    "bool": ("bool", "bool"),
}


class StubError(Exception):
    pass


def split_top(text, sep=","):
    """Split at `sep` outside <...>, (...) and [...]."""
    parts, depth, cur = [], 0, []
    for ch in text:
        if ch in "<([":
            depth += 1
        elif ch in ">)]":
            depth -= 1
        if ch == sep and depth == 0:
            parts.append("".join(cur))
            cur = []
        else:
            cur.append(ch)
    if "".join(cur).strip():
        parts.append("".join(cur))
    return [p.strip() for p in parts]


def strip_comments(line):
    return line.split("//", 1)[0]


class Source:
    """The kernel sources: every file's text, and function definitions by name."""

    def __init__(self, root):
        self.files = sorted(root.glob("*/*.cpp")) + sorted(root.glob("*/*.hpp")) + sorted(root.glob("*.hpp"))
        self.text = {f: f.read_text() for f in self.files}

    def registrations(self):
        for f in self.files:
            for m in REGISTRATION.finditer(self.text[f]):
                # The names may be split over adjacent string literals.
                names = "".join(re.findall(r'"([^"]*)"', m.group(4)))
                yield int(m.group(1)), m.group(2), " ".join(m.group(3).split()), names, f

    def definitions(self, name, prefer):
        """Definitions of function `name`: (file, line index, template header,
        return type, parameter list) for each, the file `prefer` first."""
        pat = re.compile(
            r"^(?P<ret>[A-Za-z_][\w:<>, ]*?[\w>])\s+" + re.escape(name) + r"\s*\((?P<params>[^)]*)\)\s*(?:noexcept\s*)?\{",
            re.M)
        found = []
        for f in [prefer] + [g for g in self.files if g != prefer]:
            text = self.text[f]
            for m in pat.finditer(text):
                ret = m.group("ret")
                if ret.split()[0] in ("return", "else", "case", "using", "typedef"):
                    continue
                line = text.count("\n", 0, m.start())
                found.append((f, line, ret, " ".join(m.group("params").split())))
            if found:
                break
        return found


def template_header(lines, line):
    """The `template <...>` lines directly above line index `line`, joined,
    and the index of the first of them."""
    start = line
    header = []
    while start > 0 and lines[start - 1].lstrip().startswith("template"):
        start -= 1
        header.insert(0, lines[start].strip())
    return " ".join(header), start


def contract_comment(lines, first):
    """The `//` lines directly above line index `first`, as one text."""
    out = []
    k = first - 1
    while k >= 0 and lines[k].lstrip().startswith("//"):
        out.insert(0, lines[k].strip()[2:].strip())
        k -= 1
    return " ".join(w for w in out if w)


def first_sentence(text):
    """Up to the first full stop that ends a sentence: a '.' followed by white
    space or the end, not closing a common abbreviation."""
    for m in re.finditer(r"\.(?=\s|$)", text):
        before = text[: m.end()]
        if any(before.endswith(a) for a in ABBREVIATIONS):
            continue
        return before
    return text


def substitute(cpp_type, params, args):
    """Replace template parameter names by the instance's arguments."""
    for p, a in zip(params, args):
        cpp_type = re.sub(r"\b" + re.escape(p) + r"\b", a, cpp_type)
    return cpp_type


def template_binding(header, fn_expr):
    """Template parameter names of `header` and the arguments in `fn_expr`."""
    if not header:
        return [], []
    m = re.match(r"template\s*<(.*)>", header)
    names = []
    for p in split_top(m.group(1)):
        names.append(p.split("=")[0].split()[-1])
    args = []
    if "<" in fn_expr:
        args = split_top(fn_expr[fn_expr.index("<") + 1: fn_expr.rindex(">")])
    return names, args


def parameter(decl):
    """(type, name) of one C++ parameter declaration; an unnamed parameter's
    name is the one written in a comment in its place (`i64 /*s4*/`), or None."""
    decl = decl.split("=")[0].strip()
    named = re.fullmatch(r"(.*?)/\*\s*([A-Za-z_]\w*)\s*\*/", decl)
    if named:
        return " ".join(named.group(1).replace("const ", "").replace("&", "").split()), named.group(2)
    decl = " ".join(decl.replace("const ", "").replace("&", " ").split())
    m = re.fullmatch(r"(.*[\w>])\s+([A-Za-z_]\w*)", decl)
    if not m:
        return decl, None
    return m.group(1), m.group(2)


def result_items(ret):
    """The result of a C++ return type: ('none',), (kind,) or ('tuple', [items])."""
    ret = " ".join(ret.replace("static ", "").replace("inline ", "").split())
    if ret == "void":
        return "none", None
    if ret in CPP_RESULT_ITEMS:
        return CPP_RESULT_ITEMS[ret][0], None
    m = re.fullmatch(r"(?:std::)?tuple\s*<(.*)>", ret)
    if m:
        items = []
        for t in split_top(m.group(1)):
            if t not in CPP_RESULT_ITEMS:
                raise StubError("unknown tuple item type %r" % t)
            items.append(CPP_RESULT_ITEMS[t][1])
        return "tuple", items
    raise StubError("unknown return type %r" % ret)


def describe(number, fmt, fn_expr, names, path, entry, source):
    """The stub text for one kernel."""
    where = "%s (kernel %d, %s)" % (path.relative_to(ROOT), number, fn_expr)
    if fmt != entry["format"]:
        raise StubError("%s: format %r, catalogue %r" % (where, fmt, entry["format"]))
    if names.split() != [a["name"] for a in entry["arrays"]]:
        raise StubError("%s: array names %r differ from the catalogue" % (where, names))
    base = fn_expr.split("<")[0].split("::")[-1]
    defs = source.definitions(base, path)
    if not defs:
        raise StubError("%s: no definition of %s" % (where, base))
    if len(defs) > 1:
        # Overloads: keep the one whose arity is the format's.
        defs = [d for d in defs if len(split_top(d[3])) == len(fmt)]
        if len(defs) != 1:
            raise StubError("%s: %d candidate definitions of %s" % (where, len(defs), base))
    f, line, ret, params = defs[0]
    lines = source.text[f].splitlines()
    header, first = template_header(lines, line)
    tnames, targs = template_binding(header, fn_expr)
    if len(targs) > len(tnames):
        raise StubError("%s: template arguments do not fit %r" % (where, header))
    ret = substitute(ret, tnames, targs)
    decls = split_top(params)
    if len(decls) != len(fmt):
        raise StubError("%s: %d parameters for a format of %d" % (where, len(decls), len(fmt)))
    contract = contract_comment(lines, first)
    if not contract:
        raise StubError("%s: no contract comment above %s (%s:%d)" % (where, base, f.relative_to(ROOT), line + 1))
    doc = first_sentence(contract)

    args, arrays = [], iter(entry["arrays"])
    for ch, decl in zip(fmt, decls):
        ctype, cname = parameter(decl)
        ctype = substitute(ctype, tnames, targs)
        if ch == "O":
            a = next(arrays)
            t = "_Array" if a["not_none"] else "_Array | None"
            args.append("%s: %s" % (a["name"], t))
        else:
            if ctype not in CPP_SCALARS[ch]:
                raise StubError("%s: parameter %s %s for format character %r" % (where, ctype, cname, ch))
            if cname is None:
                raise StubError("%s: an unnamed %s parameter (name it in a comment)" % (where, ctype))
            if keyword.iskeyword(cname):
                cname += "_"  # `as` and the like cannot name a Python parameter
            args.append("%s: %s" % (cname, SCALAR_TYPES[ch]))
    kind, items = result_items(ret)
    want = entry["result"]
    if kind != want:
        raise StubError("%s: returns %s, catalogue %s" % (where, kind, want))
    if kind == "tuple":
        if len(items) != entry["tuple_len"]:
            raise StubError("%s: tuple of %d, catalogue %d" % (where, len(items), entry["tuple_len"]))
        result = "tuple[%s]" % ", ".join(items)
    else:
        result = {"none": "None", "int32": "int", "int64": "int", "bool": "bool"}[kind]
    names_seen = [a.split(":")[0] for a in args]
    if len(set(names_seen)) != len(names_seen):
        raise StubError("%s: argument names repeat: %s" % (where, names_seen))
    doc = doc.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    return "def _c_closure_%d(%s, /) -> %s:\n    \"\"\"%s\"\"\"\n" % (number, ", ".join(args), result, doc)


HEADER = '''\
# Typed stub of the extension module `fragments`: the 657 kernels, each with
# its positional-only arguments, argument types, result type and the first
# sentence of its contract. Generated by tools/make_stubs.py from
# tests/signatures.json and src/kernels; do not edit by hand.
import sys
from typing import Any

from numpy import ndarray
from typing_extensions import TypeAlias

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

# An array argument: any object exporting a buffer (numpy arrays, memoryviews,
# array.array, bytearray); the element type and dimensions are checked at
# call time.
_Array: TypeAlias = Buffer | ndarray[Any, Any]
'''


def generate(root=ROOT):
    """The stub's text, built from the catalogue and the C++ sources under `root`."""
    catalogue = json.loads((root / "tests" / "signatures.json").read_text())["kernels"]
    source = Source(root / "src" / "kernels")
    parts, errors = {}, []
    for number, fmt, fn_expr, names, path in source.registrations():
        if number in parts:
            raise StubError("kernel %d registered twice" % number)
        if str(number) not in catalogue:
            raise StubError("kernel %d is not in the catalogue" % number)
        try:
            parts[number] = describe(number, fmt, fn_expr, names, path, catalogue[str(number)], source)
        except StubError as e:
            errors.append(str(e))
    if errors:
        raise StubError("\n  ".join(["%d problems:" % len(errors)] + errors))
    missing = sorted(set(int(k) for k in catalogue) - set(parts))
    if missing:
        raise StubError("kernels without a registration: %s" % missing)
    return HEADER + "".join("\n\n" + parts[n] for n in sorted(parts))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--check", action="store_true", help="only compare with the stub in the repository")
    opts = ap.parse_args(argv)
    try:
        text = generate()
    except StubError as e:
        print("make_stubs: %s" % e, file=sys.stderr)
        return 2
    if opts.check:
        if not STUB.exists() or STUB.read_text() != text:
            print("make_stubs: %s is stale; run python tools/make_stubs.py" % STUB.relative_to(ROOT), file=sys.stderr)
            return 1
        return 0
    STUB.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
