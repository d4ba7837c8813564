// The vekracore extension module: module entry, the element-type and container lists, and
// the registration of the model class, the container classes and every operation overload.
// Registration order is part of the interface (overload lists, first-pass matches).
#include <pybind11/complex.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <boost/hana.hpp>
#include <complex>
#include <sstream>
#include <string>

#include "operations/axpy"
#include "operations/copy"
#include "operations/dot"
#include "operations/gemm"
#include "operations/gemv"
#include "operations/ls"
#include "operations/matmul"
#include "operations/matvec"
#include "operations/scale"
#include "operations/show"
#include "operations/sum"
#include "operations/swap"
#include "types/Matrix"
#include "types/Model"
#include "types/Vector"
#include "types/VectorView"

namespace py = pybind11;
namespace hana = boost::hana;

namespace {

using namespace Vekra;

// Element types with their class-name suffixes, in registration order.
constexpr auto typeSet = hana::make_tuple(
    hana::make_pair(hana::type_c<float>, BOOST_HANA_STRING("s")),
    hana::make_pair(hana::type_c<double>, BOOST_HANA_STRING("d")),
    hana::make_pair(hana::type_c<std::complex<float>>, BOOST_HANA_STRING("c")),
    hana::make_pair(hana::type_c<std::complex<double>>, BOOST_HANA_STRING("z")));

constexpr auto operationsSet = hana::transform(typeSet, hana::first);

template <class T>
constexpr auto containerSet = hana::tuple_t<Vector<T>, VectorView<T>, Matrix<T>>;

// ---- container classes ----------------------------------------------------------------

template <class C>
std::string repr(const C& x) {
  std::stringstream stream;
  show(x, stream);
  return stream.str();
}

template <class C>
std::size_t vectorDim(const C& x, std::size_t idx) {
  if (idx != 0) detail::fail("dimension ", idx, " invalid for vector");
  return x.template dim<0>();
}

// Python slice -> view; only unit steps are supported.
template <class C>
VectorView<typename C::SampleType> slice(C& x, const py::slice& s) {
  Py_ssize_t start = 0, stop = 0, step = 0;
  if (PySlice_Unpack(s.ptr(), &start, &stop, &step) < 0) throw py::error_already_set();
  PySlice_AdjustIndices(static_cast<Py_ssize_t>(x.numel()), &start, &stop, step);
  if (static_cast<std::size_t>(step) > 1) detail::fail("stepsizes larger than 1 invalid for vector");
  return x[{static_cast<std::size_t>(start), static_cast<std::size_t>(stop)}];
}

// Methods shared by vectors and views, from numel on.
template <class C, class Cls>
void defineVectorMethods(Cls& cls) {
  using T = typename C::SampleType;
  cls.def("numel", &C::numel)
      .def("dim", &vectorDim<C>)
      .def("__getitem__", [](C& x, std::size_t idx) -> T { return x[idx]; })
      .def("__getitem__", &slice<C>)
      .def("__setitem__", [](C& x, std::size_t idx, T value) { x[idx] = value; })
      .def("__repr__", &repr<C>);
}

// The view class exists before any method is defined, so that the slice overloads show the
// view class as their result.
template <class T>
void registerVectorAndView(py::module_& m, const std::string& suffix) {
  py::class_<Vector<T>> vec(m, ("vec" + suffix).c_str());
  py::class_<VectorView<T>> view(m, ("view" + suffix).c_str());
  vec.def(py::init<std::size_t>());
  defineVectorMethods<Vector<T>>(vec);
  defineVectorMethods<VectorView<T>>(view);
}

template <class T>
void registerMatrix(py::module_& m, const std::string& suffix) {
  using M = Matrix<T>;
  py::class_<M>(m, ("mat" + suffix).c_str())
      .def(py::init<std::size_t, std::size_t>())
      .def("dim",
           [](const M& x, std::size_t idx) {
             if (idx > 1) detail::fail("dimension ", idx, " invalid for matrix");
             return idx == 0 ? x.template dim<0>() : x.template dim<1>();
           })
      .def("numel", &M::numel)
      .def("__getitem__", [](M& x, std::pair<std::size_t, std::size_t> idx) -> T { return x[idx]; })
      .def("__setitem__", [](M& x, std::pair<std::size_t, std::size_t> idx, T value) { x[idx] = value; })
      .def("__repr__", &repr<M>);
}

// ---- model class ------------------------------------------------------------------------

// Element access for float tensors; a number beyond the count raises IndexError, a tensor
// of another element type RuntimeError (tests/python/test_model.py).
void setModelInput(Onnx::Model& model, std::size_t inputIdx, std::vector<int64_t> location,
                   float value) {
  model.set<float>(inputIdx, location, value);
}

float getModelOutput(Onnx::Model& model, std::size_t outputIdx, std::vector<int64_t> location) {
  return model.get<float>(outputIdx, location);
}

void registerModel(py::module_& m) {
  py::class_<Onnx::Model>(m, "model")
      .def(py::init<const std::string&>())
      .def("run", &Onnx::Model::run)
      .def("set", &setModelInput)
      .def("get", &getModelOutput);
}

// ---- operations -------------------------------------------------------------------------
// One overload per element type T and container kinds C1, C2, C3, appended in this order:
//   scale(C1); per C2: sum dot copy swap axpy [hdot if complex] [ls if C1 is a matrix];
//   per C3: [gemm matmul if all three are matrices] matvec gemv.

template <class C1>
void registerFirst(py::module_& m) {
  m.def("scale", &Vekra::scale<C1>, "scale an object");
}

template <class C1, class C2>
void registerPair(py::module_& m) {
  m.def("sum", &Vekra::sum<C1, C2>, "add objects");
  m.def("dot", &Vekra::dot<C1, C2>, "dot product");
  m.def("copy", &Vekra::copy<C1, C2>, "copy an object into another");
  m.def("swap", &Vekra::swap<C1, C2>, "swap objects into another");
  m.def("axpy", &Vekra::axpy<C1, C2>, "axpy objects");
  if constexpr (isComplex<typename C1::SampleType>)
    m.def("hdot", &Vekra::hdot<C1, C2>, "hermetian dot product");
  if constexpr (isMatrix<C1>) m.def("ls", &Vekra::ls<C1, C2>, "ls");
}

// The vector and view kinds in A's place are registered too (keeping the overload order);
// gemv rejects them with a message of its own.
template <class C1, class C2, class C3>
void registerTriple(py::module_& m) {
  if constexpr (isMatrix<C1> && isMatrix<C2> && isMatrix<C3>) {
    m.def("gemm", &Vekra::gemm<C1, C2, C3>, "gemm");
    m.def("matmul", &Vekra::matmul<C1, C2, C3>, "matmul");
  }
  m.def("matvec", &Vekra::matvec<C1, C2, C3>, "matvec");
  m.def("gemv", &Vekra::gemv<C1, C2, C3>, "gemv");
}

template <class T>
void registerOps(py::module_& m) {
  hana::for_each(containerSet<T>, [&](auto c1) {
    using C1 = typename decltype(c1)::type;
    registerFirst<C1>(m);
    hana::for_each(containerSet<T>, [&](auto c2) {
      using C2 = typename decltype(c2)::type;
      registerPair<C1, C2>(m);
      hana::for_each(containerSet<T>, [&](auto c3) {
        using C3 = typename decltype(c3)::type;
        registerTriple<C1, C2, C3>(m);
      });
    });
  });
}

}  // namespace

PYBIND11_MODULE(vekracore, m) {
  registerModel(m);
  hana::for_each(typeSet, [&](auto entry) {
    using T = typename decltype(+hana::first(entry))::type;
    const std::string suffix = hana::to<const char*>(hana::second(entry));
    registerVectorAndView<T>(m, suffix);
    registerMatrix<T>(m, suffix);
  });
  hana::for_each(operationsSet, [&](auto t) {
    using T = typename decltype(t)::type;
    registerOps<T>(m);
  });
}
