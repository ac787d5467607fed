"""Argument kinds that few kernels take (arrays of int32 arrays, matrices,
not-None arrays), exercised through a small probe module compiled from the
module's own calling convention."""
import array
import importlib.util
import pathlib
import shutil
import subprocess
import sysconfig

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
MESSAGE = "Invalid array shape or type for argument '{}'"


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    cxx = shutil.which("c++") or shutil.which("g++")
    if cxx is None or not (ROOT / "src" / "module" / "convention.cpp").exists():
        pytest.skip("needs a C++ compiler and the module sources")
    out = tmp_path_factory.mktemp("probe") / ("binding_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([cxx, "-std=c++20", "-O1", "-shared", "-fPIC", f"-I{ROOT / 'src'}",
                    f"-I{sysconfig.get_paths()['include']}",
                    str(ROOT / "tests" / "probe" / "binding_probe.cpp"),
                    str(ROOT / "src" / "module" / "convention.cpp"), "-o", str(out)], check=True)
    spec = importlib.util.spec_from_file_location("binding_probe", out)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def lists(*items):
    a = np.empty(len(items), dtype=object)
    a[:] = list(items)
    return a


def test_entries_are_views_none_entries_are_empty(probe):
    big = np.arange(10, dtype=np.int32)
    counts, sums = np.zeros(4, np.int32), np.zeros(4, np.int64)
    shapes = lists(np.array([3, 4, 5], np.int32), None, big[::3], array.array("i", [7]))
    assert probe.describe_lists(counts, shapes, sums) == 4
    np.testing.assert_array_equal(counts, [3, -1, 4, 1])
    np.testing.assert_array_equal(sums, [12, 0, 0 + 3 + 6 + 9, 7])


@pytest.mark.parametrize("outer", [None, lists(), np.zeros(0, dtype=object)])
def test_empty_and_none_lists(probe, outer):
    assert probe.describe_lists(np.zeros(1, np.int32), outer, np.zeros(1, np.int64)) == 0


def test_references_are_walked_from_the_base_without_the_outer_stride(probe):
    a = lists(*[np.full(1, k, np.int32) for k in range(6)])
    sums = np.zeros(3, np.int64)
    assert probe.describe_lists(np.zeros(3, np.int32), a[::2], sums) == 3
    np.testing.assert_array_equal(sums, [0, 1, 2])


@pytest.mark.parametrize("bad", [np.ones(3), np.ones(3, np.int64), np.ones((2, 2), np.int32),
                                 np.ones(3, ">i4"), bytearray(8)])
def test_a_wrong_entry_names_the_outer_argument(probe, bad):
    with pytest.raises(ValueError) as exc:
        probe.describe_lists(np.zeros(4, np.int32), lists(np.ones(2, np.int32), bad),
                             np.zeros(4, np.int64))
    assert str(exc.value) == MESSAGE.format("shapes")


def test_an_entry_without_a_buffer_keeps_the_interpreters_error(probe):
    with pytest.raises(TypeError, match="memoryview"):
        probe.describe_lists(np.zeros(4, np.int32), lists(np.ones(2, np.int32), 5), np.zeros(4, np.int64))


def test_everything_is_released_after_a_failing_entry(probe):
    counts = array.array("i", [0] * 4)
    entry = array.array("i", [1, 2])
    with pytest.raises(ValueError):
        probe.describe_lists(counts, lists(entry, np.ones(2)), np.zeros(4, np.int64))
    with pytest.raises(ValueError):  # a later argument fails after the list was converted
        probe.describe_lists(counts, lists(entry), np.zeros(4, np.int32))
    entry.append(3)
    counts.append(0)
    assert len(entry) == 3 and len(counts) == 5


def test_the_rejected_entry_itself_is_released(probe):
    bad = array.array("d", [1.0, 2.0])
    with pytest.raises(ValueError) as exc:
        probe.describe_lists(np.zeros(4, np.int32), lists(np.ones(2, np.int32), bad),
                             np.zeros(4, np.int64))
    assert str(exc.value) == MESSAGE.format("shapes")
    bad.append(3.0)  # raises BufferError while a view is still exported
    assert len(bad) == 3


@pytest.mark.parametrize("outer", [np.ones(4, np.int32), lists(None).reshape(1, 1)])
def test_the_outer_buffer_must_hold_object_references(probe, outer):
    with pytest.raises(ValueError) as exc:
        probe.describe_lists(np.zeros(4, np.int32), outer, np.zeros(4, np.int64))
    assert str(exc.value) == MESSAGE.format("shapes")


def test_matrices_are_read_through_both_strides(probe):
    m = np.arange(1, 7, dtype=np.int64).reshape(2, 3)
    want = 5 + sum(int(m[i, j]) * (i + 1) * 10**j for i in range(2) for j in range(3))
    assert probe.weigh_matrix(m, np.array([5], np.int32)) == want
    t = np.ascontiguousarray(m.T).T  # same values, column-major memory
    assert probe.weigh_matrix(t, np.array([5], np.int32)) == want
    assert probe.matrix_extents(np.zeros((4, 7), np.int64)[:, ::2]) == (4, 4)
    with pytest.raises(ValueError, match="'mx'"):
        probe.weigh_matrix(np.zeros(4, np.int64), np.array([5], np.int32))


def test_not_none_arrays_refuse_none(probe):
    with pytest.raises(TypeError):
        probe.weigh_matrix(np.zeros((1, 1), np.int64), None)
    assert probe.weigh_matrix(None, np.array([2], np.int32)) == 2
