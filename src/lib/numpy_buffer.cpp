#include "lib/numpy_buffer.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vorel::python {

char native_code(const Buffer& buffer) {
  std::string_view format = buffer.format();
  if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<'))
    format.remove_prefix(1);
  return format.size() == 1 ? format[0] : '\0';
}

namespace {

// Returns numpy.empty, or numpy.zeros, importing NumPy on first use; kept for the process.
PyObject* numpy_maker(bool zeroed) {
  static PyObject* makers[2] = {nullptr, nullptr};
  PyObject*& maker = makers[zeroed ? 1 : 0];
  if (maker == nullptr) {
    const OwnedRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) throw PythonError{};
    maker = PyObject_GetAttrString(numpy.get(), zeroed ? "zeros" : "empty");
    if (maker == nullptr) throw PythonError{};
  }
  return maker;
}

// Returns the one-dimensional view of an object that offers a buffer, or an empty Buffer when it
// offers none or refuses one for its layout; any other error of the exporter is raised. A view
// of a single value (zero dimensions) raises TypeError naming the argument.
void take_vector_view(Buffer& buffer, PyObject* object, const char* name, const char* what) {
  if (!PyObject_CheckBuffer(object)) return;
  if (!buffer.acquire(object, PyBUF_RECORDS_RO)) {
    if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
        !PyErr_ExceptionMatches(PyExc_TypeError))
      throw PythonError{};
    PyErr_Clear();
    return;
  }
  if (buffer.view.ndim == 0) {
    raise_format(PyExc_TypeError, "argument '%s': expected %s, got a single '%s'", name, what,
                 Py_TYPE(object)->tp_name);
  }
  if (buffer.view.ndim != 1 || buffer.view.shape == nullptr || buffer.view.strides == nullptr ||
      (buffer.view.shape[0] > 0 && buffer.view.buf == nullptr))
    buffer.release();
}

// Returns the bool of an object that is one: Python's True and False, and NumPy's bool scalars
// (zero-dimensional views of format '?'); nothing for anything else.
std::optional<bool> bool_value(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True;
  if (PyLong_Check(object) || !PyObject_CheckBuffer(object)) return std::nullopt;
  const Buffer look(object, PyBUF_RECORDS_RO, std::nothrow);
  if (!look || look.view.ndim != 0 || look.view.itemsize != 1 || native_code(look) != '?')
    return std::nullopt;
  return item_at<std::uint8_t>(look, 0) != 0;
}

}  // namespace

std::vector<std::int64_t> integers_argument(PyObject* object, const char* name, const char* what) {
  Buffer buffer;
  take_vector_view(buffer, object, name, what);
  const char code = buffer ? native_code(buffer) : '\0';
  const std::size_t size = buffer ? static_cast<std::size_t>(buffer.view.itemsize) : 0;
  const bool is_signed = code != '\0' && std::string_view("bhilqn").contains(code);
  const bool is_unsigned = code != '\0' && std::string_view("BHILQN").contains(code);
  if ((is_signed || is_unsigned) && (size == 1 || size == 2 || size == 4 || size == 8)) {
    const auto count = static_cast<std::size_t>(buffer.view.shape[0]);
    const Py_ssize_t stride = buffer.view.strides[0];
    std::vector<std::int64_t> values(count);
    for (std::size_t i = 0; i < count; ++i) {
      const Py_ssize_t offset = static_cast<Py_ssize_t>(i) * stride;
      switch (size) {
        case 1:
          values[i] = is_signed ? item_at<std::int8_t>(buffer, offset)
                                : item_at<std::uint8_t>(buffer, offset);
          break;
        case 2:
          values[i] = is_signed ? item_at<std::int16_t>(buffer, offset)
                                : item_at<std::uint16_t>(buffer, offset);
          break;
        case 4:
          values[i] = is_signed ? item_at<std::int32_t>(buffer, offset)
                                : item_at<std::uint32_t>(buffer, offset);
          break;
        default: {
          const auto value = item_at<std::uint64_t>(buffer, offset);
          if (!is_signed && value > static_cast<std::uint64_t>(INT64_MAX)) {
            raise_format(PyExc_ValueError, "argument '%s': item %zu: %llu is out of range", name, i,
                         static_cast<unsigned long long>(value));
          }
          values[i] = static_cast<std::int64_t>(value);
        }
      }
    }
    return values;
  }
  buffer.release();
  const OwnedRef items = items_argument(object, name, what);
  const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
  std::vector<std::int64_t> values(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const IndexArgument value = index_argument(PyTuple_GET_ITEM(items.get(), i), name, i);
    if (!value.value) {
      raise_format(PyExc_ValueError, "argument '%s': item %zd: %R is out of range", name, i,
                   value.number.get());
    }
    values[static_cast<std::size_t>(i)] = *value.value;
  }
  return values;
}

std::vector<std::uint8_t> flags_argument(PyObject* object, const char* name, std::size_t count) {
  if (const std::optional<bool> single = bool_value(object))
    return std::vector<std::uint8_t>(count, *single ? 1 : 0);
  std::vector<std::uint8_t> flags;
  Buffer buffer;
  take_vector_view(buffer, object, name, "one bool or a sequence of bools");
  if (buffer && buffer.view.itemsize == 1 && native_code(buffer) == '?') {
    flags.resize(static_cast<std::size_t>(buffer.view.shape[0]));
    for (std::size_t i = 0; i < flags.size(); ++i)
      flags[i] =
          item_at<std::uint8_t>(buffer, static_cast<Py_ssize_t>(i) * buffer.view.strides[0]) != 0;
  } else {
    buffer.release();
    const OwnedRef items = items_argument(object, name, "one bool or a sequence of bools");
    const Py_ssize_t size = PyTuple_GET_SIZE(items.get());
    flags.resize(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = PyTuple_GET_ITEM(items.get(), i);
      const std::optional<bool> value = bool_value(item);
      if (!value) {
        raise_format(PyExc_TypeError, "argument '%s': item %zd: expected bool, got '%s'", name, i,
                     Py_TYPE(item)->tp_name);
      }
      flags[static_cast<std::size_t>(i)] = *value ? 1 : 0;
    }
  }
  if (flags.size() != count) {
    raise_format(PyExc_ValueError, "argument '%s': expected one bool or %zu, got %zu", name, count,
                 flags.size());
  }
  return flags;
}

OwnedRef shape_tuple(const std::vector<std::size_t>& shape) {
  OwnedRef tuple(created(PyTuple_New(static_cast<Py_ssize_t>(shape.size()))));
  Py_ssize_t i = 0;
  for (const std::size_t size : shape)
    PyTuple_SET_ITEM(tuple.get(), i++, created(PyLong_FromSize_t(size)));
  return tuple;
}

OwnedRef new_array(const std::vector<std::size_t>& shape, const char* dtype, bool zeroed) {
  const OwnedRef dimensions = shape_tuple(shape);
  const OwnedRef type(created(PyUnicode_FromString(dtype)));
  PyObject* arguments[] = {dimensions.get(), type.get()};
  OwnedRef array(PyObject_Vectorcall(numpy_maker(zeroed), arguments, 2, nullptr));
  if (!array) throw PythonError{};
  return array;
}

void take_new_array_view(Buffer& buffer, PyObject* array, std::size_t bytes, bool zeroed) {
  const char* const maker = zeroed ? "numpy.zeros()" : "numpy.empty()";
  if (!buffer.acquire(array, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) {
    raise_from_current(PyExc_TypeError,
                       "%s returned a '%s' that offers no writable C-contiguous view", maker,
                       Py_TYPE(array)->tp_name);
  }
  if (buffer.view.readonly || !PyBuffer_IsContiguous(&buffer.view, 'C') || !buffer.holds(bytes)) {
    raise_format(PyExc_TypeError,
                 "%s returned a '%s' of %zd bytes, not a writable C-contiguous array of %zu bytes",
                 maker, Py_TYPE(array)->tp_name, buffer.view.len, bytes);
  }
}

void require_disjoint(std::vector<const Buffer*> views) {
  std::erase_if(views, [](const Buffer* buffer) { return buffer->view.len == 0; });
  const auto start = [](const Buffer* buffer) {
    return reinterpret_cast<std::uintptr_t>(buffer->view.buf);
  };
  std::ranges::sort(views, {}, start);
  for (std::size_t i = 1; i < views.size(); ++i) {
    if (start(views[i]) - start(views[i - 1]) <
        static_cast<std::uintptr_t>(views[i - 1]->view.len)) {
      raise(PyExc_TypeError,
            "numpy.empty() returned arrays that share memory: each new array must be its own");
    }
  }
}

NewArray make_array(const std::vector<std::size_t>& shape, const char* dtype,
                    std::size_t item_size) {
  std::size_t bytes = item_size;
  for (const std::size_t size : shape) bytes *= size;
  OwnedRef array = new_array(shape, dtype);
  auto view = std::make_unique<Buffer>();
  take_new_array_view(*view, array.get(), bytes);
  return {std::move(array), std::move(view)};
}

OwnedRef cut_rows(OwnedRef array, std::size_t rows, const std::vector<std::size_t>& shape) {
  if (rows == shape.front()) return array;
  if (Py_REFCNT(array.get()) != 1) {
    // Held elsewhere too (a replaced numpy.empty may keep a view of what it hands out): a resize
    // would free the memory under such a view, and NumPy's own check of references, which allows
    // for a caller's reference, cannot tell it. The rows are copied instead.
    const OwnedRef head(PySequence_GetSlice(array.get(), 0, static_cast<Py_ssize_t>(rows)));
    if (!head) throw PythonError{};
    OwnedRef copy(PyObject_CallMethod(head.get(), "copy", nullptr));
    if (!copy) throw PythonError{};
    return copy;
  }
  std::vector<std::size_t> cut = shape;
  cut.front() = rows;
  const OwnedRef new_shape = shape_tuple(cut);
  const OwnedRef method(created(PyUnicode_FromString("resize")));
  const OwnedRef keywords(Py_BuildValue("(s)", "refcheck"));
  if (!keywords) throw PythonError{};
  PyObject* arguments[] = {array.get(), new_shape.get(), Py_False};
  const OwnedRef done(PyObject_VectorcallMethod(method.get(), arguments, 2, keywords.get()));
  if (!done) throw PythonError{};
  return array;
}

}  // namespace vorel::python
