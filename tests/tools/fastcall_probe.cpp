// A module that binds one function through the fast call path in the way FASTCALL_PROBE names
// (an environment variable read when the module is imported), for the tests of what `install`
// refuses at import. "fits" binds it as vekracore binds its functions.
#include <pybind11/pybind11.h>

#include <cstdlib>
#include <string>

#include "fastcall/Registry"

namespace py = pybind11;

namespace {

double twice(double x) { return 2 * x; }
double thrice(double x) { return 3 * x; }

}  // namespace

PYBIND11_MODULE(fastcall_probe, m) {
  const char* chosen = std::getenv("FASTCALL_PROBE");
  const std::string probe = chosen ? chosen : "fits";
  if (probe == "fits") {
    m.def("f", &twice);
  } else if (probe == "named") {
    m.def("f", &twice, py::arg("x"));
  } else if (probe == "default") {
    m.def("f", &twice, py::arg("x") = 1.0);
  } else if (probe == "policy") {
    m.def("f", &twice, py::return_value_policy::copy);
  } else if (probe == "order") {
    m.def("f", &thrice);
    m.def("f", &twice);
  } else if (probe == "missing") {
    m.def("f", &twice);
    m.def("f", &thrice);
  }
  fastcall::add<&twice, true>(m, "f");
  if (probe == "order") fastcall::add<&thrice, true>(m, "f");
  fastcall::install();
}
