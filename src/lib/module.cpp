// The vorel_chess extension module: single-phase initialisation, bound to the first
// interpreter that imports it.

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

ModuleRecord record;

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

void add_classes(PyObject* module) {
  add_class(module, "Board", board_type());
  add_class(module, "MoveGenerator", move_generator_type());
  install_board_api();
}

}  // namespace

}  // namespace vorel::python

PyMODINIT_FUNC PyInit_vorel_chess() {
  return vorel::python::initialise_module(vorel::python::record, vorel::python::module_definition,
                                          vorel::python::add_classes);
}
