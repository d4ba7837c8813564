// y <- 2 A x + y with A = [[1, 2, 3], [4, 5, 6]], x = [1, 1, 1], y = [1, -1], through the
// installed headers; prints y in the library's text form.
#include <cstddef>
#include <iostream>

#include "operations/gemv"
#include "operations/show"
#include "types/Matrix"
#include "types/Vector"

int main() {
  Vekra::Matrix<double> A(2, 3);
  for (std::size_t i = 0; i < 2; ++i)
    for (std::size_t j = 0; j < 3; ++j) A[{i, j}] = static_cast<double>(3 * i + j + 1);
  Vekra::Vector<double> x(3), y(2);
  for (std::size_t i = 0; i < 3; ++i) x[i] = 1.0;
  y[0] = 1.0;
  y[1] = -1.0;
  Vekra::gemv(2.0, 1.0, A, x, y);
  Vekra::show(y, std::cout);
  return 0;
}
