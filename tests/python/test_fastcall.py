"""The fast call path's cache of first-pass winners, at and beyond its capacity; and what its
install refuses at import (tests/tools/fastcall_probe.cpp, built here, binds a function in ways
the fast path would call otherwise than pybind11's dispatcher).

The cache is keyed by the exact types of the arguments and keeps each type it has seen alive,
so a type made and dropped in a loop can never hand its address (and its remembered winner)
to another. Every outcome must equal pybind11's own dispatcher's.
"""
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

import vekracore as vk


def slow(f):
    return lambda *args: type(f).__call__(f, *args)


def outcome(call, *args):
    try:
        result = call(*args)
        return ("returns argument", next(i for i, a in enumerate(args) if result is a)) if any(
            result is a for a in args) else ("returns", result)
    except TypeError as e:
        return ("raises", str(e))


def test_many_short_lived_scalar_types_past_the_cache_capacity():
    containers = [vk.vecs(2), vk.vecd(2), vk.vecz(2), vk.mats(2, 2), vk.vecc(3)[1:3]]
    for i in range(1100):
        base = (float, complex, int)[i % 3]
        scalar = type(f"Scalar{i}", (base,), {})(1 + i % 5)
        x = containers[i % len(containers)]
        assert outcome(vk.scale, scalar, x) == outcome(slow(vk.scale), scalar, x), (i, base)
        assert outcome(vk.axpy, scalar, x, x) == outcome(slow(vk.axpy), scalar, x, x), (i, base)


# ---- what install refuses at import -----------------------------------------------------------

PROBE_SOURCE = os.path.join(os.path.dirname(os.path.dirname(__file__)), "tools", "fastcall_probe.cpp")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.fixture(scope="module")
def probe_dir(tmp_path_factory):
    """tests/tools/fastcall_probe.cpp built as an extension module against this interpreter."""
    pybind11 = pytest.importorskip("pybind11")
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    out = tmp_path_factory.mktemp("probe")
    target = out / ("fastcall_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    done = subprocess.run([compiler, "-std=c++20", "-O0", "-shared", "-fPIC", "-fvisibility=hidden",
                           "-I", os.path.join(ROOT, "python"), "-I", os.path.join(ROOT, "src"),
                           "-I", pybind11.get_include(), "-I", sysconfig.get_paths()["include"],
                           PROBE_SOURCE, "-o", str(target)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-4000:]
    return out


def import_probe(probe_dir, probe):
    """Imports the probe bound as `probe` in a child and calls f(2.0): its output and stderr."""
    # vekracore is imported first, its symbols global, for the ONNX Runtime entry the probe's
    # headers refer to.
    code = ("import os, sys\nsys.setdlopenflags(sys.getdlopenflags() | os.RTLD_GLOBAL)\nimport vekracore\n"
            "import fastcall_probe\nprint(fastcall_probe.f(2.0))")
    env = dict(os.environ, FASTCALL_PROBE=probe,
               PYTHONPATH=os.pathsep.join([str(probe_dir)] + [p for p in sys.path if p]))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    return done.stdout.strip(), done.stderr.strip().splitlines()[-1:]


def test_install_serves_a_function_bound_as_the_library_binds(probe_dir):
    assert import_probe(probe_dir, "fits") == ("4.0", [])


@pytest.mark.parametrize("probe, refusal", [
    ("named", "overload 1 of f declares its arguments (names, defaults, keywords or *args), which the fast path does not pass"),
    ("default", "overload 1 of f declares its arguments"),
    ("policy", "overload 1 of f has a return value policy of its own"),
    ("order", "overload 1 of f differs from pybind11's"),
    ("missing", "overload 2 of f differs from pybind11's"),
])
def test_install_refuses_at_import_what_the_fast_path_would_call_otherwise_than_pybind11(probe_dir, probe, refusal):
    out, err = import_probe(probe_dir, probe)
    assert out == "" and err and err[0].startswith("ImportError: fast dispatch: " + refusal), err
