"""The fast call path's cache of first-pass winners, at and beyond its capacity.

The cache is keyed by the exact types of the arguments and keeps each type it has seen alive,
so a type made and dropped in a loop can never hand its address (and its remembered winner)
to another. Every outcome must equal pybind11's own dispatcher's.
"""
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
