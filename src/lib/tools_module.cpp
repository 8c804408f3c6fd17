// The extension module inside the vorel_tools package, vorel_tools._core: batch operations over
// vorel_chess boards and FEN texts, for machine-learning pipelines and chess tools. Single-phase
// initialisation, bound to the first interpreter that imports it. Each binding file contributes its
// functions to the method table.

#include <vector>

#include "common/version.hpp"
#include "lib/python_support.hpp"
#include "lib/tools_board.hpp"
#include "lib/tools_methods.hpp"

namespace vorel::python {

namespace {

// The functions of every binding file of the module, then the sentinel.
std::vector<PyMethodDef> method_table() {
  std::vector<PyMethodDef> table;
  for (const std::span<const PyMethodDef> part :
       {batch_methods(), notation_methods(), pgn_methods(), game_methods(), encoding_methods()})
    table.insert(table.end(), part.begin(), part.end());
  table.push_back({nullptr, nullptr, 0, nullptr});
  return table;
}

std::vector<PyMethodDef> methods = method_table();

PyModuleDef tools_definition = {
    PyModuleDef_HEAD_INIT,
    "vorel_tools._core",
    "Arrays, batches and game state over vorel_chess boards and FEN texts.",
    0,
    methods.data(),
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

ModuleRecord tools_record;

void add_contents(PyObject* module) {
  chess_board_type();
  if (PyModule_AddStringConstant(module, "__version__", VOREL_VERSION) < 0) throw PythonError{};
  add_batch_constants(module);
  add_pgn_types(module);
  add_game_types(module);
  // The very class vorel_chess raises for internal faults.
  PyObject* panic = panic_exception();
  if (panic == nullptr || PyModule_AddObjectRef(module, "PanicException", panic) < 0)
    throw PythonError{};
}

}  // namespace

}  // namespace vorel::python

PyMODINIT_FUNC PyInit__core() {
  return vorel::python::initialise_module(
      vorel::python::tools_record, vorel::python::tools_definition, vorel::python::add_contents);
}
