"""Kernel fuzz on the checked build: every kernel called with random
well-typed arguments (small arrays, empty ones and None where allowed, small
scalars, negative ones included) must end in a result or in IndexError /
ZeroDivisionError / MemoryError / a ValueError or OverflowError of the
kernel's own, never in a crash or a hang. Where the checked build returns a
result, the release build given the same arguments returns the same result
and leaves the same array contents.

The calls run in a worker process, one at a time, each under a wall-clock
bound; a worker that dies or overruns is reported with the kernel and its
arguments, and a fresh worker takes the next call."""
import multiprocessing
import os
import signal
import threading

import numpy as np
import pytest

from conftest import CATALOGUE
from reference_build import cached_checked, load

ROUNDS = 24          # argument tuples per kernel
CALL_SECONDS = 3.0   # wall-clock bound of one call
DTYPES = {"int32": np.int32, "int64": np.int64, "float64": np.float64}
ALLOWED = (IndexError, ZeroDivisionError, MemoryError, ValueError, OverflowError)
BINDING_MESSAGE = "Invalid array shape or type for argument"


@pytest.fixture(scope="module")
def checked_so():
    so = cached_checked()
    if so is None:
        pytest.skip("no C++ compiler to build the checked variant")
    return str(so)


def random_array(rng, spec):
    """A small array of the argument's type and dimension: empty, short or
    (now and then) strided, with small values, negative ones included; None
    where allowed, now and then."""
    if not spec["not_none"] and rng.random() < 0.1:
        return None
    if spec["type"] == "object":
        out = np.empty(int(rng.integers(0, 4)), object)
        for i in range(len(out)):
            out[i] = None if rng.random() < 0.2 else rng.integers(-1, 5, int(rng.integers(0, 5))).astype(np.int32)
        return out
    dt = DTYPES[spec["type"]]
    shape = (int(rng.integers(0, 9)),) if spec["ndim"] == 1 else tuple(int(x) for x in rng.integers(0, 4, 2))
    if dt is np.float64:
        data = rng.integers(-2, 4, shape).astype(dt) * 0.5
    else:
        data = rng.integers(-2, 8, shape).astype(dt)
    if spec["ndim"] == 1 and rng.random() < 0.2:
        wide = np.zeros(2 * shape[0], dt)
        wide[::2] = data
        return wide[::2]
    return data


def random_scalar(rng, c):
    if c == "p":
        return bool(rng.integers(0, 2))
    if c == "d":
        return float(rng.integers(-4, 5)) * 0.5
    return int(rng.integers(-2, 9))


def random_args(rng, sig):
    arrays = iter(sig["arrays"])
    return tuple(random_array(rng, next(arrays)) if c == "O" else random_scalar(rng, c) for c in sig["format"])


def copy_args(args):
    def one(a):
        if isinstance(a, np.ndarray) and a.dtype == object:
            out = np.empty(len(a), object)
            for i, x in enumerate(a):
                out[i] = None if x is None else x.copy()
            return out
        if isinstance(a, np.ndarray):
            wide = np.zeros(a.size * 2 if a.ndim == 1 and a.strides[0] != a.itemsize and a.size else 0, a.dtype)
            if wide.size:  # keep the copy strided like the original
                wide[::2] = a
                return wide[::2]
            return a.copy()
        return a
    return tuple(one(a) for a in args)


def same_arrays(a, b):
    if a is None or b is None:
        return a is b
    if isinstance(a, np.ndarray) and a.dtype == object:
        return all(same_arrays(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return a.shape == b.shape and np.array_equal(a, b, equal_nan=a.dtype.kind == "f")
    return a == b


def worker(so, conn):
    """Runs the calls it receives on the checked build (and, where that gives
    a result, on the release build with copies of the arguments) and reports
    each outcome."""
    import faulthandler
    faulthandler.disable()  # a crash is reported by the parent, not dumped here
    import fragments as release
    checked = load(so)
    while True:
        job = conn.recv()
        if job is None:
            return
        n, args = job
        twin = copy_args(args)
        try:
            r = getattr(checked, f"_c_closure_{n}")(*args)
        except ALLOWED as e:
            bad = isinstance(e, ValueError) and str(e).startswith(BINDING_MESSAGE)
            conn.send(("bad" if bad else "raised", f"{type(e).__name__}: {e}"))
            continue
        except BaseException as e:  # noqa: BLE001 - every other exception is a finding
            conn.send(("bad", f"{type(e).__name__}: {e}"))
            continue
        r2 = getattr(release, f"_c_closure_{n}")(*twin)
        if r2 != r or not all(same_arrays(a, b) for a, b in zip(args, twin)):
            conn.send(("bad", f"release build differs: checked {r!r}, release {r2!r}"))
        else:
            conn.send(("ok", None))


class Runner:
    def __init__(self, so):
        self.so = so
        self.ctx = multiprocessing.get_context("fork")
        self.proc = None

    def start(self):
        self.conn, child = self.ctx.Pipe()
        self.proc = self.ctx.Process(target=worker, args=(self.so, child), daemon=True)
        self.proc.start()
        child.close()

    def stop(self):
        if self.proc is not None and self.proc.is_alive():
            os.kill(self.proc.pid, signal.SIGKILL)
        if self.proc is not None:
            self.proc.join()
        self.proc = None

    def call(self, n, args):
        """("ok" | "raised" | "bad" | "crash" | "hang", detail)."""
        if self.proc is None:
            self.start()
        try:
            self.conn.send((n, args))
        except OSError:
            pass  # the worker is gone: the poll below sees the end of the pipe
        if not self.conn.poll(CALL_SECONDS):
            self.stop()
            return "hang", f"no result within {CALL_SECONDS} s"
        try:
            return self.conn.recv()
        except (EOFError, OSError):  # the worker died mid-call
            self.proc.join()
            code = self.proc.exitcode
            self.proc = None
            return "crash", f"worker ended with exit code {code}"


def test_every_kernel_survives_random_arguments(checked_so):
    rng = np.random.default_rng(20240612)
    runner = Runner(checked_so)
    findings, outcomes = [], {"ok": 0, "raised": 0}
    try:
        for key in sorted(CATALOGUE, key=int):
            sig = CATALOGUE[key]
            for _ in range(ROUNDS):
                args = random_args(rng, sig)
                kind, detail = runner.call(int(key), args)
                if kind in outcomes:
                    outcomes[kind] += 1
                else:
                    findings.append(f"_c_closure_{key}{args!r}: {kind}: {detail}")
    finally:
        runner.stop()
    assert not findings, "\n".join(findings[:40])
    # The fuzz reaches both ends: calls that complete and calls the checks stop.
    assert outcomes["ok"] > len(CATALOGUE) and outcomes["raised"] > len(CATALOGUE)


def test_runner_reports_a_crash_and_a_hang(checked_so, monkeypatch):
    """The runner itself: a worker killed by a signal is a crash, an overrun
    a hang, and the next call runs on a fresh worker."""
    runner = Runner(checked_so)
    monkeypatch.setattr("test_kernel_fuzz.CALL_SECONDS", 0.5)
    args = (1, np.zeros(2, np.int32), 0, 0, np.ones(2, np.int32))
    try:
        runner.start()
        os.kill(runner.proc.pid, signal.SIGSTOP)
        assert runner.call(576, args)[0] == "hang"
        runner.start()
        # One call first, so that the worker has silenced its crash dump.
        assert runner.call(576, args) == ("ok", None)
        os.kill(runner.proc.pid, signal.SIGSTOP)
        pid = runner.proc.pid
        # A stopped process takes the signal once it runs again.
        threading.Timer(0.1, lambda: (os.kill(pid, signal.SIGSEGV), os.kill(pid, signal.SIGCONT))).start()
        assert runner.call(576, args) == ("crash", f"worker ended with exit code {-signal.SIGSEGV}")
        assert runner.call(576, args) == ("ok", None)
    finally:
        runner.stop()
