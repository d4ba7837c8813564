"""A matrix-vector product, a matrix product and a least-squares line fit with vekracore."""
import vekracore as vk


def matrix(rows):
    m = vk.matd(len(rows), len(rows[0]))
    for i, row in enumerate(rows):
        for j, value in enumerate(row):
            m[i, j] = value
    return m


def vector(values):
    v = vk.vecd(len(values))
    for i, value in enumerate(values):
        v[i] = value
    return v


A = matrix([[1, 2, 3], [4, 5, 6]])
x = vector([1, 1, 1])
y = vector([1, 1])
vk.gemv(2.0, 3.0, A, x, y)  # y <- 2 A x + 3 y
print("2 A x + 3 y, with A = [[1, 2, 3], [4, 5, 6]], x = [1, 1, 1], y = [1, 1]:")
print(repr(y))

X = matrix([[1, 0], [0, 1], [1, 1]])
Y = vk.matd(2, 2)
vk.matmul(A, X, Y)  # Y <- A X + Y, Y starts at zero
print("A X, with X = [[1, 0], [0, 1], [1, 1]]:")
print(repr(Y))

# Fit y = c0 + c1 t through four points: ls overwrites the design matrix and the data.
t, data = [0.0, 1.0, 2.0, 3.0], [1.1, 2.9, 5.2, 6.8]
design = matrix([[1.0, ti] for ti in t])
rhs = vector(data)
vk.ls(design, rhs)
print(f"least-squares line through {list(zip(t, data))}:")
print(f"  y = {rhs[0]:.4f} + {rhs[1]:.4f} t, residual sum of squares {rhs[2] ** 2 + rhs[3] ** 2:.4f}")
