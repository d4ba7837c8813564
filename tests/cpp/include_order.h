// The check shared by the include-order translation units: the library's least-squares solve
// (LAPACKE through Vekra::Blas) and a direct LAPACKE call with LAPACKE's own complex type, both
// in one translation unit. The includer has already included the library's headers and
// <lapacke.h> in its own order and names the test with VEKRA_INCLUDE_ORDER.
#pragma once

#include <gtest/gtest.h>

#include <complex>

TEST(IncludeOrder, VEKRA_INCLUDE_ORDER) {
  using C = std::complex<double>;
  // diag(2, 4i) z = (2 + 2i, 8): z = (1 + i, -2i).
  Vekra::Matrix<C> A(2, 2);
  A.get()[0] = C(2, 0);
  A.get()[3] = C(0, 4);
  Vekra::Vector<C> x(2);
  x.get()[0] = C(2, 2);
  x.get()[1] = C(8, 0);
  Vekra::ls(A, x);
  EXPECT_NEAR(std::abs(x.get()[0] - C(1, 1)), 0, 1e-12);
  EXPECT_NEAR(std::abs(x.get()[1] - C(0, -2)), 0, 1e-12);

  // The same system through LAPACKE directly, in whatever complex type it was given.
  lapack_complex_double a[4] = {lapack_make_complex_double(2, 0), lapack_make_complex_double(0, 0),
                                lapack_make_complex_double(0, 0), lapack_make_complex_double(0, 4)};
  lapack_complex_double b[2] = {lapack_make_complex_double(2, 2), lapack_make_complex_double(8, 0)};
  ASSERT_EQ(LAPACKE_zgels(LAPACK_COL_MAJOR, 'N', 2, 2, 1, a, 2, b, 2), 0);
  EXPECT_NEAR(std::abs(reinterpret_cast<const C*>(b)[1] - C(0, -2)), 0, 1e-12);
}
