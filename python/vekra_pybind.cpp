// The vekracore extension module: module entry, the element-type and container lists, and
// the registration of the model class, the container classes and every operation overload.
// Registration order is part of the interface (overload lists, first-pass matches). Every
// operation and method also gets the fast call path of python/fastcall.
#include <pybind11/complex.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <boost/hana.hpp>
#include <array>
#include <complex>
#include <cstdint>
#include <ios>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "BoundClasses"
#include "InterpreterLock"
#include "RealScalar"
#include "Text"
#include "fastcall/Registry"
#include "fastcall/Overload"
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
#include "utils/ElementTypes"

namespace py = pybind11;
namespace hana = boost::hana;

namespace {

using namespace Vekra;

// Element types with their class-name suffixes, in registration order.
template <class... E>
constexpr auto typeSetOf(ElementTypeList<E...>) {
  return hana::make_tuple(hana::make_pair(hana::type_c<typename E::type>, hana::string_c<E::suffix>)...);
}

constexpr auto typeSet = typeSetOf(ElementTypes{});

constexpr auto operationsSet = hana::transform(typeSet, hana::first);

template <class T>
constexpr auto containerSet = hana::tuple_t<Vector<T>, VectorView<T>, Matrix<T>>;

// Registers one operation overload with pybind11 and with the fast path.
template <auto F>
void defOp(py::module_& m, const char* name, const char* doc) {
  m.def(name, F, doc);
  fastcall::add<F, true>(m, name);
}

// The same for a method. Index arguments load or not by value (a negative int does not), so
// the first pass is walked every time rather than remembered.
template <auto F, class Cls>
Cls& defMethod(Cls& cls, const char* name) {
  cls.def(name, F);
  fastcall::add<F, false>(cls, name);
  return cls;
}

// ---- model class ------------------------------------------------------------------------

// A tensor location as model.set and model.get take it, loaded by pybind11's list caster (any
// sequence but str and bytes, its length asked for first, each index an int64), so it shows
// and loads as a List[int] does; up to inlineRank indices are kept in place, more on the heap.
class Location {
 public:
  using value_type = int64_t;
  void clear() {
    m_size = 0;
    m_heap.clear();
  }
  void reserve(std::size_t n) {
    if (n > inlineRank) m_heap.reserve(n);
  }
  void push_back(int64_t index) {
    if (m_size < inlineRank) {
      m_inline[m_size] = index;
    } else {
      if (m_size == inlineRank) m_heap.assign(m_inline.begin(), m_inline.end());
      m_heap.push_back(index);
    }
    ++m_size;
  }
  const int64_t* data() const { return m_size <= inlineRank ? m_inline.data() : m_heap.data(); }
  std::size_t size() const { return m_size; }

 private:
  static constexpr std::size_t inlineRank = 8;
  std::array<int64_t, inlineRank> m_inline{};
  std::vector<int64_t> m_heap;
  std::size_t m_size = 0;
};

}  // namespace

namespace pybind11::detail {
// An exact list or tuple of exact ints (no Python code can run while it is read) is read
// directly; its outcome is the list caster's: every index, or a refusal when one overflows.
// It shows as "List[int]" in signatures, whatever pybind11's list caster calls itself.
template <>
struct type_caster<Location> : list_caster<Location, int64_t> {
  static constexpr auto name = const_name("List[int]");

  bool load(handle src, bool convert) {
    PyObject* seq = src.ptr();
    const bool list = PyList_CheckExact(seq);
    if (!list && !PyTuple_CheckExact(seq)) return list_caster::load(src, convert);
    PyObject** items = list ? PySequence_Fast_ITEMS(seq) : &PyTuple_GET_ITEM(seq, 0);
    const Py_ssize_t n = Py_SIZE(seq);
    for (Py_ssize_t i = 0; i < n; ++i)
      if (!PyLong_CheckExact(items[i])) return list_caster::load(src, convert);
    value.clear();
    value.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      const long index = PyLong_AsLong(items[i]);
      if (index == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
      }
      value.push_back(index);
    }
    return true;
  }
};
// A matrix element's (row, column) index loads as pybind11's pair caster loads it and shows
// as "Tuple[int, int]" in signatures.
template <>
struct type_caster<std::pair<std::size_t, std::size_t>> : tuple_caster<std::pair, std::size_t, std::size_t> {
  static constexpr auto name = const_name("Tuple[int, int]");
};
}  // namespace pybind11::detail

namespace {

// A model made with Options::unlockedRuns (vekra_numpy.load_model's) runs without the
// interpreter lock: released first, then the model's run lock taken inside run(), and the
// interpreter lock retaken only once run() has returned and let go of the model's lock. Any
// other model runs holding the interpreter lock throughout.
void runModel(Onnx::Model& model) {
  if (model.unlockedRuns())
    Python::withoutLock([&model] { model.run(); });
  else
    model.run();
}

// Element access for float tensors; a number beyond the count raises IndexError, a tensor
// of another element type RuntimeError (tests/python/test_model.py).
void setModelInput(Onnx::Model& model, std::size_t inputIdx, const Location& location, float value) {
  model.set<float>(inputIdx, location.data(), location.size(), value);
}

float getModelOutput(Onnx::Model& model, std::size_t outputIdx, const Location& location) {
  return model.get<float>(outputIdx, location.data(), location.size());
}

// ONNX Runtime's messages quote the model's path, which need not be UTF-8 (a bytes path);
// pybind11 would raise such a RuntimeError with an empty message. Its bytes that are not
// UTF-8 show as replacement characters; every other exception is left to pybind11.
void translateUnreadableMessages(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::runtime_error& e) {
    if (typeid(e) != typeid(std::runtime_error) && dynamic_cast<const Onnx::Exception*>(&e) == nullptr) throw;
    const std::string_view what = e.what();
    PyObject* strict = Python::decodeUtf8(what, nullptr);
    if (strict != nullptr) {
      Py_DECREF(strict);
      throw;
    }
    PyErr_Clear();
    PyObject* readable = Python::decodeUtf8(what, "replace");
    if (readable == nullptr) return;  // MemoryError set
    PyErr_SetObject(PyExc_RuntimeError, readable);
    Py_DECREF(readable);
  }
}

void registerModel(py::module_& m) {
  py::register_local_exception_translator(&translateUnreadableMessages);
  py::class_<Onnx::Model> cls(m, "model", py::is_final());
  cls.def(py::init<const std::string&>());
  defMethod<&runModel>(cls, "run");
  defMethod<&setModelInput>(cls, "set");
  defMethod<&getModelOutput>(cls, "get");
}

// ---- container classes ----------------------------------------------------------------

// The stream throws when it cannot grow, so that a failed allocation ends in MemoryError and
// never in a text cut short.
template <class C>
std::string repr(const C& x) {
  std::stringstream stream;
  stream.exceptions(std::ios::badbit);
  try {
    show(x, stream);
  } catch (const std::ios_base::failure&) {
    throw std::bad_alloc();
  }
  return stream.str();
}

// A container in the listing of a call that matches no overload: its repr, or for more than
// 64 elements or rows (a long text, slow to build) "<vekracore.vecd of size 10000000>" or
// "<vekracore.matd of size (3000, 4000)>". An instance without a container shows as pybind11
// shows an argument whose repr raises.
constexpr std::size_t longArgument = 64;

template <class C>
bool isLongArgument(PyObject* src) {
  const C* x = Vekra::Python::heldObject<C>(src);
  return x != nullptr && (x->numel() > longArgument || x->template dim<0>() > longArgument);
}

template <class C>
std::string argumentText(PyObject* src) {
  const C* x = Vekra::Python::heldObject<C>(src);
  if (x == nullptr) return "<repr raised Error>";
  if (isLongArgument<C>(src)) {
    std::string size = std::to_string(x->template dim<0>());
    if constexpr (isMatrix<C>) size = "(" + size + ", " + std::to_string(x->template dim<1>()) + ")";
    return "<" + std::string(Py_TYPE(src)->tp_name) + " of size " + size + ">";
  }
  try {
    return repr(*x);
  } catch (const std::exception&) {
    return "<repr raised Error>";
  }
}

template <class C>
void addArgumentText(py::handle cls) {
  fastcall::argumentTexts().push_back(
      {reinterpret_cast<PyTypeObject*>(cls.ptr()), &isLongArgument<C>, &argumentText<C>});
}

// Bound as methods: the first argument is self.
template <class C>
std::size_t numel(const C& x) {
  return x.numel();
}

template <class C>
std::size_t vectorDim(const C& x, std::size_t idx) {
  if (idx != 0) detail::fail("dimension ", idx, " invalid for vector");
  return x.template dim<0>();
}

template <class T>
std::size_t matrixDim(const Matrix<T>& x, std::size_t idx) {
  if (idx > 1) detail::fail("dimension ", idx, " invalid for matrix");
  return idx == 0 ? x.template dim<0>() : x.template dim<1>();
}

// Element reads and writes; a matrix element is addressed by (row, column).
template <class C, class I>
typename C::SampleType getItem(C& x, I idx) {
  return x[idx];
}

template <class C, class I>
void setItem(C& x, I idx, typename C::SampleType value) {
  x[idx] = value;
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
  defMethod<&numel<C>>(cls, "numel");
  defMethod<&vectorDim<C>>(cls, "dim");
  defMethod<&getItem<C, std::size_t>>(cls, "__getitem__");
  defMethod<&slice<C>>(cls, "__getitem__");
  defMethod<&setItem<C, std::size_t>>(cls, "__setitem__");
  defMethod<&repr<C>>(cls, "__repr__");
  addArgumentText<C>(cls);
  fastcall::addElementSlots<C>(cls);
}

// The view class exists before any method is defined, so that the slice overloads show the
// view class as their result. The classes take only their own exact instances, so they are
// final: a subclass could never be passed to anything.
template <class T>
void registerVectorAndView(py::module_& m, const std::string& suffix) {
  py::class_<Vector<T>> vec(m, ("vec" + suffix).c_str(), py::is_final());
  py::class_<VectorView<T>> view(m, ("view" + suffix).c_str(), py::is_final());
  vec.def(py::init<std::size_t>());
  defineVectorMethods<Vector<T>>(vec);
  defineVectorMethods<VectorView<T>>(view);
}

template <class T>
void registerMatrix(py::module_& m, const std::string& suffix) {
  using M = Matrix<T>;
  using Index = std::pair<std::size_t, std::size_t>;
  py::class_<M> cls(m, ("mat" + suffix).c_str(), py::is_final());
  cls.def(py::init<std::size_t, std::size_t>());
  defMethod<&matrixDim<T>>(cls, "dim");
  defMethod<&numel<M>>(cls, "numel");
  defMethod<&getItem<M, Index>>(cls, "__getitem__");
  defMethod<&setItem<M, Index>>(cls, "__setitem__");
  defMethod<&repr<M>>(cls, "__repr__");
  addArgumentText<M>(cls);
  fastcall::addElementSlots<M>(cls);
}

// ---- operations -------------------------------------------------------------------------
// One overload per element type T and container kinds C1, C2, C3, appended in this order:
//   scale(C1); per C2: sum dot copy swap axpy [hdot if complex] [ls if C1 is a matrix];
//   per C3: [gemm matmul if all three are matrices] matvec gemv.

template <class C1>
void registerFirst(py::module_& m) {
  defOp<&Vekra::scale<C1>>(m, "scale", "scale an object");
}

template <class C1, class C2>
void registerPair(py::module_& m) {
  defOp<&Vekra::sum<C1, C2>>(m, "sum", "add objects");
  defOp<&Vekra::dot<C1, C2>>(m, "dot", "dot product");
  defOp<&Vekra::copy<C1, C2>>(m, "copy", "copy an object into another");
  defOp<&Vekra::swap<C1, C2>>(m, "swap", "swap objects into another");
  defOp<&Vekra::axpy<C1, C2>>(m, "axpy", "axpy objects");
  if constexpr (isComplex<typename C1::SampleType>)
    defOp<&Vekra::hdot<C1, C2>>(m, "hdot", "hermetian dot product");  // (sic) "hermetian": the docstring as released, kept unchanged
  if constexpr (isMatrix<C1>) defOp<&Vekra::ls<C1, C2>>(m, "ls", "ls");
}

// The vector and view kinds in A's place are registered too (keeping the overload order);
// gemv rejects them with a message of its own.
template <class C1, class C2, class C3>
void registerTriple(py::module_& m) {
  if constexpr (isMatrix<C1> && isMatrix<C2> && isMatrix<C3>) {
    defOp<&Vekra::gemm<C1, C2, C3>>(m, "gemm", "gemm");
    defOp<&Vekra::matmul<C1, C2, C3>>(m, "matmul", "matmul");
  }
  defOp<&Vekra::matvec<C1, C2, C3>>(m, "matvec", "matvec");
  defOp<&Vekra::gemv<C1, C2, C3>>(m, "gemv", "gemv");
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

// The module entry is PYBIND11_MODULE's, with one step in front. The classes, the fast path's
// registries and the slots it installs exist once per process, and the first module's calls
// rely on them; a second initialisation of this shared object (an import of it under another
// path) could never register the classes again. It is refused before anything is touched,
// pybind11's module definition included (which creating a module re-initialises in place,
// while the interpreter's table of extension modules still holds it).
static py::module_::module_def vekracoreDefinition;
static void initialise(py::module_& m);

PYBIND11_PLUGIN_IMPL(vekracore) {
  PYBIND11_CHECK_PYTHON_VERSION
  PYBIND11_ENSURE_INTERNALS_READY
  static bool initialised = false;
  if (initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "vekracore is already initialised in this process; this shared object cannot be "
                    "initialised a second time");
    return nullptr;
  }
  auto m = py::module_::create_extension_module("vekracore", nullptr, &vekracoreDefinition);
  initialised = true;
  try {
    initialise(m);
    return m.ptr();
  }
  PYBIND11_CATCH_INIT_EXCEPTIONS
}

void initialise(py::module_& m) {
  fastcall::registry().clear();
  fastcall::argumentTexts().clear();
  fastcall::slotInstallers().clear();
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
  fastcall::install();
  fastcall::guardBaseNew();
}
