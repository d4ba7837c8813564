/* The floor of the element-access benchmark: C functions and slots that take the same
   arguments as vekracore's element access, slicing, model.set and gemv and do nothing with
   them. Built by bench/element_access.py for the benchmark only; never part of the module. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

typedef struct {
  PyObject_HEAD
} Floor;

/* obj[key]: returns a fresh float, as an element read does. */
static PyObject* floor_subscript(PyObject* self, PyObject* key) {
  (void)self;
  (void)key;
  return PyFloat_FromDouble(0.0);
}

/* obj[key] = value */
static int floor_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  (void)self;
  (void)key;
  (void)value;
  return 0;
}

/* obj.set(i, location, value) */
static PyObject* floor_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  (void)self;
  (void)args;
  (void)nargs;
  Py_RETURN_NONE;
}

static PyMappingMethods floor_mapping = {0, floor_subscript, floor_ass_subscript};

static PyMethodDef floor_methods[] = {
    {"set", (PyCFunction)(void (*)(void))floor_set, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL}};

static PyTypeObject FloorType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "vekra_floor.Floor",
    .tp_basicsize = sizeof(Floor),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_as_mapping = &floor_mapping,
    .tp_methods = floor_methods,
    .tp_new = PyType_GenericNew,
};

/* gemv(alpha, beta, A, x, y): returns y, as gemv does. */
static PyObject* floor_gemv(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  (void)self;
  if (nargs != 5) return NULL;
  Py_INCREF(args[4]);
  return args[4];
}

static PyMethodDef module_methods[] = {
    {"gemv", (PyCFunction)(void (*)(void))floor_gemv, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "vekra_floor", NULL, -1, module_methods};

PyMODINIT_FUNC PyInit_vekra_floor(void) {
  if (PyType_Ready(&FloorType) < 0) return NULL;
  PyObject* m = PyModule_Create(&floor_module);
  if (m == NULL) return NULL;
  Py_INCREF(&FloorType);
  if (PyModule_AddObject(m, "Floor", (PyObject*)&FloorType) < 0) {
    Py_DECREF(&FloorType);
    Py_DECREF(m);
    return NULL;
  }
  return m;
}
