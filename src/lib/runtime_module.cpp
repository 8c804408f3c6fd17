// The vorel_chess_runtime extension module: the home of PanicException, the class of the internal
// faults that the package's modules raise. It is a module of its own so that vorel_chess's
// namespace holds only its classes, while the class can still be imported by name: to catch it,
// and to unpickle a fault in a process that has never raised one.

#include "lib/python_support.hpp"

namespace vorel::python {

namespace {

PyModuleDef runtime_definition = {
    PyModuleDef_HEAD_INIT,
    "vorel_chess_runtime",
    "Runtime support of vorel_chess: PanicException, the class of its internal faults.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

ModuleRecord runtime_record;

void add_panic_exception(PyObject* module) {
  OwnedRef panic(PyErr_NewExceptionWithDoc(
      "vorel_chess_runtime.PanicException",
      "An internal fault inside vorel_chess: a broken precondition or a failed range check.\n\n"
      "Derives from BaseException, so `except Exception` does not catch it. The objects involved\n"
      "can be used again at once.",
      PyExc_BaseException, nullptr));
  if (!panic) throw PythonError{};
  if (PyModule_AddObjectRef(module, "PanicException", panic.get()) < 0) throw PythonError{};
  OwnedRef all(Py_BuildValue("[s]", "PanicException"));
  if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) throw PythonError{};
}

}  // namespace

}  // namespace vorel::python

PyMODINIT_FUNC PyInit_vorel_chess_runtime() {
  return vorel::python::initialise_module(vorel::python::runtime_record,
                                          vorel::python::runtime_definition,
                                          vorel::python::add_panic_exception);
}
