// The library's headers before <lapacke.h>: including them defines nothing that changes what
// LAPACKE's header declares.
#include "operations/ls"
#include "types/Matrix"
#include "types/Vector"

#include <lapacke.h>

#include <complex>
#include <type_traits>

static_assert(!std::is_same_v<lapack_complex_double, std::complex<double>>,
              "the library's headers chose LAPACKE's complex type for its includer");

#define VEKRA_INCLUDE_ORDER LibraryFirst
#include "include_order.h"
