#include "lib/numpy_buffer.hpp"

namespace vorel::python {

namespace {

// Returns numpy.empty, importing NumPy on first use; kept for the process.
PyObject* numpy_empty() {
  static PyObject* empty = nullptr;
  if (empty == nullptr) {
    const OwnedRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) throw PythonError{};
    empty = PyObject_GetAttrString(numpy.get(), "empty");
    if (empty == nullptr) throw PythonError{};
  }
  return empty;
}

}  // namespace

OwnedRef shape_tuple(const std::vector<std::size_t>& shape) {
  OwnedRef tuple(created(PyTuple_New(static_cast<Py_ssize_t>(shape.size()))));
  Py_ssize_t i = 0;
  for (const std::size_t size : shape)
    PyTuple_SET_ITEM(tuple.get(), i++, created(PyLong_FromSize_t(size)));
  return tuple;
}

OwnedRef new_array(const std::vector<std::size_t>& shape, const char* dtype) {
  const OwnedRef dimensions = shape_tuple(shape);
  const OwnedRef type(created(PyUnicode_FromString(dtype)));
  PyObject* arguments[] = {dimensions.get(), type.get()};
  OwnedRef array(PyObject_Vectorcall(numpy_empty(), arguments, 2, nullptr));
  if (!array) throw PythonError{};
  return array;
}

void take_new_array_view(Buffer& buffer, PyObject* array, std::size_t bytes) {
  if (!buffer.acquire(array, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) {
    raise_from_current(PyExc_TypeError,
                       "numpy.empty() returned a '%s' that offers no writable C-contiguous view",
                       Py_TYPE(array)->tp_name);
  }
  if (buffer.view.readonly || !PyBuffer_IsContiguous(&buffer.view, 'C') || !buffer.holds(bytes)) {
    raise_format(PyExc_TypeError,
                 "numpy.empty() returned a '%s' of %zd bytes, not a writable C-contiguous array "
                 "of %zu bytes",
                 Py_TYPE(array)->tp_name, buffer.view.len, bytes);
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

void cut_rows(PyObject* array, std::size_t rows, const std::vector<std::size_t>& shape) {
  if (rows == shape.front()) return;
  // NumPy's resize without its reference check moves the data of an array that others may still
  // see: a view of it that a replaced numpy.empty kept would point at freed memory.
  if (Py_REFCNT(array) != 1) {
    raise_format(PyExc_TypeError,
                 "numpy.empty() returned a '%s' that is referenced elsewhere, not a new array",
                 Py_TYPE(array)->tp_name);
  }
  std::vector<std::size_t> cut = shape;
  cut.front() = rows;
  const OwnedRef new_shape = shape_tuple(cut);
  const OwnedRef method(created(PyUnicode_FromString("resize")));
  const OwnedRef keywords(Py_BuildValue("(s)", "refcheck"));
  if (!keywords) throw PythonError{};
  PyObject* arguments[] = {array, new_shape.get(), Py_False};
  const OwnedRef done(PyObject_VectorcallMethod(method.get(), arguments, 2, keywords.get()));
  if (!done) throw PythonError{};
}

}  // namespace vorel::python
