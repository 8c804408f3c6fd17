// The vorel_chess extension module: single-phase initialisation, bound to the first
// interpreter that imports it.

#include <atomic>
#include <cstdint>

#include "common/version.hpp"
#include "lib/board_python.hpp"
#include "lib/move_generator_python.hpp"
#include "lib/python_support.hpp"

namespace vorel::python {

namespace {

// The module namespace holds nothing but the classes and __all__, so the version travels as an
// identification string in the shared object (found by `strings`) and in the wheel's metadata.
[[gnu::used]] constexpr char version_ident[] = "vorel_chess version " VOREL_VERSION;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "vorel_chess", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The process-wide record: the interpreter that owns the module (-1 until the first import)
// and the module object, handed out again on every later initialisation.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_object = nullptr;

// Appends the class name to __all__ (creating the list if missing) and sets the attribute.
// Failures leave the interpreter's own error set, so that initialisation returns it.
void add_class(PyObject* module, const char* name, PyTypeObject* type) {
  PyObject* dict = PyModule_GetDict(module);
  PyObject* all = PyDict_GetItemString(dict, "__all__");
  if (all == nullptr) {
    OwnedRef created_all(PyList_New(0));
    if (!created_all) throw PythonError{};
    if (PyDict_SetItemString(dict, "__all__", created_all.get()) < 0) throw PythonError{};
    all = created_all.get();
  } else if (!PyList_Check(all)) {
    raise(PyExc_TypeError, "__all__ must be a list");
  }
  OwnedRef class_name(PyUnicode_FromString(name));
  if (!class_name) throw PythonError{};
  if (PyList_Append(all, class_name.get()) < 0) throw PythonError{};
  if (PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0)
    throw PythonError{};
}

PyObject* initialise() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "cannot read the interpreter id");
    return nullptr;
  }
  std::int64_t owner = -1;
  if (!owning_interpreter.compare_exchange_strong(owner, id) && owner != id) {
    PyErr_SetString(PyExc_ImportError,
                    "vorel_chess cannot be used in more than one interpreter: "
                    "sub-interpreters are not supported");
    return nullptr;
  }
  if (module_object != nullptr) return Py_NewRef(module_object);
  return guarded([] {
    OwnedRef module(PyModule_Create(&module_definition));
    if (!module) throw PythonError{};
    add_class(module.get(), "Board", board_type());
    add_class(module.get(), "MoveGenerator", move_generator_type());
    module_object = module.release();
    return Py_NewRef(module_object);
  });
}

}  // namespace

}  // namespace vorel::python

PyMODINIT_FUNC PyInit_vorel_chess() { return vorel::python::initialise(); }
