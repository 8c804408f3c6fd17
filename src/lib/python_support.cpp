#include "lib/python_support.hpp"

#include <array>
#include <cstdarg>
#include <cstring>
#include <string>

namespace vorel::python {

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError{};
}

void raise(PyObject* type, std::string_view message) {
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text != nullptr) {
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  }
  throw PythonError{};
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw PythonError{};
}

void raise_from_current(PyObject* type, const char* format, ...) {
  OwnedRef cause(PyErr_GetRaisedException());
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  OwnedRef error(PyErr_GetRaisedException());
  if (cause) PyException_SetCause(error.get(), cause.release());  // steals the cause
  PyErr_SetRaisedException(error.release());
  throw PythonError{};
}

PyObject* panic_exception() {
  static PyObject* panic = nullptr;
  if (panic == nullptr) {
    const OwnedRef runtime(PyImport_ImportModule("vorel_chess_runtime"));
    if (runtime) panic = PyObject_GetAttrString(runtime.get(), "PanicException");
  }
  return panic;
}

void set_panic(const char* message) noexcept {
  PyObject* panic = panic_exception();
  if (panic == nullptr) return;
  PyObject* text =
      PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace");
  if (text == nullptr) return;
  PyErr_SetObject(panic, text);
  Py_DECREF(text);
}

namespace {

// Returns the index of the parameter called `name`, or count when there is none.
std::size_t parameter_index(PyObject* name, const char* const* names, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, names[i]) == 0) return i;
  }
  return count;
}

void check_positional_count(const char* function, std::size_t count, std::size_t required,
                            Py_ssize_t nargs) {
  if (static_cast<std::size_t>(nargs) <= count) return;
  const char* verb = nargs == 1 ? "was" : "were";
  if (required >= count) {
    raise_format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", function,
                 count, nargs, verb);
  }
  raise_format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
               function, required, count, nargs, verb);
}

// Stores one keyword argument, refusing unknown and repeated names.
void take_keyword(const char* function, const char* const* names, std::size_t count, PyObject* name,
                  PyObject* value, PyObject** out) {
  if (!PyUnicode_Check(name))
    raise_format(PyExc_TypeError, "%s keywords must be strings", function);
  const std::size_t index = parameter_index(name, names, count);
  if (index == count) {
    raise_format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", function, name);
  }
  if (out[index] != nullptr) {
    raise_format(PyExc_TypeError, "%s got multiple values for argument '%s'", function,
                 names[index]);
  }
  out[index] = value;
}

void check_required(const char* function, const char* const* names, std::size_t required,
                    std::size_t positional, PyObject** out) {
  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) {
      raise_format(PyExc_TypeError, "%s missing 1 required %s argument: '%s'", function,
                   i < positional ? "positional" : "keyword-only", names[i]);
    }
  }
}

}  // namespace

void parse_arguments(const char* function, const char* const* names, std::size_t count,
                     std::size_t required, std::size_t positional, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  check_positional_count(function, positional, required, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    take_keyword(function, names, count, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out);
  }
  check_required(function, names, required, positional, out);
}

void parse_arguments(const char* function, const char* const* names, std::size_t count,
                     std::size_t required, std::size_t positional, PyObject* args, PyObject* kwargs,
                     PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  check_positional_count(function, positional, required, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value))
      take_keyword(function, names, count, name, value, out);
  }
  check_required(function, names, required, positional, out);
}

std::string_view text_argument(PyObject* argument, const char* name) {
  if (!PyUnicode_Check(argument)) {
    raise_format(PyExc_TypeError, "argument '%s': expected str, got '%s'", name,
                 Py_TYPE(argument)->tp_name);
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(argument, &size);
  if (text == nullptr) throw PythonError{};
  return {text, static_cast<std::size_t>(size)};
}

IndexArgument index_argument(PyObject* object, const char* name, Py_ssize_t item) {
  if (!is_index(object)) {
    if (item >= 0) {
      raise_format(PyExc_TypeError, "argument '%s': item %zd: expected int, got '%s'", name, item,
                   Py_TYPE(object)->tp_name);
    }
    raise_format(PyExc_TypeError, "argument '%s': expected int, got '%s'", name,
                 Py_TYPE(object)->tp_name);
  }
  IndexArgument argument{OwnedRef(PyNumber_Index(object)), std::nullopt};
  if (!argument.number) {
    // An __index__ that refuses (NumPy's for an array of several items) is named; any other
    // error of it is passed on as it is.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
    if (item >= 0) {
      raise_from_current(PyExc_TypeError, "argument '%s': item %zd: expected int, got '%s'", name,
                         item, Py_TYPE(object)->tp_name);
    }
    raise_from_current(PyExc_TypeError, "argument '%s': expected int, got '%s'", name,
                       Py_TYPE(object)->tp_name);
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(argument.number.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  if (overflow == 0) argument.value = value;
  return argument;
}

OwnedRef items_argument(PyObject* object, const char* name, const char* what) {
  if (PyTuple_CheckExact(object)) return OwnedRef(Py_NewRef(object));
  if (Py_TYPE(object)->tp_iter == nullptr && !PySequence_Check(object)) {
    raise_format(PyExc_TypeError, "argument '%s': expected %s, got '%s'", name, what,
                 Py_TYPE(object)->tp_name);
  }
  OwnedRef items(PySequence_Tuple(object));
  if (!items) throw PythonError{};
  return items;
}

OwnedRef new_ascii(const char* text, std::size_t size) {
  OwnedRef result(created(PyUnicode_New(static_cast<Py_ssize_t>(size), 127)));
  std::copy(text, text + size, static_cast<char*>(PyUnicode_DATA(result.get())));
  return result;
}

OwnedRef move_text(ChessMove move) {
  static std::array<PyObject*, std::size_t{5} << 12> texts{};
  const unsigned code = move.special();
  char text[ChessMove::MAX_TEXT];
  if (code > PROMOTE_QUEEN) [[unlikely]]
    return new_ascii(text, move.write_text(text));  // faults
  const unsigned letter = code < PROMOTE_KNIGHT ? 0 : code - PROMOTE_KNIGHT + 1;
  PyObject*& cached = texts[letter << 12 | (move.data & 0xFFF)];
  if (cached == nullptr) [[unlikely]]
    cached = new_ascii(text, move.write_text(text)).release();  // kept for the process
  return OwnedRef(Py_NewRef(cached));
}

PyTypeObject* create_type(PyType_Spec* spec, const char* class_name) {
  PyObject* type = PyType_FromSpec(spec);
  if (type == nullptr)
    raise_from_current(PyExc_RuntimeError, "An error occurred while initializing class %s",
                       class_name);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* initialise_module(ModuleRecord& record, PyModuleDef& definition,
                            void (*fill)(PyObject* module)) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "cannot read the interpreter id");
    return nullptr;
  }
  std::int64_t owner = -1;
  if (!record.owning_interpreter.compare_exchange_strong(owner, id) && owner != id) {
    PyErr_Format(PyExc_ImportError,
                 "%s cannot be used in more than one interpreter: "
                 "sub-interpreters are not supported",
                 definition.m_name);
    return nullptr;
  }
  if (record.module != nullptr) return Py_NewRef(record.module);
  return guarded([&] {
    OwnedRef module(PyModule_Create(&definition));
    if (!module) throw PythonError{};
    fill(module.get());
    record.module = module.release();
    return Py_NewRef(record.module);
  });
}

}  // namespace vorel::python
