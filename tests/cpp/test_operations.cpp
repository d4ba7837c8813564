// The operations over the four element types: small hand-computed results, the shape checks
// and their exact messages, and every refusal (short operands, vector as A, sizes beyond the
// BLAS int, rank deficiency) leaving the operands as they were.
#include <gtest/gtest.h>

#include "utils/ElementTypes"

#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "operations/axpy"
#include "operations/copy"
#include "operations/dot"
#include "operations/gemm"
#include "operations/gemv"
#include "operations/ls"
#include "operations/matmul"
#include "operations/matvec"
#include "operations/scale"
#include "operations/sum"
#include "operations/swap"
#include "thrown.h"
#include "types/Matrix"
#include "types/Vector"
#include "types/VectorView"

using namespace Vekra;

namespace {

template <class C>
C filled(C c, std::initializer_list<double> values) {
  using Real = decltype(std::real(typename C::SampleType{}));
  std::size_t i = 0;
  for (double v : values) c.get()[i++] = typename C::SampleType(static_cast<Real>(v));
  return c;
}

template <class C>
std::vector<typename C::SampleType> elements(const C& c) {
  return std::vector<typename C::SampleType>(c.get(), c.get() + c.numel());
}

template <class T>
std::vector<T> of(std::initializer_list<double> values) {
  return std::vector<T>(values.begin(), values.end());
}

// Claims `n` elements it does not have (it holds one): only the size checks may look at it.
template <class T>
struct Oversized {
  using SampleType = T;
  std::size_t n;
  mutable T one{};
  T* get() const { return &one; }
  std::size_t numel() const { return n; }
  template <std::size_t N>
  std::size_t dim() const { return n; }
};

constexpr std::size_t tooBig = std::size_t{1} << 31;

}  // namespace

template <class T>
class Operations : public ::testing::Test {};
TYPED_TEST_SUITE(Operations, ElementTypesAs<::testing::Types>);

TYPED_TEST(Operations, LevelOneResults) {
  using T = TypeParam;
  Vector<T> x = filled(Vector<T>(3), {1, 2, 3});
  Vector<T> y = filled(Vector<T>(5), {10, 20, 30, 40, 50});
  EXPECT_EQ(&axpy(T(2), x, y), &y);
  EXPECT_EQ(elements(y), of<T>({12, 24, 36, 40, 50}));
  EXPECT_EQ(&sum(x, y), &y);
  EXPECT_EQ(elements(y), of<T>({13, 26, 39, 40, 50}));
  EXPECT_EQ(&scale(T(2), x), &x);
  EXPECT_EQ(elements(x), of<T>({2, 4, 6}));
  swap(x, y);
  EXPECT_EQ(elements(x), of<T>({13, 26, 39}));
  EXPECT_EQ(elements(y), of<T>({2, 4, 6, 40, 50}));
  Matrix<T> m(2, 3);
  EXPECT_EQ(&copy(x, m), &m);
  EXPECT_EQ(elements(m), of<T>({13, 26, 39, 0, 0, 0}));
  EXPECT_EQ(dot(x, y), T(13 * 2 + 26 * 4 + 39 * 6));
}

TYPED_TEST(Operations, ViewsTakePartAsTheirWindow) {
  using T = TypeParam;
  Vector<T> v = filled(Vector<T>(6), {1, 2, 3, 4, 5, 6});
  VectorView<T> w = v[{1, 4}];
  VectorView<T> u = v[{4, 6}];
  scale(T(10), w);
  EXPECT_EQ(elements(v), of<T>({1, 20, 30, 40, 5, 6}));
  EXPECT_EQ(dot(u, w), T(5 * 20 + 6 * 30));
  copy(u, w);
  EXPECT_EQ(elements(v), of<T>({1, 5, 6, 40, 5, 6}));
}

TYPED_TEST(Operations, ComplexProductsConjugateOnlyInHdot) {
  using T = TypeParam;
  if constexpr (isComplex<T>) {
    Vector<T> x(2), i(1), one(1);
    x.get()[0] = T(1, 2);
    x.get()[1] = T(3, -1);
    i.get()[0] = T(0, 1);
    one.get()[0] = T(1, 0);
    EXPECT_EQ(dot(x, x), T(5, -2));
    EXPECT_EQ(hdot(x, x), T(15, 0));
    EXPECT_EQ(hdot(i, one), T(0, -1));
    EXPECT_EQ(hdot(one, i), T(0, 1));
    Vector<T> y(1);
    axpy(T(0, 1), filled(Vector<T>(1), {1}), y);
    EXPECT_EQ(y.get()[0], T(0, 1));
  }
}

TYPED_TEST(Operations, ShortSecondOperandIsRefusedUntouched) {
  using T = TypeParam;
  Vector<T> x = filled(Vector<T>(4), {1, 2, 3, 4});
  Matrix<T> y = filled(Matrix<T>(3, 1), {7, 8, 9});
  const std::string tail = ", the second operand holds 3 elements, fewer than the 4 of the first operand";
  EXPECT_EQ(thrownBy([&] { axpy(T(1), x, y); }), "In axpy" + tail);
  EXPECT_EQ(thrownBy([&] { sum(x, y); }), "In sum" + tail);
  EXPECT_EQ(thrownBy([&] { copy(x, y); }), "In copy" + tail);
  EXPECT_EQ(thrownBy([&] { swap(x, y); }), "In swap" + tail);
  EXPECT_EQ(thrownBy([&] { dot(x, y); }), "In dot" + tail);
  if constexpr (isComplex<T>) {
    EXPECT_EQ(thrownBy([&] { hdot(x, y); }), "In hdot" + tail);
  }
  EXPECT_EQ(elements(x), of<T>({1, 2, 3, 4}));
  EXPECT_EQ(elements(y), of<T>({7, 8, 9}));
}

TYPED_TEST(Operations, GemvResultsAndMessages) {
  using T = TypeParam;
  const Matrix<T> A = filled(Matrix<T>(2, 3), {1, 4, 2, 5, 3, 6});
  Vector<T> x = filled(Vector<T>(3), {1, 1, 1});
  Vector<T> y = filled(Vector<T>(2), {1, 1});
  EXPECT_EQ(&gemv(T(2), T(3), A, x, y), &y);
  EXPECT_EQ(elements(y), of<T>({15, 33}));
  Matrix<T> ym = filled(Matrix<T>(2, 2), {1, 1, 9, 9});  // only its first column takes part
  EXPECT_EQ(&matvec(A, x, ym), &ym);
  EXPECT_EQ(elements(ym), of<T>({7, 16, 9, 9}));

  const std::string prefix = "In gemv expression y = aAx + by, ";
  Vector<T> x2(2), y3 = filled(Vector<T>(3), {4, 5, 6});
  EXPECT_EQ(thrownBy([&] { matvec(A, x2, y); }),
            prefix + "matrix A dimension 1: 3, doesn't match vector x dimension 0: 2");
  EXPECT_EQ(thrownBy([&] { gemv(T(1), T(0), A, x, y3); }),
            prefix + "matrix A dimension 0: 2, doesn't match vector y dimension 0: 3");
  EXPECT_EQ(thrownBy([&] { gemv(T(1), T(0), A, x2, y3); }),
            prefix + "matrix A dimension 1: 3, doesn't match vector x dimension 0: 2");
  EXPECT_EQ(elements(y3), of<T>({4, 5, 6}));
  Matrix<T> noColumn(3, 0);
  EXPECT_EQ(thrownBy([&] { matvec(A, noColumn, y); }),
            prefix + "vector x dimension 0: 3, exceeds its number of elements: 0");
  EXPECT_EQ(thrownBy([&] { matvec(x, x, y); }), prefix + "A must be a matrix, not a vector or view");
  VectorView<T> view = x[{0, 3}];
  EXPECT_EQ(thrownBy([&] { gemv(T(1), T(1), view, x, y); }), prefix + "A must be a matrix, not a vector or view");
  EXPECT_EQ(elements(y), of<T>({15, 33}));
}

TYPED_TEST(Operations, GemmResultsAndMessagesInOrder) {
  using T = TypeParam;
  const Matrix<T> A = filled(Matrix<T>(2, 3), {1, 4, 2, 5, 3, 6});
  const Matrix<T> X = filled(Matrix<T>(3, 2), {1, 0, 1, 0, 1, 1});
  Matrix<T> Y = filled(Matrix<T>(2, 2), {1, 1, 1, 1});
  EXPECT_EQ(&gemm(T(2), T(1), A, X, Y), &Y);
  EXPECT_EQ(elements(Y), of<T>({9, 21, 11, 23}));
  EXPECT_EQ(&matmul(A, X, Y), &Y);
  EXPECT_EQ(elements(Y), of<T>({13, 31, 16, 34}));

  const std::string prefix = "In gemm expression Y = aAX + bY, ";
  Matrix<T> Y32(3, 2), Y23(2, 3), X22(2, 2), X24(2, 4), Y33(3, 3);
  EXPECT_EQ(thrownBy([&] { gemm(T(1), T(0), A, X, Y32); }),
            prefix + "matrix A dimension 0: 2, doesn't match matrix Y dimension 0: 3");
  EXPECT_EQ(thrownBy([&] { matmul(A, X, Y23); }),
            prefix + "matrix X dimension 1: 2, doesn't match matrix Y dimension 1: 3");
  EXPECT_EQ(thrownBy([&] { matmul(A, X22, Y); }),
            prefix + "matrix A dimension 1: 3, doesn't match matrix X dimension 0: 2");
  EXPECT_EQ(thrownBy([&] { matmul(A, X24, Y33); }),
            prefix + "matrix A dimension 0: 2, doesn't match matrix Y dimension 0: 3");
  EXPECT_EQ(elements(Y), of<T>({13, 31, 16, 34}));
}

// The products' output may not share an element with an input; reading the same operand
// twice, and windows that merely touch, are fine.
TYPED_TEST(Operations, ProductsRefuseAnOutputOverlappingAnInput) {
  using T = TypeParam;
  const std::vector<T> a = of<T>({1, 4, 7, 2, 5, 8, 3, 6, 9});  // rows [1 2 3], [4 5 6], [7 8 9]
  Matrix<T> A = filled(Matrix<T>(3, 3), {1, 4, 7, 2, 5, 8, 3, 6, 9});
  Vector<T> v = filled(Vector<T>(7), {1, 2, 3, 4, 5, 6, 7});
  const std::vector<T> vBefore = elements(v);
  const std::string gemvPrefix = "In gemv expression y = aAx + by, ";
  const std::string tail = " in memory: the output must not share elements with an input";
  Vector<T> w = filled(Vector<T>(3), {1, 2, 3});
  EXPECT_EQ(thrownBy([&] { gemv(T(1), T(0), A, w, w); }), gemvPrefix + "vector y overlaps vector x" + tail);
  EXPECT_EQ(elements(w), of<T>({1, 2, 3}));
  VectorView<T> x = v[{0, 3}], y = v[{2, 5}], after = v[{3, 6}];
  EXPECT_EQ(thrownBy([&] { matvec(A, x, y); }), gemvPrefix + "vector y overlaps vector x" + tail);
  EXPECT_EQ(thrownBy([&] { gemv(T(1), T(0), A, y, x); }), gemvPrefix + "vector y overlaps vector x" + tail);
  EXPECT_EQ(thrownBy([&] { matvec(A, x, A); }), gemvPrefix + "vector y overlaps matrix A" + tail);
  EXPECT_EQ(thrownBy([&] { matvec(A, A, A); }), gemvPrefix + "vector y overlaps matrix A" + tail);
  EXPECT_EQ(elements(v), vBefore);
  EXPECT_EQ(elements(A), a);
  matvec(A, x, after);  // [3, 6) only touches [0, 3)
  EXPECT_EQ(elements(v), of<T>({1, 2, 3, 4 + 14, 5 + 32, 6 + 50, 7}));
  Vector<T> column(3);
  gemv(T(1), T(0), A, A, column);  // A read as matrix and as x
  EXPECT_EQ(elements(column), of<T>({30, 66, 102}));

  const std::string gemmPrefix = "In gemm expression Y = aAX + bY, ";
  Matrix<T> B = filled(Matrix<T>(3, 3), {1, 4, 7, 2, 5, 8, 3, 6, 9});
  EXPECT_EQ(thrownBy([&] { gemm(T(1), T(0), B, B, B); }), gemmPrefix + "matrix Y overlaps matrix A" + tail);
  EXPECT_EQ(thrownBy([&] { matmul(A, B, B); }), gemmPrefix + "matrix Y overlaps matrix X" + tail);
  Matrix<T> alias = B;  // a copy shares the buffer
  EXPECT_EQ(thrownBy([&] { matmul(alias, A, B); }), gemmPrefix + "matrix Y overlaps matrix A" + tail);
  EXPECT_EQ(elements(B), a);
  Matrix<T> Y(3, 3);
  gemm(T(1), T(0), B, B, Y);
  EXPECT_EQ(elements(Y), of<T>({30, 66, 102, 36, 81, 126, 42, 96, 150}));
}

TYPED_TEST(Operations, LeastSquaresAndItsRefusals) {
  using T = TypeParam;
  const Matrix<T> A = filled(Matrix<T>(2, 2), {2, 0, 0, 4});
  Vector<T> x = filled(Vector<T>(3), {2, 4, 9});
  ls(A, x);
  EXPECT_NEAR(std::abs(x.get()[0] - T(1)), 0, 1e-6);
  EXPECT_NEAR(std::abs(x.get()[1] - T(1)), 0, 1e-6);
  EXPECT_EQ(x.get()[2], T(9));

  const Matrix<T> tall = filled(Matrix<T>(3, 2), {1, 0, 1, 0, 1, 1});
  Vector<T> shortX = filled(Vector<T>(2), {1, 1});
  EXPECT_EQ(thrownBy([&] { ls(tall, shortX); }),
            "In ls, x holds 2 elements, fewer than the 3 that matrix A of size (3, 2) needs");
  EXPECT_EQ(elements(tall), of<T>({1, 0, 1, 0, 1, 1}));
  EXPECT_EQ(elements(shortX), of<T>({1, 1}));

  const Matrix<T> deficient = filled(Matrix<T>(3, 2), {1, 2, 3, 0, 0, 0});
  Vector<T> rhs = filled(Vector<T>(3), {1, 2, 3});
  EXPECT_EQ(thrownBy([&] { ls(deficient, rhs); }),
            "In ls, LAPACKE gels returned status 2: matrix A is rank-deficient, x holds no solution");
}

// Every failing status puts A and x back as they were, bit for bit; x's elements past the
// max(m, n) that gels uses were never touched.
TYPED_TEST(Operations, FailedLeastSquaresLeaveTheOperandsAsTheyWere) {
  using T = TypeParam;
  using R = decltype(std::abs(T()));
  const T nan(std::numeric_limits<R>::quiet_NaN());
  struct Case {
    std::size_t rows, columns;
    std::vector<T> a, x;
    std::string message;
  };
  const std::string deficient = "LAPACKE gels returned status 2: matrix A is rank-deficient, x holds no solution";
  const std::vector<Case> cases = {
      {3, 2, of<T>({1, 2, 3, 0, 0, 0}), of<T>({1, 2, 3, 4}), deficient},
      {2, 3, of<T>({1, 0, 2, 0, 3, 0}), of<T>({1, 2, 3, 4}), deficient},
      {2, 2, {T(1), nan, T(0), T(1)}, of<T>({1, 2, 3}), "matrix A holds a NaN"},
      {3, 2, of<T>({1, 0, 1, 0, 1, 1}), {T(1), T(2), nan, T(4)}, "x holds a NaN among its first 3 elements"},
      {2, 2, {nan, T(0), T(0), nan}, {nan, T(0), T(0)}, "matrix A holds a NaN"},
  };
  for (const Case& c : cases) {
    Matrix<T> A(c.rows, c.columns);
    std::copy(c.a.begin(), c.a.end(), A.get());
    Vector<T> v(c.x.size() + 2);  // x is a window with one sentinel either side
    v.get()[0] = v.get()[c.x.size() + 1] = T(-7);
    VectorView<T> x = v[{1, c.x.size() + 1}];
    std::copy(c.x.begin(), c.x.end(), x.get());
    const std::vector<T> aBefore = elements(A), vBefore = elements(v);
    EXPECT_EQ(thrownBy([&] { ls(A, x); }), "In ls, " + c.message);
    EXPECT_EQ(std::memcmp(A.get(), aBefore.data(), aBefore.size() * sizeof(T)), 0) << c.message;
    EXPECT_EQ(std::memcmp(v.get(), vBefore.data(), vBefore.size() * sizeof(T)), 0) << c.message;
  }
  // A NaN beyond the elements gels uses plays no part.
  const Matrix<T> A = filled(Matrix<T>(2, 2), {2, 0, 0, 4});
  Vector<T> x = filled(Vector<T>(3), {2, 4, 0});
  x.get()[2] = nan;
  ls(A, x);
  EXPECT_NEAR(std::abs(x.get()[1] - T(1)), 0, 1e-6);
}

TYPED_TEST(Operations, SizesBeyondTheBlasIntAreRefused) {
  using T = TypeParam;
  EXPECT_EQ(detail::blasInt("op", "count", tooBig - 1), 2147483647);
  const std::string limit = ": 2147483648 exceeds the 32-bit BLAS/LAPACK size limit 2147483647";
  Oversized<T> huge{tooBig};
  EXPECT_EQ(thrownBy([&] { scale(T(1), huge); }), "In scale, element count" + limit);
  EXPECT_EQ(thrownBy([&] { copy(huge, huge); }), "In copy, element count" + limit);
  EXPECT_EQ(thrownBy([&] { dot(huge, huge); }), "In dot, element count" + limit);
  const Matrix<T> wide(tooBig, 0), empty(0, 0);
  EXPECT_EQ(thrownBy([&] { matvec(wide, empty, huge); }), "In gemv, matrix A dimension 0" + limit);
  EXPECT_EQ(thrownBy([&] { ls(wide, huge); }), "In ls, matrix A dimension 0" + limit);
  Matrix<T> wideY(tooBig, 0);
  EXPECT_EQ(thrownBy([&] { matmul(wide, empty, wideY); }), "In gemm, matrix A dimension 0" + limit);
}

// The one message builder: pieces in order without separators, sizes unsigned and statuses
// signed (a negative status must not wrap), thrown as the type asked for.
TEST(ErrorMessages, JoinPiecesAndThrowTheChosenType) {
  EXPECT_EQ(thrownBy([] { detail::fail("status ", -3, " of ", SIZE_MAX, std::string(" ok")); }),
            "status -3 of 18446744073709551615 ok");
  EXPECT_THROW(detail::fail<std::out_of_range>("input number ", std::size_t(2)), std::out_of_range);
}
