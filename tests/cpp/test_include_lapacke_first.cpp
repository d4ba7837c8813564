// <lapacke.h> (with its default complex types) before the library's headers.
#include <lapacke.h>

#include "operations/ls"
#include "types/Matrix"
#include "types/Vector"

#define VEKRA_INCLUDE_ORDER LapackeFirst
#include "include_order.h"
