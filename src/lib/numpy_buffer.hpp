#pragma once

// NumPy arrays as vorel_tools makes and reads them, through NumPy's Python API only
// (numpy.empty, the buffer protocol), so that the module builds without NumPy's headers.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "lib/python_support.hpp"

namespace vorel::python {

// Returns a new tuple of the sizes.
OwnedRef shape_tuple(const std::vector<std::size_t>& shape);

// Returns a new uninitialised array from numpy.empty, or with `zeroed` one of zeros from
// numpy.zeros (whose large arrays come as fresh pages, zeroed by the system as they are first
// written); `dtype` is a NumPy type name such as "uint8". NumPy is imported on first use.
OwnedRef new_array(const std::vector<std::size_t>& shape, const char* dtype, bool zeroed = false);

// A buffer view of an object, released when the owner goes out of scope or by release().
class Buffer {
 public:
  Buffer() = default;
  // Takes a view with the given flags or raises.
  Buffer(PyObject* object, int flags) {
    if (!acquire(object, flags)) throw PythonError{};
  }
  // Takes a view if the object offers one with these flags; no error is left set otherwise.
  Buffer(PyObject* object, int flags, std::nothrow_t) {
    if (!acquire(object, flags)) PyErr_Clear();
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { release(); }

  // Takes a view with the given flags, releasing any held before; false with the exporter's
  // error set when it refuses.
  bool acquire(PyObject* object, int flags) {
    release();
    acquired_ = PyObject_GetBuffer(object, &view, flags) == 0;
    return acquired_;
  }
  void release() {
    if (acquired_) PyBuffer_Release(&view);
    acquired_ = false;
  }

  explicit operator bool() const { return acquired_; }
  template <class T>
  T* data() const {
    return static_cast<T*>(view.buf);
  }
  std::string_view format() const { return view.format == nullptr ? "B" : view.format; }
  // True when the view holds exactly `bytes` bytes, at an address when there are any.
  bool holds(std::size_t bytes) const {
    return view.len >= 0 && static_cast<std::size_t>(view.len) == bytes &&
           (bytes == 0 || view.buf != nullptr);
  }

  Py_buffer view{};

 private:
  bool acquired_ = false;
};

// Returns the value of one item of a view, read as `T`, at byte offset `offset`.
template <class T>
T item_at(const Buffer& buffer, Py_ssize_t offset) {
  T value;
  std::memcpy(&value, static_cast<const char*>(buffer.view.buf) + offset, sizeof value);
  return value;
}

// Returns the one character of a buffer format in the machine's own order and sizes ("<q",
// "=H", "@i", "l"), or 0 for any other format.
char native_code(const Buffer& buffer);

// Takes into `buffer` the one view through which a new array from numpy.empty (numpy.zeros when
// `zeroed`) is written, and checks on that very view that it is writable, C-contiguous and
// exactly `bytes` long; raises TypeError otherwise (numpy.empty replaced by something else, say).
void take_new_array_view(Buffer& buffer, PyObject* array, std::size_t bytes, bool zeroed = false);

// Raises TypeError when two of the views of new arrays share memory: a replaced numpy.empty that
// handed out one array twice would have them written over each other.
void require_disjoint(std::vector<const Buffer*> views);

// A new array and the one view its bytes are written through, held until the writing is done
// (worker threads write there without the interpreter lock).
struct NewArray {
  OwnedRef array;
  std::unique_ptr<Buffer> view;

  void* data() const { return view->view.buf; }
};
NewArray make_array(const std::vector<std::size_t>& shape, const char* dtype,
                    std::size_t item_size);

// Returns a new one-dimensional array holding a copy of the values.
template <class T>
OwnedRef array_of(const std::vector<T>& values, const char* dtype) {
  NewArray made = make_array({values.size()}, dtype, sizeof(T));
  if (!values.empty()) std::memcpy(made.data(), values.data(), values.size() * sizeof(T));
  return std::move(made.array);
}

// Returns the integers of an integer argument: a one-dimensional array of any integer type, read
// directly through one view, or any other iterable of integers, read from a tuple of the call's
// own as operator.index reads them (bool refused). Raises TypeError naming the argument for a
// single value or an item that is no integer, and ValueError naming the item for a value beyond
// 64 bits; `what` names what is expected ("a sequence of move words").
std::vector<std::int64_t> integers_argument(PyObject* object, const char* name, const char* what);

// Returns `count` flags from a bool argument: one bool (Python's or NumPy's) for every row, or a
// one-dimensional bool array or any iterable of bools, one per row. Raises TypeError naming the
// argument for an item that is no bool and ValueError for a length other than `count`.
std::vector<std::uint8_t> flags_argument(PyObject* object, const char* name, std::size_t count);

// Returns an array that the call made cut down to its first `rows` rows: the array itself, resized
// in place, when the call holds its only reference, else a copy of those rows (a replaced
// numpy.empty may have kept a view of it, which a resize would leave over freed memory); `shape`
// is the shape it was made with.
OwnedRef cut_rows(OwnedRef array, std::size_t rows, const std::vector<std::size_t>& shape);

}  // namespace vorel::python
