// The vekra_numpy extension module: numpy arrays over vekracore's containers and model tensors
// (no copies), containers made from array-likes, and models loaded with session options. It
// works on the objects of vekracore through pybind11's shared type registry: vekracore is
// imported first, and its classes are looked up by C++ type. Each concern has a header of its
// own in bridge/; this file only binds them. ModelSpec is Python, in _vekra_numpy_spec.py.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <exception>

#include "Text"
#include "bridge/Batcher"
#include "bridge/BatcherLoad"
#include "bridge/ContainerArrays"
#include "bridge/Docstrings"
#include "bridge/LoadOptions"
#include "bridge/Loading"
#include "bridge/Numpy"
#include "bridge/RunAsync"
#include "bridge/TensorArrays"

namespace py = pybind11;

namespace {

using namespace Vekra::Bridge;

// ValueError and TypeError whose messages quote names from a model file that are not UTF-8:
// their other bytes show as replacement characters, never as an empty message.
void translateReadably(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const py::value_error& e) {
    PyObject* text = Vekra::Python::decodeUtf8(e.what(), "replace");
    if (text == nullptr) return;
    PyErr_SetObject(PyExc_ValueError, text);
    Py_DECREF(text);
  } catch (const py::type_error& e) {
    PyObject* text = Vekra::Python::decodeUtf8(e.what(), "replace");
    if (text == nullptr) return;
    PyErr_SetObject(PyExc_TypeError, text);
    Py_DECREF(text);
  }
}

// ModelSpec's check of the options it describes: the one load_model makes, with the values
// as ModelSpec keeps them.
py::tuple loadOptions(const OptimizationArgument& optimization, const ThreadsArgument& threads,
                      const DimsArgument& dims, const ShapesArgument& shapes) {
  return describedOptions(checkedLoadOptions(optimization, threads, py::bool_(false), dims, shapes));
}

// The sizes that dims and shapes pin in the model file at `path`, by symbolic name, as
// load_model pins them (vekra_dask plans its tasks with them).
py::dict pins(const PathArgument& path, const DimsArgument& dims, const ShapesArgument& shapes) {
  const LoadOptions checked = checkedLoadOptions(py::str("all"), py::int_(0), py::bool_(false), dims, shapes);
  py::dict sizes;
  for (const auto& [symbol, size] : pinsFor(fileSystemPath(path), checked))
    sizes[Vekra::Python::decodedName(symbol)] = py::int_(size);
  return sizes;
}

}  // namespace

PYBIND11_MODULE(vekra_numpy, m) {
  py::module_::import("vekracore");
  lookUpNumpy();
  py::register_local_exception_translator(&translateReadably);
  m.doc() = "numpy arrays over vekracore's containers and model tensors, without copies, and "
            "models loaded with ONNX Runtime's session options that run without the interpreter lock.";

  m.def("asarray", &asarray, py::arg("c"), Docstrings::asarray);
  m.def("vector", &vector, py::arg("a"), py::arg("dtype") = py::none(), Docstrings::vector);
  m.def("matrix", &matrix, py::arg("a"), py::arg("dtype") = py::none(), Docstrings::matrix);
  m.def("inputs", &tensorArrays<true>, py::arg("m"), Docstrings::inputs);
  m.def("outputs", &tensorArrays<false>, py::arg("m"), Docstrings::outputs);
  m.def("input_names", &tensorNames<true>, py::arg("m"), Docstrings::input_names);
  m.def("output_names", &tensorNames<false>, py::arg("m"), Docstrings::output_names);
  m.def("load_model", &loadModel, py::arg("path"), py::kw_only(), py::arg("optimization") = py::str("all"),
        py::arg("threads") = py::int_(0), py::arg("report") = false, py::arg("dims") = py::none(),
        py::arg("shapes") = py::none(), Docstrings::load_model);
  m.def("describe", &describe, py::arg("path"), Docstrings::describe);
  m.def("run_async", &runAsync, py::arg("m"), Docstrings::run_async);
  m.def("_load_options", &loadOptions, py::kw_only(), py::arg("optimization"), py::arg("threads"),
        py::arg("dims"), py::arg("shapes"),
        "The options ModelSpec describes, checked as load_model checks them: (optimization, threads,\n"
        "dims, shapes) with dims as {name: size} and shapes as {name: (size, ...)}.");
  m.def("_pins", &pins, py::arg("path"), py::kw_only(), py::arg("dims"), py::arg("shapes"),
        "The sizes dims and shapes pin in the file at path, {symbolic name: size}, checked as\n"
        "load_model checks them.");
  m.attr("_MAX_THREADS") = maxThreads;
  // ModelSpec imports this module when it is used, never while it is being made.
  m.attr("ModelSpec") = py::module_::import("_vekra_numpy_spec").attr("ModelSpec");

  py::class_<PyBatcher> batcher(m, "Batcher", Docstrings::Batcher);
  batcher.def(py::init(&makeBatcher), py::arg("model"), py::kw_only(), py::arg("max_batch") = py::int_(32),
              py::arg("max_wait") = py::float_(0.001), py::arg("workers") = py::int_(1),
              py::arg("optimization") = py::str("all"), py::arg("threads") = py::int_(1), py::arg("dims") = py::none(),
              py::arg("shapes") = py::none());
  batcher.def("run", &PyBatcher::run, py::arg("inputs"), Docstrings::Batcher_run);
  batcher.def("submit", &PyBatcher::submit, py::arg("inputs"), Docstrings::Batcher_submit);
  batcher.def("run_async", &PyBatcher::runAsync, py::arg("inputs"), Docstrings::Batcher_run_async);
  batcher.def("close", &PyBatcher::close, Docstrings::Batcher_close);
  batcher.def("stats", &PyBatcher::stats, Docstrings::Batcher_stats);
  batcher.def_property_readonly("closed", &PyBatcher::closed, "Whether close() was called.");
  batcher.def_property_readonly("max_batch", [](const PyBatcher& b) { return b.model().maxBatch(); },
                                "The rows one run takes at most (a fixed-batch model's batch: exactly).");
  batcher.def_property_readonly("workers", [](const PyBatcher& b) { return b.model().contexts(); },
                                "The run contexts, each run by a worker of its own.");
  batcher.def_property_readonly("input_names", &PyBatcher::inputNames, "The model's inputs, in session order.");
  batcher.def_property_readonly("output_names", &PyBatcher::outputNames, "The model's outputs, in session order.");
  batcher.def("__enter__", [](const py::object& self) { return py::reinterpret_borrow<Declared<"Batcher">>(self); });
  batcher.def("__exit__", [](PyBatcher& b, const py::args&) { b.close(); });
  py::module_::import("atexit").attr("register")(py::cpp_function(&PyBatcher::closeAll));
}
