#pragma once

// Helpers shared by the binding files: owned references, argument parsing, access guards and
// the conversion of C++ faults into Python exceptions. Only binding code includes this header.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifdef Py_GIL_DISABLED
#error "vorel_chess supports only the CPython build with the interpreter lock"
#endif

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "chess_move/chess_move.hpp"
#include "common/fault.hpp"
#include "lib/borrow.hpp"

namespace vorel::python {

// Thrown by binding code once a Python exception is set; the boundary returns NULL for it.
struct PythonError {};

// Thrown when the interpreter fails to create a result object.
struct ResultCreationError {};

// A strong reference, released when the owner goes out of scope.
class OwnedRef {
 public:
  OwnedRef() = default;
  explicit OwnedRef(PyObject* object) : object_(object) {}
  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

// Returns object, or throws ResultCreationError if the interpreter could not create it.
inline PyObject* created(PyObject* object) {
  if (object == nullptr) throw ResultCreationError{};
  return object;
}

// Sets a Python exception and throws PythonError.
[[noreturn]] void raise(PyObject* type, const char* message);
// The same with a message of UTF-8 text (which may hold any character, NUL included).
[[noreturn]] void raise(PyObject* type, std::string_view message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
// The same with the exception set now as the new one's __cause__.
[[noreturn]] void raise_from_current(PyObject* type, const char* format, ...);

// Returns the exception class of internal faults, PanicException. It lives in the module
// vorel_chess_runtime, imported on first use and kept for the process, so that every module of
// the package raises the same class and a pickled fault unpickles in any process.
PyObject* panic_exception();

void set_panic(const char* message) noexcept;

// Runs a method body, which returns its result as a new reference (an OwnedRef or a raw
// pointer); C++ faults become Python exceptions here and nowhere else.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    if constexpr (std::is_same_v<decltype(body()), OwnedRef>) {
      return body().release();
    } else {
      return body();
    }
  } catch (const PythonError&) {
    return nullptr;
  } catch (const ResultCreationError&) {
    // The interpreter's own error is printed and cleared, then reported as a fault.
    PyErr_Print();
    set_panic("Python API call failed");
    return nullptr;
  } catch (const std::bad_alloc&) {
    // Every operation changes its objects only once its allocations have succeeded.
    PyErr_NoMemory();
    return nullptr;
  } catch (const std::exception& fault) {
    set_panic(fault.what());
    return nullptr;
  } catch (...) {
    set_panic("unknown internal fault");
    return nullptr;
  }
}

// Takes an access on a borrow flag or raises RuntimeError.
template <bool Exclusive>
Borrow<Exclusive> borrow(BorrowFlag& flag) {
  auto taken = Borrow<Exclusive>::take(flag);
  if (!taken) raise(PyExc_RuntimeError, borrow_error_message(taken.error()).data());
  return std::move(*taken);
}

// The interpreter lock, given up for the life of the object: native work runs meanwhile, touching
// no Python object.
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// The parameter list of one operation, for argument parsing.
template <std::size_t N>
struct Signature {
  const char* function;  // as named in messages, e.g. "Board.push()"
  std::array<const char*, N> names;
  std::size_t required;  // the first `required` parameters have no default
  std::size_t positional =
      N;  // the first `positional` may be given by position, the rest by keyword only
};

// Parses fast-call arguments into `out` (borrowed references, nullptr when absent), raising
// TypeError for too many positional arguments, an unknown or repeated keyword, or a missing
// required parameter.
void parse_arguments(const char* function, const char* const* names, std::size_t count,
                     std::size_t required, std::size_t positional, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// The same for the tuple-and-dict convention.
void parse_arguments(const char* function, const char* const* names, std::size_t count,
                     std::size_t required, std::size_t positional, PyObject* args, PyObject* kwargs,
                     PyObject** out);

template <std::size_t N>
std::array<PyObject*, N> parse(const Signature<N>& signature, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, N> out{};
  if constexpr (N > 0) {
    // The common call: every parameter given by position.
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == N && signature.positional == N) {
      for (std::size_t i = 0; i < N; ++i) out[i] = args[i];
      return out;
    }
  }
  parse_arguments(signature.function, signature.names.data(), N, signature.required,
                  signature.positional, args, nargs, kwnames, out.data());
  return out;
}

template <std::size_t N>
std::array<PyObject*, N> parse(const Signature<N>& signature, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, N> out{};
  if constexpr (N > 0) {
    if (kwargs == nullptr && static_cast<std::size_t>(PyTuple_GET_SIZE(args)) == N &&
        signature.positional == N) {
      for (std::size_t i = 0; i < N; ++i) out[i] = PyTuple_GET_ITEM(args, i);
      return out;
    }
  }
  parse_arguments(signature.function, signature.names.data(), N, signature.required,
                  signature.positional, args, kwargs, out.data());
  return out;
}

// A function as the PyCFunction of a method table, whatever its calling convention.
template <class Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The calling convention of the functions that take keywords.
inline constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

// Returns the UTF-8 text of a str argument, or raises TypeError naming the parameter.
std::string_view text_argument(PyObject* argument, const char* name);

// True for the objects that operator.index() reads as an integer, bool excepted: ints, their
// subclasses and everything with __index__, NumPy's integer scalars included.
inline bool is_index(PyObject* object) { return PyIndex_Check(object) && !PyBool_Check(object); }

// An integer argument: the int that __index__ gave (for messages) and its value when it fits a
// long long, so that a range check refuses a huge value as it refuses any other.
struct IndexArgument {
  OwnedRef number;
  std::optional<long long> value;

  // True when the value is from low to high.
  bool within(long long low, long long high) const {
    return value && *value >= low && *value <= high;
  }
};

// Reads an integer argument as operator.index() does, refusing bool: TypeError "argument 'depth':
// expected int, got 'float'" for an object that is_index() refuses, and whatever its __index__
// raises. With an item index, the message names the item: "argument 'moves': item 3: ...".
IndexArgument index_argument(PyObject* object, const char* name, Py_ssize_t item = -1);

// Returns the items of an iterable argument as a tuple of the call's own, taken before any item
// is looked at, so that no callback of an item (__index__, __eq__, __del__) can change what the
// call reads; a tuple is returned as it is. Raises TypeError "argument 'moves': expected <what>,
// got 'int'" for an object that is not iterable, and whatever its iteration raises.
OwnedRef items_argument(PyObject* object, const char* name, const char* what);

// Returns a new str holding ASCII text.
OwnedRef new_ascii(const char* text, std::size_t size);

// Returns a new reference to the str of a move's text. Each of the at most 64 x 64 x 5 texts
// (codes 0 to 3 print alike) is created on first use and kept for the process, so that results
// share them. A word with code 8..15 has no text form: an internal fault.
OwnedRef move_text(ChessMove move);

// The Python object that carries one native value and its borrow flag.
// `constructed` is set only by wrap(), once value and borrow exist: an object allocated by other
// means (a replaced __new__ calling object.__new__) has zeroed memory and is refused by every
// method, and its dealloc destroys nothing.
template <class Native>
struct Wrapped {
  PyObject_HEAD Native value;
  BorrowFlag borrow;
  bool constructed;
};

// Returns the wrapper of an object of `type` whose value was constructed, or raises TypeError:
// for another type ("expected a Board object, got 'str'", or with the name of the argument
// "argument 'board': expected Board, got 'str'"), and for an object that no constructor of the
// class built ("Board object is not initialized").
template <class Native>
Wrapped<Native>* checked(PyObject* object, PyTypeObject* type, const char* class_name,
                         const char* argument = nullptr) {
  if (Py_TYPE(object) != type) {
    if (argument != nullptr) {
      raise_format(PyExc_TypeError, "argument '%s': expected %s, got '%s'", argument, class_name,
                   Py_TYPE(object)->tp_name);
    }
    raise_format(PyExc_TypeError, "expected a %s object, got '%s'", class_name,
                 Py_TYPE(object)->tp_name);
  }
  auto* wrapped = reinterpret_cast<Wrapped<Native>*>(object);
  if (!wrapped->constructed) {
    raise_format(PyExc_TypeError, "%s object is not initialized: it was not created by %s()",
                 class_name, class_name);
  }
  return wrapped;
}

// Returns the receiver's wrapper once its type and construction are checked.
template <class Native>
Wrapped<Native>* receiver(PyObject* self, PyTypeObject* type, const char* class_name) {
  return checked<Native>(self, type, class_name);
}

// Objects of one class that were dropped recently, kept for the next allocation of the class to
// reuse: creating and dropping objects one at a time (copies in a loop, a board per FEN line)
// then skips the interpreter's small-object allocator, whose pool would empty and refill on every
// such call (measured: about a quarter of a copy()). The memory comes from the class's tp_alloc
// and goes back through its tp_free once the list is full. Classes whose objects take part in
// garbage collection keep out of it: a reused object would not be tracked. Used only under the
// interpreter lock.
template <class Native>
struct FreeList {
  static constexpr std::size_t CAPACITY = 32;
  std::array<PyObject*, CAPACITY> objects{};
  std::size_t size = 0;
};
template <class Native>
inline FreeList<Native> free_list;

// Allocates an object of `type` (one kept by the free list, or a new one from tp_alloc) and
// builds its value in place from `value` (moved from, or copied from when it is an lvalue); an
// allocation failure is passed on as the interpreter's own error, and a value that fails to
// build (std::bad_alloc) frees the object again.
template <class Native>
OwnedRef wrap(PyTypeObject* type, Native&& value) {
  using Value = std::remove_cvref_t<Native>;
  FreeList<Value>& cache = free_list<Value>;
  const bool reuse = cache.size != 0 && !PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC);
  OwnedRef object(reuse ? PyObject_Init(cache.objects[--cache.size], type)
                        : type->tp_alloc(type, 0));
  if (!object) throw PythonError{};
  auto* wrapped = reinterpret_cast<Wrapped<Value>*>(object.get());
  wrapped->constructed = false;
  new (&wrapped->value) Value(std::forward<Native>(value));
  new (&wrapped->borrow) BorrowFlag();
  wrapped->constructed = true;
  return object;
}

// Destroys the native value if wrap() built one, and hands the object to the free list, or to
// the class's tp_free when the list is full or the class's objects are collected (the
// tp_dealloc of every class).
template <class Native>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  const bool collected = PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC);
  if (collected) PyObject_GC_UnTrack(self);
  auto* wrapped = reinterpret_cast<Wrapped<Native>*>(self);
  if (wrapped->constructed) {
    wrapped->value.~Native();
    wrapped->borrow.~BorrowFlag();
  }
  FreeList<Native>& cache = free_list<Native>;
  if (!collected && cache.size < FreeList<Native>::CAPACITY) {
    cache.objects[cache.size++] = self;
  } else {
    type->tp_free(self);
  }
  Py_DECREF(type);
}

// Creates a class from its spec once; on failure raises RuntimeError with the cause attached.
PyTypeObject* create_type(PyType_Spec* spec, const char* class_name);

// The process-wide record of a single-phase module: the interpreter that owns it (-1 until the
// first import) and the module object, handed out again on every later initialisation.
struct ModuleRecord {
  std::atomic<std::int64_t> owning_interpreter{-1};
  PyObject* module = nullptr;
};

// The body of a PyInit function. In the first interpreter that calls it, creates the module from
// `definition` and lets `fill` add its contents (raising PythonError on failure), or returns the
// module created before; any other interpreter gets ImportError.
PyObject* initialise_module(ModuleRecord& record, PyModuleDef& definition,
                            void (*fill)(PyObject* module));

}  // namespace vorel::python
