// The vekra_numpy extension module: numpy arrays over vekracore's containers and model tensors
// (no copies), containers made from array-likes, and models loaded with session options.
// It works on the objects of vekracore through pybind11's shared type registry: vekracore is
// imported first, and its classes are looked up by C++ type.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <complex>
#include <cstddef>
#include <map>
#include <optional>
#include <stdexcept>
#include <cstdint>
#include <exception>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "BoundClasses"
#include "InterpreterLock"
#include "types/Matrix"
#include "types/Model"
#include "types/Vector"
#include "types/VectorView"
#include "utils/ElementTypes"
#include "utils/OnnxFile"
#include "vekra_numpy_spec.h"  // vekraNumpySpecSource, generated from vekra_numpy_spec.py

namespace py = pybind11;

namespace {

// A type's name as it is written in signatures, as a template argument.
template <std::size_t N>
struct TypeName {
  constexpr TypeName(const char (&name)[N]) { std::copy_n(name, N, text); }
  char text[N];
};

// Any Python object, declared in the signature (and so in the stubs) as Name: the function
// checks the value itself, for messages that name the offending entry.
template <TypeName Name>
class Declared : public py::object {
 public:
  PYBIND11_OBJECT_DEFAULT(Declared, object, Vekra::Python::anyObject)
};

using PathArgument = Declared<"str | os.PathLike[str] | bytes">;
using ArrayLikeArgument = Declared<"numpy.typing.ArrayLike">;
using DTypeArgument = Declared<"numpy.typing.DTypeLike">;
using DimsArgument = Declared<"typing.Mapping[str, typing.SupportsIndex] | None">;
using ShapesArgument = Declared<"typing.Mapping[str, typing.Sequence[typing.SupportsIndex]] | None">;
// What run_async returns: the future of loop.run_in_executor.
using RunFuture = Declared<"asyncio.Future[None]">;
// What describe returns: the declared inputs and outputs, each as (name, dtype, shape).
using Description = Declared<"tuple[list[tuple[str, numpy.dtype[typing.Any] | None, tuple[int | str | None, ...] | None]], "
                             "list[tuple[str, numpy.dtype[typing.Any] | None, tuple[int | str | None, ...] | None]]]">;

}  // namespace

namespace pybind11::detail {
template <TypeName Name>
struct handle_type_name<Declared<Name>> {
  static constexpr auto name = const_name(Name.text);
};
}  // namespace pybind11::detail

namespace {

using Vekra::Matrix;
using Vekra::Vector;
using Vekra::VectorView;
using Vekra::Onnx::Model;
using Vekra::Python::call;
using Vekra::Python::Instance;
using Vekra::Python::withoutLock;

// numpy's functions, looked up once when the module is imported: at interpreter shutdown (a
// __del__ making a container) importing is no longer possible. Kept for the process's life,
// with the dtype of each ONNX element type numpy has (null for the others), made once rather
// than on every call that hands out tensor arrays.
struct Numpy {
  PyObject* asarray = nullptr;
  PyObject* copyto = nullptr;
  PyObject* dtype = nullptr;
  PyObject* tensorDtypes[std::size(Vekra::Onnx::elementTypes)] = {};
};

Numpy& numpy() {
  static Numpy functions;
  return functions;
}

void lookUpNumpy() {
  const py::module_ np = py::module_::import("numpy");
  Numpy& functions = numpy();
  functions.asarray = py::object(np.attr("asarray")).release().ptr();
  functions.copyto = py::object(np.attr("copyto")).release().ptr();
  functions.dtype = py::object(np.attr("dtype")).release().ptr();
  for (const Vekra::Onnx::ElementTypeInfo& info : Vekra::Onnx::elementTypes)
    if (info.dtype != nullptr)
      functions.tensorDtypes[static_cast<std::size_t>(info.type)] = py::dtype(std::string(info.dtype)).release().ptr();
  // pybind11's table of numpy's C functions, which it would otherwise import on first use
  static_cast<void>(py::dtype::of<float>());
}

// ---- text ------------------------------------------------------------------------------------

// Text from the model (tensor names, ONNX Runtime's messages quoting a path) that need not be
// UTF-8: names keep their bytes as surrogate escapes (os.fsdecode's way, os.fsencode gives
// them back), messages show replacement characters.
py::str decoded(const std::string& text, const char* errors) {
  PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), errors);
  if (str == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(str);
}

// ---- vekracore's objects ------------------------------------------------------------------

std::string typeName(py::handle src) { return Py_TYPE(src.ptr())->tp_name; }

// A vekracore.model (as an argument, or a result).
using ModelInstance = Instance<Model>;

Model& heldModel(const ModelInstance& m, const char* function) { return m.get(function, "a vekracore.model"); }

// A vekracore vector, view or matrix of any element type; a vector; a matrix.
template <class... T>
using ContainerOf = Instance<Vector<T>..., VectorView<T>..., Matrix<T>...>;
using ContainerInstance = Vekra::ElementTypesAs<ContainerOf>;
template <class... T>
using VectorOf = Instance<Vector<T>...>;
template <class... T>
using MatrixOf = Instance<Matrix<T>...>;

// The model's tensors as arrays (None where numpy has none), and their names.
using TensorArrays = py::typing::List<py::typing::Optional<py::array>>;
using TensorNames = py::typing::List<py::str>;

// ---- containers as arrays --------------------------------------------------------------------

// A writable array over the container's elements, keeping a share of its buffer alive.
template <class C>
py::array arrayOver(const C& c) {
  using T = typename C::SampleType;
  auto* share = new std::shared_ptr<void>(c.buffer());
  py::capsule base(share, [](void* p) { delete static_cast<std::shared_ptr<void>*>(p); });
  const auto size = static_cast<py::ssize_t>(sizeof(T));
  if constexpr (Vekra::isMatrix<C>) {
    const auto rows = static_cast<py::ssize_t>(c.template dim<0>());
    const auto cols = static_cast<py::ssize_t>(c.template dim<1>());
    // With two columns or more, rows * size bytes are held, so the product fits; with fewer
    // the column stride is never used (and rows may be any size_t).
    const py::ssize_t colStride = cols > 1 ? rows * size : size;
    return py::array(py::dtype::of<T>(), {rows, cols}, {size, colStride}, c.get(), base);
  } else {
    return py::array(py::dtype::of<T>(), {static_cast<py::ssize_t>(c.numel())}, {size}, c.get(), base);
  }
}

template <class T>
bool tryArrayOver(const ContainerInstance& c, py::object& result) {
  if (const auto* v = c.held<Vector<T>>()) result = arrayOver(*v);
  else if (const auto* w = c.held<VectorView<T>>()) result = arrayOver(*w);
  else if (const auto* m = c.held<Matrix<T>>()) result = arrayOver(*m);
  return static_cast<bool>(result);
}

py::array asarray(const ContainerInstance& c) {
  py::object result;
  if (Vekra::anyElementType([&](auto t) { return tryArrayOver<typename decltype(t)::type>(c, result); }))
    return py::reinterpret_steal<py::array>(result.release());
  c.refuse("asarray", "a vekracore vector, view or matrix");
}

// ---- containers from array-likes -------------------------------------------------------------

// The element type a new container takes: `dtype` if given (one of the four), else the
// array's own when it is one of them, complex128 for other complex data, float64 for other
// numbers. Refuses what is not numbers and data that `dtype` cannot hold without losing its
// kind (complex into real).
// `requested` is the dtype argument already resolved (None when not given): resolving it may
// run Python code, which must not come after the array-like has been checked.
py::object requestedType(const py::object& dtype) {
  if (dtype.is_none()) return dtype;
  return call(numpy().dtype, py::make_tuple(dtype));
}

py::dtype targetType(const char* function, const py::array& a, const py::object& requested) {
  const py::dtype source = a.dtype();
  const char kind = source.kind();
  std::vector<py::dtype> allowed;
  Vekra::anyElementType([&](auto t) {
    allowed.push_back(py::dtype::of<typename decltype(t)::type>());
    return false;
  });
  if (requested.is_none()) {
    for (const py::dtype& d : allowed)
      if (source.equal(d)) return d;
    return kind == 'c' ? py::dtype::of<std::complex<double>>() : py::dtype::of<double>();
  }
  const auto target = py::reinterpret_borrow<py::dtype>(requested);
  bool known = false;
  for (const py::dtype& d : allowed) known = known || target.equal(d);
  if (!known) {
    // "float32, float64, complex64 or complex128"
    std::string names;
    for (std::size_t i = 0; i < allowed.size(); ++i)
      names += (i == 0 ? "" : i + 1 == allowed.size() ? " or " : ", ") + allowed[i].attr("name").cast<std::string>();
    throw py::type_error(std::string(function) + "() dtype must be " + names + ", not " +
                         py::str(static_cast<py::object>(target)).cast<std::string>());
  }
  if (kind == 'c' && target.kind() != 'c')
    throw py::type_error(std::string(function) + "() cannot store complex data as " +
                         py::str(static_cast<py::object>(target)).cast<std::string>());
  return target;
}

py::array numericArray(const char* function, const py::object& a, int ndim, const char* what) {
  py::array array = call(numpy().asarray, py::make_tuple(a));
  const char kind = array.dtype().kind();
  if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f' && kind != 'c')
    throw py::type_error(std::string(function) + "() needs numeric data, got an array of dtype " +
                         py::str(static_cast<py::object>(array.dtype())).cast<std::string>());
  if (array.ndim() != ndim)
    throw py::value_error(std::string(function) + "() needs a " + what + " array-like, got " +
                          std::to_string(array.ndim()) + " dimension" + (array.ndim() == 1 ? "" : "s"));
  return array;
}

// numpy.copyto(destination, source, casting="unsafe"); numpy refuses a source whose shape no
// longer fits.
template <class C>
void copyFrom(const C& destination, const py::array& source) {
  const py::tuple args = py::make_tuple(arrayOver(destination), source);
  const py::dict kwargs;
  kwargs["casting"] = "unsafe";
  call(numpy().copyto, args, kwargs.ptr());
}

// A new container of element type T holding a copy of `source` (already checked: `ndim`
// dimensions, the shape read then).
template <class T>
py::object copyInto(const py::array& source, int ndim) {
  if (ndim == 1) {
    Vector<T> v(static_cast<std::size_t>(source.shape(0)));
    copyFrom(v, source);
    return py::cast(std::move(v));
  }
  Matrix<T> m(static_cast<std::size_t>(source.shape(0)), static_cast<std::size_t>(source.shape(1)));
  copyFrom(m, source);
  return py::cast(std::move(m));
}

py::object containerOf(const char* function, const py::object& a, const py::object& dtype, int ndim,
                       const char* what) {
  const py::object requested = requestedType(dtype);
  const py::array source = numericArray(function, a, ndim, what);
  const py::dtype target = targetType(function, source, requested);
  py::object result;
  Vekra::anyElementType([&](auto t) {
    using T = typename decltype(t)::type;
    if (!target.equal(py::dtype::of<T>())) return false;
    result = copyInto<T>(source, ndim);
    return true;
  });
  return result;
}

Vekra::ElementTypesAs<VectorOf> vector(const ArrayLikeArgument& a, const DTypeArgument& dtype) {
  return py::reinterpret_steal<Vekra::ElementTypesAs<VectorOf>>(containerOf("vector", a, dtype, 1, "1-D").release());
}

Vekra::ElementTypesAs<MatrixOf> matrix(const ArrayLikeArgument& a, const DTypeArgument& dtype) {
  return py::reinterpret_steal<Vekra::ElementTypesAs<MatrixOf>>(containerOf("matrix", a, dtype, 2, "2-D").release());
}

// ---- model tensors -------------------------------------------------------------------------

// The numpy dtype of a tensor element type with its size in bytes; no dtype for strings and
// the types numpy lacks.
struct ElementType {
  py::object dtype;
  py::ssize_t size = 0;
};

ElementType elementTypeOf(ONNXTensorElementDataType type) {
  const Vekra::Onnx::ElementTypeInfo* info = Vekra::Onnx::elementTypeInfo(type);
  if (info == nullptr || info->dtype == nullptr) return {py::none(), 0};
  return {py::reinterpret_borrow<py::object>(numpy().tensorDtypes[static_cast<std::size_t>(type)]),
          static_cast<py::ssize_t>(info->size)};
}

// The most dimensions a numpy array has (numpy 1.x; numpy 2 allows more).
constexpr std::size_t numpyMaxDims = 32;

// A writable row-major array over one tensor, keeping the Python model object alive; None
// for a tensor without a numpy dtype (strings, bfloat16, the 8-bit floats) or with more
// dimensions than numpy's arrays have.
py::object tensorArray(const Model::Tensor& tensor, py::handle owner) {
  const ElementType element = elementTypeOf(tensor.type);
  if (element.dtype.is_none()) return py::none();
  const py::dtype d = py::reinterpret_borrow<py::dtype>(element.dtype);
  std::vector<py::ssize_t> shape(tensor.shape.begin(), tensor.shape.end());
  std::vector<py::ssize_t> strides(shape.size());
  // A tensor with a zero dimension holds nothing, and the product of the others may not fit;
  // numpy then refuses the shape by itself.
  py::ssize_t stride = element.size;
  for (std::size_t k = shape.size(); k-- > 0;) {
    strides[k] = stride;
    if (__builtin_mul_overflow(stride, shape[k], &stride)) stride = 0;
  }
  try {
    return py::array(d, shape, strides, tensor.data, owner);
  } catch (py::error_already_set& e) {
    if (shape.size() > numpyMaxDims && e.matches(PyExc_ValueError)) return py::none();
    throw;
  }
}

template <bool Inputs>
TensorArrays tensorArrays(const ModelInstance& m) {
  const Model& model = heldModel(m, Inputs ? "inputs" : "outputs");
  TensorArrays arrays;
  const std::size_t count = Inputs ? model.inputCount() : model.outputCount();
  for (std::size_t i = 0; i < count; ++i) arrays.append(tensorArray(Inputs ? model.input(i) : model.output(i), m));
  return arrays;
}

template <bool Inputs>
TensorNames tensorNames(const ModelInstance& m) {
  const Model& model = heldModel(m, Inputs ? "input_names" : "output_names");
  TensorNames names;
  const std::size_t count = Inputs ? model.inputCount() : model.outputCount();
  for (std::size_t i = 0; i < count; ++i)
    names.append(decoded((Inputs ? model.input(i) : model.output(i)).name, "surrogateescape"));
  return names;
}

// ---- dynamic dimensions ----------------------------------------------------------------------

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// "'a', 'b' and 'c'"
template <class Range>
std::string quotedList(const Range& names) {
  std::string text;
  std::size_t k = 0;
  const std::size_t n = std::size(names);
  for (const auto& name : names) {
    text += (k == 0 ? "" : k + 1 == n ? " and " : ", ") + quoted(name);
    ++k;
  }
  return text;
}

// A size given as a Python int (or anything with __index__ but bool): positive, within int64.
int64_t positiveSize(py::handle value, const std::string& where) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr()))
    throw py::type_error(where + " must be a positive int, not " + typeName(value));
  const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  const long long size = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow != 0 || size < 1)
    throw py::value_error(where + " must be a positive int, not " + py::repr(index).cast<std::string>());
  return static_cast<int64_t>(size);
}

// The items of the mapping `m` given as `what` (None: none), keys checked to be str.
std::vector<std::pair<std::string, py::object>> mappingItems(const py::object& m, const char* what,
                                                            const char* keys) {
  std::vector<std::pair<std::string, py::object>> items;
  if (m.is_none()) return items;
  const py::object mapping = py::module_::import("collections.abc").attr("Mapping");
  if (!py::isinstance(m, mapping))
    throw py::type_error(std::string(what) + " must be a mapping from " + keys + ", not " + typeName(m));
  for (const py::handle key : m) {
    if (!PyUnicode_Check(key.ptr()))
      throw py::type_error(std::string(what) + " keys must be str, not " + typeName(key));
    items.emplace_back(key.cast<std::string>(), py::object(m[key]));
  }
  return items;
}

// The sizes that pin symbolic dimensions, by name, and where each came from.
struct Pin {
  int64_t size;
  std::string source;
};

void pin(std::map<std::string, Pin>& pins, const std::string& symbol, int64_t size, const std::string& source) {
  const auto [at, added] = pins.try_emplace(symbol, Pin{size, source});
  if (!added && at->second.size != size)
    throw py::value_error(source + " pins " + quoted(symbol) + " to " + std::to_string(size) + ", but " +
                          at->second.source + " pins it to " + std::to_string(at->second.size));
}

// Checks `dims` and `shapes` and turns them into the sizes of symbolic dimensions that the
// session is given. Types and sizes are checked first; names and shapes then against the
// inputs the file declares. If the file cannot be read as a model, only the sizes of `dims`
// go on, and ONNX Runtime reports what is wrong with the file.
std::vector<std::pair<std::string, int64_t>> pinnedDimensions(const std::string& file, const py::object& dims,
                                                              const py::object& shapes) {
  std::vector<std::pair<std::string, int64_t>> dimSizes;
  for (const auto& [name, value] : mappingItems(dims, "dims", "dimension names to sizes"))
    dimSizes.emplace_back(name, positiveSize(value, "dims[" + quoted(name) + "]"));
  std::vector<std::pair<std::string, std::vector<int64_t>>> shapeSizes;
  for (const auto& [name, value] : mappingItems(shapes, "shapes", "input names to shapes")) {
    const std::string where = "shapes[" + quoted(name) + "]";
    if (!PySequence_Check(value.ptr()) || PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()))
      throw py::type_error(where + " must be a sequence of sizes, such as (1, 3, 224, 224), not " + typeName(value));
    std::vector<int64_t> sizes;
    std::size_t k = 0;
    for (const py::handle size : py::reinterpret_borrow<py::sequence>(value))
      sizes.push_back(positiveSize(size, where + "[" + std::to_string(k++) + "]"));
    shapeSizes.emplace_back(name, std::move(sizes));
  }
  if (dimSizes.empty() && shapeSizes.empty()) return dimSizes;

  std::optional<Vekra::Onnx::DeclaredGraph> graph;
  try {
    graph = Vekra::Onnx::readDeclaredGraph(file);
  } catch (const std::exception&) {
    return dimSizes;
  }
  std::vector<std::string> symbols;
  std::vector<std::string> inputNames;
  for (const Vekra::Onnx::DeclaredTensor& input : graph->inputs) {
    inputNames.push_back(input.name);
    for (const Vekra::Onnx::DeclaredDimension& dim : input.dims)
      if (!dim.symbol.empty() && std::find(symbols.begin(), symbols.end(), dim.symbol) == symbols.end())
        symbols.push_back(dim.symbol);
  }
  std::map<std::string, Pin> pins;
  for (const auto& [name, size] : dimSizes) {
    if (std::find(symbols.begin(), symbols.end(), name) == symbols.end())
      throw py::value_error("dims names " + quoted(name) + ", which no input of the model has as a symbolic "
                            "dimension; " + (symbols.empty() ? std::string("its inputs have none")
                                                             : "its inputs have " + quotedList(symbols)));
    pin(pins, name, size, "dims[" + quoted(name) + "]");
  }
  for (const auto& [name, sizes] : shapeSizes) {
    const std::string where = "shapes[" + quoted(name) + "]";
    const auto input = std::find_if(graph->inputs.begin(), graph->inputs.end(),
                                    [&](const Vekra::Onnx::DeclaredTensor& t) { return t.name == name; });
    if (input == graph->inputs.end())
      throw py::value_error(where + " names no input of the model; " +
                            (inputNames.empty() ? std::string("it has none") : "its inputs are " + quotedList(inputNames)));
    if (!input->ranked)
      throw py::value_error(where + ": input " + quoted(name) + " declares no shape in the model file, so its "
                            "dimensions have no names to pin");
    if (sizes.size() != input->dims.size())
      throw py::value_error(where + " has " + std::to_string(sizes.size()) + " size" + (sizes.size() == 1 ? "" : "s") +
                            ", but input " + quoted(name) + " has " + std::to_string(input->dims.size()) +
                            " dimension" + (input->dims.size() == 1 ? "" : "s"));
    for (std::size_t k = 0; k < sizes.size(); ++k) {
      const Vekra::Onnx::DeclaredDimension& dim = input->dims[k];
      const std::string at = where + "[" + std::to_string(k) + "]";
      if (dim.size && *dim.size >= 0) {
        if (*dim.size != sizes[k])
          throw py::value_error(at + " is " + std::to_string(sizes[k]) + ", but dimension " + std::to_string(k) +
                                " of input " + quoted(name) + " is fixed at " + std::to_string(*dim.size));
      } else if (!dim.symbol.empty()) {
        pin(pins, dim.symbol, sizes[k], at);
      } else {
        throw py::value_error(at + ": dimension " + std::to_string(k) + " of input " + quoted(name) +
                              " is dynamic without a symbolic name, and ONNX Runtime pins dimensions by name "
                              "only; name it in the model file (for example with "
                              "onnx.tools.update_model_dims.update_inputs_outputs_dims), then pin that name");
      }
    }
  }
  std::vector<std::pair<std::string, int64_t>> result;
  for (const auto& [symbol, p] : pins) result.emplace_back(symbol, p.size);
  return result;
}

// What load_model says of a dimension still dynamic once the session is made.
std::string dynamicMessage(const Vekra::Onnx::DynamicDimension& d) {
  std::string text = d.direction + " " + std::to_string(d.index) + " " + quoted(d.tensor) + " dimension " +
                     std::to_string(d.position) + " is dynamic";
  if (d.direction == "input") {
    if (d.symbol.empty())
      return text + " without a symbolic name, and ONNX Runtime pins dimensions by name only: name it in the "
                    "model file (for example with onnx.tools.update_model_dims.update_inputs_outputs_dims), "
                    "then pin that name with dims={'name': size}";
    return text + " (" + quoted(d.symbol) + "): pin it with dims={" + quoted(d.symbol) +
           ": size} or give the input's whole shape with shapes={" + quoted(d.tensor) + ": (...)}";
  }
  text += d.symbol.empty() ? " without a symbolic name" : " (" + quoted(d.symbol) + ")";
  return text + " once the inputs are pinned: pin the input dimensions its size derives from with dims= or "
                "shapes=; an output whose size depends on the input values cannot be allocated before a run";
}

// ---- loading models --------------------------------------------------------------------------

GraphOptimizationLevel optimizationLevel(const std::string& name) {
  if (name == "disable") return ORT_DISABLE_ALL;
  if (name == "basic") return ORT_ENABLE_BASIC;
  if (name == "extended") return ORT_ENABLE_EXTENDED;
  if (name == "all") return ORT_ENABLE_ALL;
  throw py::value_error("optimization must be 'disable', 'basic', 'extended' or 'all', not '" + name + "'");
}

// The most intra-op threads a session is given.
constexpr int maxThreads = 1024;

// A path as the file system takes it: str, bytes or os.PathLike, a str encoded as os.fsencode
// does (names os.listdir gave as str with surrogate escapes come back as their bytes). A NUL
// character is left for the model to refuse.
std::string fileSystemPath(const py::object& path) {
  const auto fsPath = py::reinterpret_steal<py::object>(PyOS_FSPath(path.ptr()));
  if (!fsPath) throw py::error_already_set();
  auto bytes = fsPath;
  if (PyUnicode_Check(fsPath.ptr())) {
    bytes = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(fsPath.ptr()));
    if (!bytes) throw py::error_already_set();
  }
  return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

// A model's failure to load or run as a Python exception, as pybind11 would raise it, but with
// a message that is never empty (pybind11's would be when the message quotes a path that is
// not UTF-8). Anything but a std::runtime_error goes on unchanged.
[[noreturn]] void raiseModelFailure(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Vekra::Onnx::DynamicDimension& d) {
    throw py::value_error(dynamicMessage(d));
  } catch (const std::runtime_error& e) {
    PyErr_SetObject(PyExc_RuntimeError, decoded(e.what(), "replace").ptr());
    throw py::error_already_set();
  }
}

ModelInstance loadModel(const PathArgument& path, const std::string& optimization, int threads, bool report,
                     const DimsArgument& dims, const ShapesArgument& shapes) {
  Model::Options options;
  options.optimization = optimizationLevel(optimization);
  if (threads < 0) throw py::value_error("threads must be 0 (the default) or more, not " + std::to_string(threads));
  if (threads > maxThreads)
    throw py::value_error("threads must be at most " + std::to_string(maxThreads) + ", not " + std::to_string(threads));
  options.intraOpThreads = threads;
  options.report = report;
  const std::string file = fileSystemPath(path);
  options.dimensions = pinnedDimensions(file, dims, shapes);
  if (!options.dimensions.empty() && options.optimization == ORT_DISABLE_ALL)
    throw py::value_error("dims and shapes need optimization 'basic' or above: ONNX Runtime pins dimensions "
                          "as a graph optimization, which 'disable' turns off");
  options.unlockedRuns = true;
  std::unique_ptr<Model> model;
  try {
    withoutLock([&] { model = std::make_unique<Model>(file, options); });
  } catch (...) {
    raiseModelFailure(std::current_exception());
  }
  return py::reinterpret_steal<ModelInstance>(py::cast(std::move(model)).release());
}

// ---- model descriptions: declared tensors and ModelSpec ----------------------------------------

// One declared tensor as (name, dtype or None, shape): each dimension its size, or for a
// dynamic one its symbolic name, or None when it has none. A value that is not a tensor
// (sequence, map) gives dtype None and shape None.
py::tuple declaredTensor(const char* name, const Vekra::Onnx::TypeInfo& info) {
  if (info.onnxType() != ONNX_TYPE_TENSOR) return py::make_tuple(decoded(name, "surrogateescape"), py::none(), py::none());
  const OrtTensorTypeAndShapeInfo* tensor = info.tensorInfo();
  const std::vector<int64_t> dims = Vekra::Onnx::shape(tensor);
  const std::vector<std::string> symbols = Vekra::Onnx::symbolicShape(tensor);
  py::list shape;
  for (std::size_t k = 0; k < dims.size(); ++k) {
    if (dims[k] >= 0) shape.append(py::int_(dims[k]));
    else if (!symbols[k].empty()) shape.append(py::str(symbols[k]));
    else shape.append(py::none());
  }
  return py::make_tuple(decoded(name, "surrogateescape"), elementTypeOf(Vekra::Onnx::elementType(tensor)).dtype, py::tuple(shape));
}

// The inputs and outputs an ONNX file declares, read from a session created without graph
// optimisations and without allocating any tensor, so dynamic dimensions are allowed.
Description describe(const PathArgument& path) {
  const std::string file = fileSystemPath(path);
  if (file.find('\0') != std::string::npos) throw py::value_error("model path contains a NUL character");
  using namespace Vekra::Onnx;
  struct Declared {
    std::string name;
    TypeInfo info;
  };
  std::vector<Declared> inputs, outputs;
  try {
    withoutLock([&] {
      const Env env(ORT_LOGGING_LEVEL_WARNING, "vekra_numpy.describe");
      SessionOptions options;
      options.setGraphOptimizationLevel(ORT_DISABLE_ALL).setIntraOpNumThreads(1);
      const Session session(env, file.c_str(), options);
      const Allocator allocator(session, MemoryInfo::createCpu(OrtArenaAllocator, OrtMemTypeDefault));
      for (std::size_t i = 0; i < session.inputCount(); ++i)
        inputs.push_back({session.inputName(i, allocator.get()).get(), session.inputTypeInfo(i)});
      for (std::size_t i = 0; i < session.outputCount(); ++i)
        outputs.push_back({session.outputName(i, allocator.get()).get(), session.outputTypeInfo(i)});
    });
  } catch (...) {
    raiseModelFailure(std::current_exception());
  }
  py::list in, out;
  for (const Declared& d : inputs) in.append(declaredTensor(d.name.c_str(), d.info));
  for (const Declared& d : outputs) out.append(declaredTensor(d.name.c_str(), d.info));
  return py::reinterpret_steal<Description>(py::make_tuple(in, out).release());
}

// ModelSpec is written in Python (python/vekra_numpy_spec.py, compiled into this module): it
// runs with this module's load_model and thread limit in a namespace of its own, and only the
// class is added to the module.
void addModelSpec(py::module_& m) {
  py::dict scope;
  scope["__name__"] = "vekra_numpy";
  scope["load_model"] = m.attr("load_model");
  scope["_MAX_THREADS"] = maxThreads;
  const py::module_ builtins = py::module_::import("builtins");
  builtins.attr("exec")(builtins.attr("compile")(py::str(vekraNumpySpecSource), "vekra_numpy_spec.py", "exec"), scope);
  m.attr("ModelSpec") = scope["ModelSpec"];
}

// ---- running models off the event loop -----------------------------------------------------

// An awaitable of one run of the model `m` without the interpreter lock, done by the running
// event loop's default executor. The callable handed to the executor holds a reference to `m`,
// so the model lives as long as the run, whatever becomes of the awaiting task.
RunFuture runAsync(const ModelInstance& m) {
  heldModel(m, "run_async");
  const py::object loop = py::module_::import("asyncio").attr("get_running_loop")();
  const py::cpp_function run([m]() {
    Model& model = heldModel(m, "run_async");
    try {
      withoutLock([&model] { model.run(); });
    } catch (...) {
      raiseModelFailure(std::current_exception());
    }
  });
  return py::reinterpret_borrow<RunFuture>(loop.attr("run_in_executor")(py::none(), run));
}

}  // namespace

PYBIND11_MODULE(vekra_numpy, m) {
  py::module_::import("vekracore");
  lookUpNumpy();
  m.doc() = "numpy arrays over vekracore's containers and model tensors, without copies, and "
            "models loaded with ONNX Runtime's session options that run without the interpreter lock.";

  m.def("asarray", &asarray, py::arg("c"),
        "asarray(c)\n\n"
        "A writable numpy.ndarray over the elements of the vekracore vector, view or matrix `c`,\n"
        "without a copy. Vectors and views give shape (n,), matrices (rows, cols) in Fortran order\n"
        "(a[i, j] is c[i, j]). The array keeps the elements alive after `c` is gone.");
  m.def("vector", &vector, py::arg("a"), py::arg("dtype") = py::none(),
        "vector(a, dtype=None)\n\n"
        "A new vekracore vector (vecs, vecd, vecc or vecz) holding a copy of the 1-D array-like `a`.\n"
        "The class follows dtype if given (float32, float64, complex64 or complex128), else a's dtype\n"
        "when it is one of those; other real numbers become float64, other complex ones complex128.");
  m.def("matrix", &matrix, py::arg("a"), py::arg("dtype") = py::none(),
        "matrix(a, dtype=None)\n\n"
        "A new vekracore matrix (mats, matd, matc or matz) holding a copy of the 2-D array-like `a`:\n"
        "element (i, j) is a[i, j], stored column-major. dtype as for vector().");
  m.def("inputs", &tensorArrays<true>, py::arg("m"),
        "inputs(m)\n\n"
        "The input tensors of the vekracore model `m`, in session order, as writable numpy arrays\n"
        "over the model's own tensors (no copy; each keeps `m` alive). Values written into them are\n"
        "what the next m.run() reads. A tensor without a numpy dtype (string, bfloat16) or with more\n"
        "dimensions than numpy arrays have (32 in numpy 1.x) is None.");
  m.def("outputs", &tensorArrays<false>, py::arg("m"),
        "outputs(m)\n\n"
        "The output tensors of the vekracore model `m`, in session order, as numpy arrays over the\n"
        "model's own tensors (no copy; each keeps `m` alive), overwritten by every m.run(). A tensor\n"
        "without a numpy dtype (string, bfloat16) or with more dimensions than numpy arrays have is None.");
  m.def("input_names", &tensorNames<true>, py::arg("m"),
        "input_names(m)\n\nThe names of the model's inputs, in session order (bytes that are not UTF-8 as\n"
        "surrogate escapes, as os.fsdecode gives them).");
  m.def("output_names", &tensorNames<false>, py::arg("m"),
        "output_names(m)\n\nThe names of the model's outputs, in session order (bytes that are not UTF-8\n"
        "as surrogate escapes, as os.fsdecode gives them).");
  m.def("load_model", &loadModel, py::arg("path"), py::kw_only(), py::arg("optimization") = "all",
        py::arg("threads") = 0, py::arg("report") = false, py::arg("dims") = py::none(),
        py::arg("shapes") = py::none(),
        "load_model(path, *, optimization='all', threads=0, report=False, dims=None, shapes=None)\n\n"
        "Loads the ONNX file `path` as a vekracore.model whose session uses the graph optimization\n"
        "level `optimization` ('disable', 'basic', 'extended' or 'all') and `threads` intra-op\n"
        "threads (0: ONNX Runtime's default; at most 1024), printing the report of its inputs and outputs only if\n"
        "`report` is true. Tensors are allocated once, zero-filled, as by vekracore.model(path).\n\n"
        "Dynamic dimensions are pinned before the session is made: `dims` maps a symbolic dimension's\n"
        "name to its size (dims={'batch': 1}), `shapes` an input's name to its whole shape\n"
        "(shapes={'x': (1, 3, 640, 640)}; its dynamic dimensions are pinned through their names, its\n"
        "fixed ones must match). Pinning needs `optimization` 'basic' or above. Every input and output\n"
        "must then have a fixed shape, or ValueError names the dimension still dynamic. Weights in an\n"
        "external data file are read from beside `path`.\n\n"
        "The model's m.run() releases the interpreter lock while ONNX Runtime runs, so other Python\n"
        "threads go on meanwhile and runs of different models proceed in parallel; a model made by\n"
        "vekracore.model(path) holds the lock throughout. Runs of one model follow one another: each\n"
        "waits for the model's run in flight in another thread. A model's tensors are shared by every\n"
        "thread that uses it, so threads sharing one model must serialise their own sequences of\n"
        "writing the inputs, running and reading the outputs (with a threading.Lock); the usual\n"
        "pattern is one model per thread. While a run is in flight, do not write that model's inputs\n"
        "(its input arrays, m.set) from another thread; its output arrays (and m.get) read meanwhile\n"
        "may show a mix of old and new values. An ONNX Runtime failure during the run raises the same\n"
        "RuntimeError as with the lock held; Ctrl-C during a long run is delivered when it returns.");
  m.def("describe", &describe, py::arg("path"),
        "describe(path)\n\n"
        "The inputs and outputs the ONNX file `path` declares, as two lists (inputs, outputs) of\n"
        "(name, dtype, shape) in session order, read without allocating any tensor, so models with\n"
        "dynamic dimensions are described too. dtype is a numpy.dtype, or None for a tensor without\n"
        "one (string, bfloat16) and for a value that is not a tensor (whose shape is None too). Each\n"
        "item of shape is the dimension's size, or for a dynamic one its symbolic name (str), or None\n"
        "when it has none.");
  m.def("run_async", &runAsync, py::arg("m"),
        "run_async(m)\n\n"
        "Runs the vekracore model `m` once, like m.run(), in the running event loop's default executor\n"
        "(loop.run_in_executor(None, ...)), and returns an asyncio future that resolves to None when\n"
        "the run is done, so that `await vekra_numpy.run_async(m)` keeps the event loop answering\n"
        "while the model runs. The run always releases the interpreter lock, whether `m` was made by\n"
        "load_model or by vekracore.model(path). Several models awaited together (asyncio.gather)\n"
        "run in parallel; runs of one model follow one another. Called with no event loop running,\n"
        "it raises RuntimeError (from asyncio.get_running_loop()); `m` that is not a vekracore.model\n"
        "raises TypeError. Both are raised at the call, before anything is scheduled.\n\n"
        "Write the inputs before the call and read the outputs once the future is done; do not write\n"
        "the model's inputs while it is pending, and outputs read meanwhile may show a mix of old\n"
        "and new values (see load_model). Cancelling the awaiting task (or the future) does not\n"
        "interrupt a run in flight: it runs to its end and the model's tensors hold its results. An\n"
        "ONNX Runtime failure comes back from the await as the RuntimeError m.run() raises.");
  addModelSpec(m);
}
