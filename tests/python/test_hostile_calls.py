"""Calls a hostile user makes: subclasses, old pickle protocols, a second __init__, failed
allocations at the fast call path's boundary, a text cut short under a memory limit, and calls
matching no overload whose arguments are huge or run conversion hooks. Anything that could end
the interpreter runs in a child process, which must finish normally.
"""
import os
import subprocess
import sys
import textwrap

import pytest

import vekracore as vk
from conftest import CONTAINER_CLASSES as CONTAINERS, KINDS, SUFFIXES
AFFINE = os.path.join(os.path.dirname(__file__), "..", "data", "affine.onnx")

# In a child: make(name) builds a small, initialised instance of any of the 13 classes, all
# named in `names`.
MAKE = f"""
import vekracore as vk
names = {CONTAINERS + ["model"]!r}
def make(name):
    if name == "model":
        return vk.model({AFFINE!r})
    if name.startswith("view"):
        return getattr(vk, "vec" + name[-1])(4)[1:3]
    if name.startswith("mat"):
        return getattr(vk, name)(2, 2)
    return getattr(vk, name)(3)
"""


def child(code, timeout=120, **kwargs):
    done = subprocess.run([sys.executable, "-c", MAKE + textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, **kwargs)
    assert done.returncode == 0, (done.returncode, done.stderr[-3000:])
    return done.stdout


def slow(f):
    """pybind11's own dispatcher for the function object f: the function type's tp_call."""
    return lambda *args, **kwargs: type(f).__call__(f, *args, **kwargs)


def method(cls, name):
    """The function object of a method (calling it takes the fast path)."""
    return vars(cls)[name].__func__


def message(call, *args, **kwargs):
    with pytest.raises(TypeError) as e:
        call(*args, **kwargs)
    return str(e.value)


# ---- subclasses ----------------------------------------------------------------------------

@pytest.mark.parametrize("name", CONTAINERS + ["model"])
def test_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (getattr(vk, name),), {})


def test_no_listing_of_overloads_recurses_through_a_repr():
    """A container argument is shown without calling a Python-level __repr__: a subclass (if it
    could be made) or a __repr__ that itself makes a failing call would recurse without end."""
    out = child("""
        import sys, threading
        threading.stack_size(512 * 1024)
        sys.setrecursionlimit(20000)
        try:
            class V(vk.vecd):
                pass
            x, y = V(3), V(3)
        except TypeError:
            x, y = vk.vecd(3), vk.vecs(3)
        vk.vecd.__repr__ = lambda self: repr(vk.dot(self, vk.vecs(3)))
        outcome = []
        def call():
            try:
                vk.dot(x, y)
            except BaseException as e:
                outcome.append((type(e).__name__, "Column vector of size: 3" in str(e)))
        thread = threading.Thread(target=call)
        thread.start()
        thread.join()
        call()
        print(outcome)
    """)
    assert out.strip() == "[('TypeError', True), ('TypeError', True)]"


# ---- old pickle protocols, copies, the base type ---------------------------------------------

def test_every_pickle_protocol_and_copy_raise_type_error():
    out = child("""
        import copy, pickle
        wrong = []
        for name in names:
            obj = make(name)
            calls = [lambda p=p: pickle.dumps(obj, p) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
            calls += [lambda: obj.__reduce_ex__(0), lambda: obj.__reduce_ex__(1), lambda: copy.copy(obj),
                      lambda: copy.deepcopy(obj), lambda: type(obj).__mro__[1]()]
            for i, call in enumerate(calls):
                try:
                    call()
                    wrong.append((name, i, "no error"))
                except TypeError:
                    pass
                except BaseException as e:
                    wrong.append((name, i, repr(e)))
        class Direct(type(vk.vecd(1)).__mro__[1]):
            pass
        try:
            Direct()
            wrong.append("Direct() made an instance")
        except TypeError as e:
            print(e)
        empty = vk.vecd.__new__(vk.vecd)
        print(type(empty).__name__, wrong)
    """)
    assert out.splitlines()[-2:] == ["cannot create 'Direct' instances", "vecd []"]


# ---- a second __init__ ---------------------------------------------------------------------------

@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_second_init_is_refused_and_keeps_the_object(suffix):
    v, m = vk.__dict__["vec" + suffix](3), vk.__dict__["mat" + suffix](2, 3)
    v[1], m[1, 2] = 5, 6
    for obj, args in ((v, (100,)), (m, (7, 7)), (v, ("x",))):
        with pytest.raises(TypeError, match=r"^vekracore\.\w+ instance is already initialised: __init__ runs only once$"):
            obj.__init__(*args)
    assert (v.numel(), v[1], m.dim(0), m.dim(1), m[1, 2]) == (3, 5, 2, 3, 6)
    # a first __init__ through the function itself still works, and only once
    empty = vk.__dict__["vec" + suffix].__new__(vk.__dict__["vec" + suffix])
    empty.__init__(2)
    assert empty.numel() == 2
    with pytest.raises(TypeError):
        empty.__init__(2)


def test_a_second_init_of_a_model_is_refused():
    out = child(f"""
        m = make("model")
        try:
            m.__init__({AFFINE!r})
        except TypeError as e:
            print(e)
        m.set(0, [0, 0], 1.0)
        m.run()
    """)
    assert out.splitlines()[-1] == "vekracore.model instance is already initialised: __init__ runs only once"


# ---- failed allocations at the fast path's boundary ----------------------------------------------

def test_failed_allocations_in_calls_that_match_nothing_raise():
    """Each allocation in turn fails (CPython's test hook), in calls that end in the listing of
    overloads: too many arguments, keywords, no matching types. None may end the process."""
    out = child("""
        import _testcapi
        x, y = vk.vecd(2), vk.vecs(2)
        calls = [lambda: vk.dot(x, x, x, x, x, x), lambda: vk.dot(x, k=x), lambda: vk.dot(x, y),
                 lambda: vk.vecd.__init__(x, 1), lambda: vk.scale(1, x)]
        def attempt(call, k):
            try:
                _testcapi.set_nomemory(k, k + 1)
                try:
                    call()
                finally:
                    _testcapi.remove_mem_hooks()
            except BaseException:
                pass
        for call in calls:
            for k in range(400):
                attempt(call, k)
        print("done")
    """)
    assert out == "done\n"


# ---- a text cut short ------------------------------------------------------------------------

@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer runtime reserves address space of its own")
@pytest.mark.parametrize("kind", KINDS)
def test_repr_under_a_memory_limit_raises_memory_error(kind):
    """The text of a long container outgrows the address space left; its repr must raise,
    never return the part written so far."""
    out = child(f"""
        import resource
        big = vk.vecs(12_000_000) if {kind!r} != "mat" else vk.mats(12_000_000, 1)
        obj = big[0:12_000_000] if {kind!r} == "view" else big
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        # the text is 276 MB: room for 256 MiB of it and a copy, not for the stream to grow to 512 MiB
        resource.setrlimit(resource.RLIMIT_AS, (used + (600 << 20), resource.RLIM_INFINITY))
        try:
            text = repr(obj)
            print("returned", len(text))
        except MemoryError:
            print("MemoryError")
    """)
    assert out == "MemoryError\n"


# ---- calls that match no overload ------------------------------------------------------------------

def short_form(obj):
    name = type(obj).__name__
    size = f"({obj.dim(0)}, {obj.dim(1)})" if name.startswith("mat") else str(obj.numel())
    return f"<vekracore.{name} of size {size}>"


def long_containers(suffix):
    """Containers just past the limit (64 elements or rows), and one just within it."""
    vec = vk.__dict__["vec" + suffix]
    mat = vk.__dict__["mat" + suffix]
    return [vec(65), vec(70)[2:67], mat(65, 1), mat(9, 9), mat(65, 0), mat(1, 100)], [vec(64), mat(8, 8), mat(64, 0)]


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_long_containers_show_short_in_the_listing(suffix):
    other = vk.vecs(2) if suffix != "s" else vk.vecd(2)
    longs, shorts = long_containers(suffix)
    for obj in longs:
        for f, args in ((vk.dot, (obj, other)), (vk.gemv, (1.0, 1.0, obj, other, obj)),
                        (method(vk.vecd, "__init__"), (vk.vecd.__new__(vk.vecd), obj)),
                        (method(vk.matd, "__init__"), (vk.matd.__new__(vk.matd), 2, obj)),
                        (method(vk.vecs, "dim"), (vk.vecs(1), obj)), (vk.dot, (other, other, other, obj))):
            fast = message(f, *args)
            assert short_form(obj) in fast
            # pybind11's own text with the repr of the long argument in short form
            assert fast == message(slow(f), *args).replace(repr(obj), short_form(obj))
        assert short_form(obj) in message(vk.vecd, obj)
    for obj in shorts:
        assert message(vk.dot, obj, other) == message(slow(vk.dot), obj, other)
        assert repr(obj) in message(vk.dot, obj, other)


def test_keywords_and_too_many_arguments_are_listed_like_the_chain():
    x, y = vk.vecd(2), vk.vecs(3)
    for f in (vk.dot, vk.gemv, vk.scale, method(vk.vecd, "numel"), method(vk.matd, "__init__")):
        for args, kwargs in (((x, y), {"a": x}), ((x,) * 6, {}), ((), {"b": y, "a": 1})):
            assert message(f, *args, **kwargs) == message(slow(f), *args, **kwargs)


def test_a_huge_bad_call_stays_small():
    x, y = vk.vecd(10 ** 7), vk.vecs(10 ** 7)
    text = message(vk.dot, x, y)
    assert text.endswith("Invoked with: <vekracore.vecd of size 10000000>, <vekracore.vecs of size 10000000>")
    assert len(text) < 4000


class Hook:
    """A number whose conversions all fail, counting how often they run."""

    calls = 0

    def _refuse(self):
        Hook.calls += 1
        raise TypeError("no")

    __float__ = __complex__ = __index__ = _refuse


def hook_calls(call):
    Hook.calls = 0
    with pytest.raises(TypeError):
        call()
    return Hook.calls


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_conversion_hooks_run_no_more_often_than_in_the_chain(suffix):
    vec, mat = vk.__dict__["vec" + suffix], vk.__dict__["mat" + suffix]
    v, A = vec(2), mat(2, 2)
    calls = {
        method(vec, "__setitem__"): (v, 0, Hook()), method(mat, "__setitem__"): (A, (0, Hook()), 1.0),
        method(vec, "__getitem__"): (v, Hook()), method(vec, "dim"): (v, Hook()), vk.scale: (Hook(), v),
        vk.axpy: (Hook(), v, v), vk.gemv: (Hook(), Hook(), A, v, v), vk.gemm: (1.0, Hook(), A, A, A),
    }
    for f, args in calls.items():
        chain = hook_calls(lambda: slow(f)(*args))
        assert chain > 0
        assert hook_calls(lambda: f(*args)) <= chain, f


def test_hooks_that_call_failing_operations_do_not_multiply():
    """A conversion that itself makes a failing call: each level costs what pybind11's chain
    costs, not twice that (which doubles again at every level)."""
    v = vk.vecd(2)

    class Nested:
        calls = 0

        def __init__(self, depth, call):
            self.depth, self.call = depth, call

        def __float__(self):
            Nested.calls += 1
            if self.depth:
                with pytest.raises(TypeError):
                    self.call(Nested(self.depth - 1, self.call), v)
            raise TypeError("no")

    counts = []
    for call in (vk.scale, slow(vk.scale)):
        Nested.calls = 0
        with pytest.raises(TypeError):
            call(Nested(3, call), v)
        counts.append(Nested.calls)
    assert counts[0] <= counts[1]


# ---- an instance keeps its class -------------------------------------------------------------

def test_no_instance_changes_class_by_any_route():
    """Every pair of the 13 classes, by attribute assignment, by object.__setattr__ and by the
    __class__ descriptor itself; a container made by vekra_numpy; an instance made by __new__
    alone; and the other way round, a foreign object given a library class. A route that is
    let through leaves an object read with another class's layout, so this runs in a child."""
    out = child("""
        import vekra_numpy as vn
        routes = [lambda o, c: setattr(o, "__class__", c),
                  lambda o, c: object.__setattr__(o, "__class__", c),
                  lambda o, c: vars(object)["__class__"].__set__(o, c)]
        def attempt(obj, target):
            for route in routes:
                try:
                    route(obj, target)
                    return "accepted"
                except TypeError:
                    pass
        wrong = []
        objects = {name: make(name) for name in names}
        objects["vector()"] = vn.vector([1.0, 2.0])
        objects["__new__"] = vk.vecd.__new__(vk.vecd)
        for name, obj in objects.items():
            before = type(obj)
            for target in names:
                if getattr(vk, target) is not before and attempt(obj, getattr(vk, target)):
                    wrong.append((name, target))
            if type(obj) is not before:
                wrong.append((name, "class changed"))
        class Empty:
            __slots__ = ()
        for target in names:
            if attempt(Empty(), getattr(vk, target)):
                wrong.append(("Empty", target))
        try:
            objects["vecs"].__class__ = vk.vecd
        except TypeError as e:
            print(e)
        print(wrong)
    """)
    assert out.splitlines()[-2:] == ["__class__ assignment: 'vekracore.vecs' objects cannot change their class", "[]"]


def test_other_attributes_still_fail_as_before():
    v = vk.vecd(2)
    with pytest.raises(AttributeError):
        v.extra = 1
    with pytest.raises(AttributeError):
        v.numel = 1


# ---- a method deleted from its class in the middle of a call ------------------------------------

@pytest.mark.parametrize("name", [k + s for s in "dz" for k in KINDS])
def test_a_hook_deleting_the_method_it_runs_in_gets_a_type_error(name):
    """A conversion hook deletes the class's __getitem__ / __setitem__ (the last reference to
    the function and its overload records) and fails: the call goes on to list the overloads."""
    out = child(f"""
        cls_name = {name!r}
        cls = getattr(vk, cls_name)
        class Key:
            def __index__(self):
                del cls.__getitem__
                raise RuntimeError("gone")
        class Value:
            def __float__(self):
                del cls.__setitem__
                raise RuntimeError("gone")
            __complex__ = __float__
        obj = make(cls_name)
        key = Key() if not cls_name.startswith("mat") else (Key(), 0)
        for call in (lambda: obj[key], lambda: obj.__setitem__((0, 0) if cls_name.startswith("mat") else 0, Value())):
            try:
                call()
                print("no error")
            except TypeError as e:
                print(str(e).split("(")[0], "Invoked with" in str(e))
        try:
            obj[0]
        except TypeError as e:
            print(e)
    """)
    assert out.splitlines() == ["__getitem__ True", "__setitem__ True",
                                f"'vekracore.{name}' object is not subscriptable"]


# ---- a second initialisation of the shared object --------------------------------------------------

def test_a_second_initialisation_is_refused_and_leaves_the_first_module_working(tmp_path):
    """Importing the same shared object under another path (a symlink, as a venv's lib64 is)
    fails with ImportError; the module already imported keeps working: operations, methods,
    element slots, constructors and the listing of a call that matches nothing."""
    link = tmp_path / os.path.basename(vk.__file__)
    os.symlink(os.path.realpath(vk.__file__), link)
    out = child(f"""
        import importlib.util, sys
        first = sys.modules.pop("vekracore")
        spec = importlib.util.spec_from_file_location("vekracore", {str(link)!r})
        try:
            importlib.util.module_from_spec(spec)
            print("imported twice")
        except ImportError as e:
            print(e)
        sys.modules["vekracore"] = first
        x = vk.vecd(2)
        x[0] = 1.5
        vk.scale(2.0, x)
        m = vk.matz(2, 2)
        m[1, 1] = 1j
        print(x[0], x.numel(), m[1, 1], vk.dot(x, x), vk.dot(x[0:1], x[0:1]))
        try:
            vk.dot(x, vk.vecs(2))
        except TypeError as e:
            print("dot(): incompatible" in str(e))
    """)
    assert out.splitlines() == [
        "vekracore is already initialised in this process; this shared object cannot be initialised a second time",
        "3.0 2 1j 9.0 9.0", "True"]
