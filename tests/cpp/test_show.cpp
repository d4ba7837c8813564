// The text form written by show.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <sstream>

#include "operations/show"
#include "types/Matrix"
#include "types/Vector"

using namespace Vekra;

template <class C>
std::string text(const C& x) {
  std::stringstream s;
  show(x, s);
  return s.str();
}

TEST(Show, VectorOfDoubles) {
  Vector<double> v(3);
  v[0] = 1;
  v[1] = -2.5;
  v[2] = 0.001;
  EXPECT_EQ(text(v),
            "Column vector of size: 3\n[1.00000000000000e+00]\n[-2.50000000000000e+00]\n[1.00000000000000e-03]\n");
  EXPECT_EQ(text(v[{1, 1}]), "Column vector of size: 0\n");
}

TEST(Show, FloatIsWidenedAndComplexHasNoSpace) {
  Vector<float> f(1);
  f[0] = 0.1f;
  EXPECT_EQ(text(f), "Column vector of size: 1\n[1.00000001490116e-01]\n");
  Vector<std::complex<double>> z(1);
  z[0] = {1, -2};
  EXPECT_EQ(text(z), "Column vector of size: 1\n[(1.00000000000000e+00,-2.00000000000000e+00)]\n");
}

TEST(Show, WideMatricesElideTheMiddle) {
  Matrix<double> a(2, 6);
  for (std::size_t i = 0; i < 2; ++i)
    for (std::size_t j = 0; j < 6; ++j) a[{i, j}] = double(6 * i + j + 1);
  EXPECT_EQ(text(a),
            "Matrix of size: (2, 6)\n"
            "[1.00000000000000e+00, 2.00000000000000e+00, 3.00000000000000e+00, ..., 6.00000000000000e+00]\n"
            "[7.00000000000000e+00, 8.00000000000000e+00, 9.00000000000000e+00, ..., 1.20000000000000e+01]\n");
  Matrix<float> four(1, 4);
  EXPECT_EQ(text(four),
            "Matrix of size: (1, 4)\n[0.00000000000000e+00, 0.00000000000000e+00, 0.00000000000000e+00, "
            "0.00000000000000e+00]\n");
  Matrix<float> column(2, 1);
  EXPECT_EQ(text(column), "Matrix of size: (2, 1)\n[0.00000000000000e+00]\n[0.00000000000000e+00]\n");
}

TEST(Show, EmptyShapes) {
  EXPECT_EQ(text(Matrix<double>(0, 7)), "Matrix of size: (0, 7)\n");
  EXPECT_EQ(text(Matrix<double>(2, 0)), "Matrix of size: (2, 0)\n[]\n[]\n");
}

TEST(Show, NonFiniteValuesArePadded) {
  Vector<double> v(2);
  v[0] = INFINITY;
  v[1] = -INFINITY;
  EXPECT_EQ(text(v), "Column vector of size: 2\n[           inf]\n[          -inf]\n");
  Vector<std::complex<float>> c(1);
  c[0] = {INFINITY, NAN};
  EXPECT_EQ(text(c), "Column vector of size: 1\n[     (inf,nan)]\n");
}
