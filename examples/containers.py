"""Vectors, views and matrices of every element type: create, write, slice, print."""
import vekracore as vk

for suffix, scalar in (("s", 1.5), ("d", 2.25), ("c", 1 - 2j), ("z", 0.5 + 3j)):
    v = getattr(vk, "vec" + suffix)(5)
    for i in range(v.numel()):
        v[i] = scalar * (i + 1)
    w = v[1:4]          # a view sharing v's elements
    w[0] = scalar * 10  # writes v[1]
    print(f"vec{suffix} with v[1] written through a view:")
    print(repr(v), end="")
    print(f"the view v[1:4] ({type(w).__name__}, {w.numel()} elements):")
    print(repr(w), end="")

    a = getattr(vk, "mat" + suffix)(2, 6)
    for r in range(a.dim(0)):
        for c in range(a.dim(1)):
            a[r, c] = scalar * (10 * r + c)
    print(f"mat{suffix}, element (1, 2) = {a[1, 2]}:")
    print(repr(a))
