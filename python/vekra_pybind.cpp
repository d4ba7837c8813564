// The vekracore extension module: module entry, the element-type and container lists, and
// the registration of the model class, the container classes and every operation overload.
// Registration order is part of the interface (overload lists, first-pass matches).
#include <pybind11/complex.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <boost/hana.hpp>
#include <algorithm>
#include <array>
#include <complex>
#include <cstdint>
#include <exception>
#include <ios>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
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
#include "operations/show"
#include "operations/sum"
#include "operations/swap"
#include "types/Matrix"
#include "types/Model"
#include "types/Vector"
#include "types/VectorView"

namespace py = pybind11;
namespace hana = boost::hana;

// A container or model argument accepts exactly its registered class (no subclasses, no
// conversions), which one type comparison decides; a mismatch costs no further lookups.
namespace pybind11::detail {

// The Python class registered for container type C (looked up once, after registration).
template <class C>
PyTypeObject* exactType() {
  static PyTypeObject* const type = get_type_info(typeid(C))->type;
  return type;
}

// The object that `src` holds, when src is an instance of exactly C's class whose __init__
// has run; null otherwise. (An instance made by __new__ alone holds no object: handing it on
// would give the library uninitialised memory.)
template <class C>
C* heldContainer(PyObject* src) {
  if (src == nullptr || Py_TYPE(src) != exactType<C>()) return nullptr;
  const value_and_holder v_h = reinterpret_cast<instance*>(src)->get_value_and_holder();
  return v_h.holder_constructed() ? static_cast<C*>(v_h.value_ptr()) : nullptr;
}

template <class C>
struct ExactClassCaster : type_caster_base<C> {
  bool load(handle src, bool /*convert*/) {
    this->value = heldContainer<C>(src.ptr());
    return this->value != nullptr;
  }
};

template <class T>
struct type_caster<Vekra::Vector<T>> : ExactClassCaster<Vekra::Vector<T>> {};
template <class T>
struct type_caster<Vekra::VectorView<T>> : ExactClassCaster<Vekra::VectorView<T>> {};
template <class T>
struct type_caster<Vekra::Matrix<T>> : ExactClassCaster<Vekra::Matrix<T>> {};
template <>
struct type_caster<Vekra::Onnx::Model> : ExactClassCaster<Vekra::Onnx::Model> {};

}  // namespace pybind11::detail

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

// ---- fast dispatch -----------------------------------------------------------------------
// pybind11 tries a function's overloads in order, building a call record for each; on chains
// of up to 108 overloads that costs far more than the BLAS call. Each operation overload and
// container or model method therefore also gets an `Overload::attempt`, which loads the
// arguments with pybind11's own casters (after a test of the containers' exact types, which
// rules most overloads out at the cost of a few pointer comparisons) and calls the overload
// when all of them load. Calls with positional arguments walk these attempts in chain order,
// first without conversions, then with them, exactly like pybind11's two passes (a function
// with a single overload gets one try, with conversions). For the operations, whether an
// argument loads in the first pass depends on its exact Python type alone (containers: exact
// class; real scalars: float; complex scalars: complex), so the first-pass winner is
// remembered per tuple of argument types. A call that matches no overload (keywords, too many
// arguments, or both passes without a winner) gets pybind11's TypeError, built here, so that no
// conversion runs a second time.
namespace fastcall {

PyObject* const notLoaded = reinterpret_cast<PyObject*>(std::uintptr_t{1});

using Attempt = PyObject* (*)(PyObject* const* args, std::size_t nargs, bool convert);

// The library's own classes: the containers and the model.
template <class A, class = void>
struct IsBoundClass : std::is_same<std::decay_t<A>, Onnx::Model> {};
template <class A>
struct IsBoundClass<A, std::void_t<typename std::decay_t<A>::SampleType>> : std::true_type {};

// One argument of an overload. The library's classes load exactly as their caster does,
// without building one (that costs a type registry lookup); the rest use pybind11's casters.
template <class A, bool = IsBoundClass<A>::value>
struct Argument {
  py::detail::make_caster<A> caster;
  static bool fits(PyObject*) { return true; }
  bool load(PyObject* src, bool convert) { return caster.load(src, convert); }
  decltype(auto) get() { return py::detail::cast_op<A>(std::move(caster)); }
  static bool holds(const void*) { return false; }
};

template <class A>
struct Argument<A, true> {
  using C = std::decay_t<A>;
  C* value = nullptr;
  static bool fits(PyObject* src) { return Py_TYPE(src) == py::detail::exactType<C>(); }
  bool load(PyObject* src, bool) { return (value = py::detail::heldContainer<C>(src)) != nullptr; }
  C& get() { return *value; }
  bool holds(const void* p) const { return p == value; }
};

template <auto F, class Sig = decltype(F)>
struct Overload;

template <auto F, class R, class... Args>
struct Overload<F, R (*)(Args...)> {
  static PyObject* attempt(PyObject* const* args, std::size_t nargs, bool convert) {
    if (nargs != sizeof...(Args)) return notLoaded;
    return run(args, convert, std::index_sequence_for<Args...>{});
  }

  static py::return_value_policy policy() {
    return py::detail::return_value_policy_override<R>::policy(py::return_value_policy::automatic);
  }

  // None of these casters keeps temporaries, so no loader_life_support is needed.
  template <std::size_t... I>
  static PyObject* run(PyObject* const* args, bool convert, std::index_sequence<I...>) {
    if (!(Argument<Args>::fits(args[I]) && ...)) return notLoaded;
    std::tuple<Argument<Args>...> loaded;
    if (!(std::get<I>(loaded).load(args[I], convert) && ...)) return notLoaded;
    if constexpr (std::is_void_v<R>) {
      F(std::get<I>(loaded).get()...);
      Py_RETURN_NONE;
    } else if constexpr (std::is_lvalue_reference_v<R>) {
      // A reference to an argument's container comes back as that very argument object,
      // which is what pybind11's registered-instance lookup finds as well.
      R result = F(std::get<I>(loaded).get()...);
      PyObject* same = nullptr;
      ((same = same ? same : (std::get<I>(loaded).holds(&result) ? args[I] : nullptr)), ...);
      if (same != nullptr) {
        Py_INCREF(same);
        return same;
      }
      return py::detail::make_caster<R>::cast(result, policy(), args[0]).ptr();
    } else {
      return py::detail::make_caster<R>::cast(F(std::get<I>(loaded).get()...), policy(), args[0]).ptr();
    }
  }
};

constexpr std::size_t maxArgs = 5;
constexpr std::size_t maxCacheEntries = 1024;

struct Key {
  std::size_t nargs;
  std::array<PyTypeObject*, maxArgs> types;
  bool operator==(const Key& o) const { return nargs == o.nargs && types == o.types; }
};

struct KeyHash {
  std::size_t operator()(const Key& k) const {
    std::size_t h = k.nargs;
    for (std::size_t i = 0; i < k.nargs; ++i) h = h * 1000003u ^ reinterpret_cast<std::uintptr_t>(k.types[i]);
    return h;
  }
};

struct Function {
  PyObject* scope;     // the module, or the class of a method
  std::string name;
  bool rememberTypes;  // whether the argument types alone decide the first pass
  std::vector<Attempt> chain;  // in pybind11's chain order
  std::unordered_map<Key, int, KeyHash> firstPass;  // argument types -> winner, -1 for none
  const py::detail::function_record* records = nullptr;  // pybind11's chain, once installed
};

// Filled while the module registers; complete (and no longer changed) once installed.
inline std::vector<Function>& registry() {
  static std::vector<Function> functions;
  return functions;
}

// The installed functions by function object (borrowed: the module and classes keep them).
inline std::unordered_map<PyObject*, Function*>& installed() {
  static std::unordered_map<PyObject*, Function*> functions;
  return functions;
}

template <auto F>
void add(py::handle scope, const char* name, bool rememberTypes) {
  auto& functions = registry();
  auto it = std::find_if(functions.begin(), functions.end(),
                         [&](const Function& f) { return f.scope == scope.ptr() && f.name == name; });
  if (it == functions.end()) it = functions.insert(functions.end(), Function{scope.ptr(), name, rememberTypes, {}, {}, nullptr});
  it->chain.push_back(&Overload<F>::attempt);
}

// pybind11's own dispatcher, called with a tuple and a dict the way its tp_call would be.
// Null with the Python error set when those cannot be built.
inline PyObject* slowCall(PyObject* callable, PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
  auto* function = reinterpret_cast<PyCFunctionObject*>(callable);
  const auto tuple = py::reinterpret_steal<py::object>(PyTuple_New(static_cast<Py_ssize_t>(nargs)));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < nargs; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i), args[i]);
  }
  py::object kwargs;
  if (kwnames) {
    kwargs = py::reinterpret_steal<py::object>(PyDict_New());
    if (!kwargs) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
      if (PyDict_SetItem(kwargs.ptr(), PyTuple_GET_ITEM(kwnames, i), args[nargs + static_cast<std::size_t>(i)]) < 0)
        return nullptr;
  }
  auto meth = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(function->m_ml->ml_meth));
  return meth(function->m_self, tuple.ptr(), kwargs.ptr());
}

// Remembers the first-pass outcome for a tuple of argument types. The types are kept alive
// from then on, so that their addresses can never come back as another type's.
inline void remember(Function& f, const Key& key, int winner) {
  if (!f.rememberTypes || f.firstPass.size() >= maxCacheEntries) return;
  for (std::size_t i = 0; i < key.nargs; ++i) Py_INCREF(key.types[i]);
  f.firstPass.emplace(key, winner);
}

// The library's classes: the scopes of the methods on the fast path.
inline std::vector<PyTypeObject*>& boundTypes() {
  static std::vector<PyTypeObject*> types;
  return types;
}

// An instance of one of the library's classes made by __new__ alone holds nothing, and no
// overload takes it. It is named in a TypeError of its own rather than in the listing of
// overloads, whose repr of it could only fail.
inline bool refuseEmptyInstance(PyObject* const* args, std::size_t count) {
  const auto& types = boundTypes();
  for (std::size_t i = 0; i < count; ++i) {
    PyTypeObject* type = Py_TYPE(args[i]);
    if (std::find(types.begin(), types.end(), type) != types.end() &&
        !reinterpret_cast<py::detail::instance*>(args[i])->get_value_and_holder().holder_constructed()) {
      PyErr_Format(PyExc_TypeError, "%s instance was created without __init__ and holds nothing", type->tp_name);
      return true;
    }
  }
  return false;
}

// How a container class shows in the listing of a call that matches no overload: its repr,
// or, for a long one, a short form naming its class and size.
struct ArgumentText {
  PyTypeObject* type;
  bool (*isLong)(PyObject* src);
  std::string (*text)(PyObject* src);
};

inline std::vector<ArgumentText>& argumentTexts() {
  static std::vector<ArgumentText> texts;
  return texts;
}

inline const ArgumentText* argumentTextOf(PyObject* src) {
  for (const ArgumentText& t : argumentTexts())
    if (Py_TYPE(src) == t.type) return &t;
  return nullptr;
}

// An argument as the listing shows it. The library's containers are rendered directly, never
// through a Python-level __repr__, so that building the message cannot call back into it.
inline std::string argumentText(PyObject* src) {
  if (const ArgumentText* t = argumentTextOf(src)) return t->text(src);
  try {
    return py::repr(src);
  } catch (const py::error_already_set&) {
    return "<repr raised Error>";
  }
}

// The TypeError of a call that matches none of the overloads of `overloads`, in the words of
// pybind11 2.11's dispatcher (function_record chain, constructor form, the note about missing
// headers), so that the fast path raises it without walking the chain a third time.
inline void setNoMatch(const py::detail::function_record* overloads, PyObject* const* args, std::size_t nargs,
                       PyObject* kwnames) {
  std::string msg = std::string(overloads->name) + "(): incompatible " +
                    std::string(overloads->is_constructor ? "constructor" : "function") +
                    " arguments. The following argument types are supported:\n";
  int ctr = 0;
  for (const py::detail::function_record* it = overloads; it != nullptr; it = it->next) {
    msg += "    " + std::to_string(++ctr) + ". ";
    bool wroteSignature = false;
    if (overloads->is_constructor) {
      // `(self: Object, arg0, ...) -> NoneType` is shown as `Object(arg0, ...)`
      const std::string sig = it->signature;
      const std::size_t start = sig.find('(') + 7;
      if (start < sig.size()) {
        std::size_t end = sig.find(", "), next = end + 2;
        const std::size_t ret = sig.rfind(" -> ");
        if (end >= sig.size()) next = end = sig.find(')');
        if (start < end && next < sig.size()) {
          msg.append(sig, start, end - start);
          msg += '(';
          msg.append(sig, next, ret - next);
          wroteSignature = true;
        }
      }
    }
    if (!wroteSignature) msg += it->signature;
    msg += '\n';
  }
  msg += "\nInvoked with: ";
  bool someArgs = false;
  for (std::size_t i = overloads->is_constructor ? 1 : 0; i < nargs; ++i) {
    if (someArgs) msg += ", ";
    someArgs = true;
    msg += argumentText(args[i]);
  }
  if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
    if (someArgs) msg += "; ";
    msg += "kwargs: ";
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (i > 0) msg += ", ";
      msg += py::str("{}=").format(py::handle(PyTuple_GET_ITEM(kwnames, i))).cast<std::string>();
      msg += argumentText(args[nargs + static_cast<std::size_t>(i)]);
    }
  }
  if (msg.find("std::") != std::string::npos)
    msg += "\n\n"
           "Did you forget to `#include <pybind11/stl.h>`? Or <pybind11/complex.h>,\n"
           "<pybind11/functional.h>, <pybind11/chrono.h>, etc. Some automatic\n"
           "conversions are optional and require extra headers to be included\n"
           "when compiling your pybind11 module.";
  if (PyErr_Occurred())
    py::raise_from(PyExc_TypeError, msg.c_str());
  else
    PyErr_SetString(PyExc_TypeError, msg.c_str());
}

// A call the fast path could not serve: an instance made without __init__ gets its own
// TypeError, anything else the listing of the overloads.
inline PyObject* noMatch(const Function& f, PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
  const std::size_t count = nargs + (kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
  if (!refuseEmptyInstance(args, count)) setNoMatch(f.records, args, nargs, kwnames);
  return nullptr;
}

// Runs `body` with C++ exceptions turned into Python errors the way pybind11's dispatcher
// turns them: module-local translators, then global ones.
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
#ifdef __GLIBCXX__
  } catch (abi::__forced_unwind&) {
    throw;
#endif
  } catch (...) {
    if (py::detail::apply_exception_translators(py::detail::get_local_internals().registered_exception_translators))
      return nullptr;
    if (py::detail::apply_exception_translators(py::detail::get_internals().registered_exception_translators))
      return nullptr;
    PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
    return nullptr;
  }
}

inline PyObject* dispatch(Function& f, PyObject* const* args, std::size_t nargs) {
  if (f.chain.size() == 1) return f.chain[0](args, nargs, true);  // one overload: one try, with conversions
  Key key{nargs, {}};
  for (std::size_t i = 0; i < nargs; ++i) key.types[i] = Py_TYPE(args[i]);
  const auto hit = f.rememberTypes ? f.firstPass.find(key) : f.firstPass.end();
  if (hit != f.firstPass.end() && hit->second >= 0) {
    PyObject* result = f.chain[static_cast<std::size_t>(hit->second)](args, nargs, false);
    if (result != notLoaded) return result;
  }
  if (hit == f.firstPass.end() || hit->second >= 0) {
    for (std::size_t i = 0; i < f.chain.size(); ++i) {
      PyObject* result = f.chain[i](args, nargs, false);
      if (result != notLoaded) {
        if (hit == f.firstPass.end()) remember(f, key, static_cast<int>(i));
        return result;
      }
    }
    if (hit == f.firstPass.end()) remember(f, key, -1);
  }
  for (Attempt attempt : f.chain) {
    PyObject* result = attempt(args, nargs, true);
    if (result != notLoaded) return result;
  }
  return notLoaded;
}

// Positional calls take the fast path; a call that matches no overload (keywords and too
// many arguments never do) raises its TypeError from here.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  const std::size_t nargs = PyVectorcall_NARGS(nargsf);
  return guarded([&]() -> PyObject* {
    const auto& functions = installed();
    const auto found = functions.find(callable);
    if (found == functions.end()) return slowCall(callable, args, nargs, kwnames);  // a previous import's
    const Function& f = *found->second;
    const bool keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
    if (!keywords && nargs <= maxArgs) {
      PyObject* result = dispatch(*found->second, args, nargs);
      if (result != notLoaded) return result;
    }
    return noMatch(f, args, nargs, keywords ? kwnames : nullptr);
  });
}

// __init__ of the containers and the model, in front of pybind11's own: an object is
// initialised once (pybind11 would silently ignore a second call), and a call with a long
// container argument, which no constructor takes, is refused with the short listing.
struct Constructor {
  PyObject* callable;
  PyTypeObject* type;
  const py::detail::function_record* records;
};

inline std::vector<Constructor>& constructors() {
  static std::vector<Constructor> all;
  return all;
}

inline PyObject* constructorCall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  const std::size_t nargs = PyVectorcall_NARGS(nargsf);
  return guarded([&]() -> PyObject* {
    const auto& all = constructors();
    const auto c = std::find_if(all.begin(), all.end(), [&](const Constructor& k) { return k.callable == callable; });
    if (c != all.end() && nargs >= 1 && Py_TYPE(args[0]) == c->type) {
      if (reinterpret_cast<py::detail::instance*>(args[0])->get_value_and_holder().holder_constructed()) {
        PyErr_Format(PyExc_TypeError, "%s instance is already initialised: __init__ runs only once", c->type->tp_name);
        return nullptr;
      }
      const std::size_t count = nargs + (kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
      for (std::size_t i = 1; i < count; ++i) {
        const ArgumentText* t = argumentTextOf(args[i]);
        if (t != nullptr && t->isLong(args[i])) {
          setNoMatch(c->records, args, nargs, kwnames);
          return nullptr;
        }
      }
    }
    return slowCall(callable, args, nargs, kwnames);
  });
}

// The function object behind a module attribute or a method, and its pybind11 record.
inline PyCFunctionObject* functionObject(py::handle scope, const char* name) {
  py::object object = py::getattr(scope, name);
  PyObject* callable = object.ptr();
  if (PyInstanceMethod_Check(callable)) callable = PyInstanceMethod_GET_FUNCTION(callable);
  if (!PyCFunction_Check(callable)) throw std::runtime_error(std::string("fast dispatch: ") + name + " is not a function");
  return reinterpret_cast<PyCFunctionObject*>(callable);
}

inline const py::detail::function_record* recordOf(PyCFunctionObject* function) {
  auto* record = static_cast<py::detail::function_record*>(
      PyCapsule_GetPointer(function->m_self, py::detail::get_function_record_capsule_name()));
  if (record == nullptr) throw py::error_already_set();
  return record;
}

// Points each registered function object at the fast path, once every chain is complete.
// (A method is a function object wrapped in an instance method.)
inline void install() {
  installed().clear();
  boundTypes().clear();
  constructors().clear();
  for (Function& f : registry()) {
    auto* scope = reinterpret_cast<PyTypeObject*>(f.scope);
    if (PyType_Check(f.scope) && std::find(boundTypes().begin(), boundTypes().end(), scope) == boundTypes().end()) {
      boundTypes().push_back(scope);
      if (PyObject_HasAttrString(f.scope, "__init__") &&
          PyInstanceMethod_Check(py::getattr(f.scope, "__init__").ptr())) {
        PyCFunctionObject* init = functionObject(f.scope, "__init__");
        constructors().push_back(Constructor{reinterpret_cast<PyObject*>(init), scope, recordOf(init)});
        init->vectorcall = &constructorCall;
      }
    }
    PyCFunctionObject* function = functionObject(f.scope, f.name.c_str());
    f.records = recordOf(function);
    std::size_t length = 0;
    for (const py::detail::function_record* record = f.records; record; record = record->next) ++length;
    if (length != f.chain.size()) throw std::runtime_error("fast dispatch: overload chain of " + f.name + " differs");
    installed()[reinterpret_cast<PyObject*>(function)] = &f;
    function->vectorcall = &vectorcall;
  }
}

}  // namespace fastcall

// pybind11's shared base type makes instances of registered classes only. Called on itself
// (pickle protocols 0 and 1 do: copyreg calls base(obj)) or on a Python class derived from it
// directly, its tp_new throws a C++ exception through the C slot, which ends the process. The
// base type and every class inheriting that tp_new get one that turns this into TypeError;
// classes made later inherit it. (pybind11 2.11: internals::instance_base, pybind11_object_new.)
inline newfunc baseNew = nullptr;

inline PyObject* guardedNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    return baseNew(type, args, kwargs);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_Format(PyExc_TypeError, "cannot create '%.100s' instances", type->tp_name);
    return nullptr;
  }
}

inline void guardNew(PyTypeObject* type) {
  if (type->tp_new == baseNew) type->tp_new = &guardedNew;
  const auto subclasses = py::reinterpret_steal<py::list>(PyObject_CallMethod(reinterpret_cast<PyObject*>(type), "__subclasses__", nullptr));
  if (!subclasses) throw py::error_already_set();
  for (py::handle sub : subclasses) guardNew(reinterpret_cast<PyTypeObject*>(sub.ptr()));
}

inline void guardBaseNew() {
  auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
  if (base->tp_new == &guardedNew) return;
  baseNew = base->tp_new;
  guardNew(base);
}


// Registers one operation overload with pybind11 and with the fast path.
template <auto F>
void defOp(py::module_& m, const char* name, const char* doc) {
  m.def(name, F, doc);
  fastcall::add<F>(m, name, true);
}

// The same for a method. Index arguments load or not by value (a negative int does not), so
// the first pass is walked every time rather than remembered.
template <auto F, class Cls>
Cls& defMethod(Cls& cls, const char* name) {
  cls.def(name, F);
  fastcall::add<F>(cls, name, false);
  return cls;
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
  const C* x = py::detail::heldContainer<C>(src);
  return x != nullptr && (x->numel() > longArgument || x->template dim<0>() > longArgument);
}

template <class C>
std::string argumentText(PyObject* src) {
  const C* x = py::detail::heldContainer<C>(src);
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
}

// ---- model class ------------------------------------------------------------------------

void runModel(Onnx::Model& model) { model.run(); }

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
  py::class_<Onnx::Model> cls(m, "model", py::is_final());
  cls.def(py::init<const std::string&>());
  defMethod<&runModel>(cls, "run");
  defMethod<&setModelInput>(cls, "set");
  defMethod<&getModelOutput>(cls, "get");
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
    defOp<&Vekra::hdot<C1, C2>>(m, "hdot", "hermetian dot product");
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

PYBIND11_MODULE(vekracore, m) {
  fastcall::registry().clear();
  fastcall::argumentTexts().clear();
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
  guardBaseNew();
}
