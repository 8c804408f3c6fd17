/* The floors of the benchmark: the least work the interpreter needs to build the results that
 * generator(board) and bitboard() return. Built by bench/bench.py, never installed. */

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

/* Returns a new list holding a fresh str for every ASCII str of the given list. */
static PyObject* move_texts(PyObject* self, PyObject* texts) {
  (void)self;
  Py_ssize_t n = PyList_GET_SIZE(texts);
  PyObject* result = PyList_New(n);
  if (result == NULL) return NULL;
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject* source = PyList_GET_ITEM(texts, i);
    Py_ssize_t size = PyUnicode_GET_LENGTH(source);
    PyObject* text = PyUnicode_New(size, 127);
    if (text == NULL) {
      Py_DECREF(result);
      return NULL;
    }
    memcpy(PyUnicode_DATA(text), PyUnicode_DATA(source), (size_t)size);
    PyList_SET_ITEM(result, i, text);
  }
  return result;
}

/* Returns 12 lists of 64 bools from a tuple of 12 bitboards (ints). */
static PyObject* planes(PyObject* self, PyObject* bitboards) {
  (void)self;
  unsigned long long boards[12];
  for (Py_ssize_t k = 0; k < 12; k++) {
    boards[k] = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(bitboards, k));
  }
  if (PyErr_Occurred()) return NULL;
  PyObject* values[2] = {Py_False, Py_True};
  PyObject* result = PyList_New(12);
  if (result == NULL) return NULL;
  for (Py_ssize_t k = 0; k < 12; k++) {
    PyObject* plane = PyList_New(64);
    if (plane == NULL) {
      Py_DECREF(result);
      return NULL;
    }
    for (Py_ssize_t i = 0; i < 64; i++) {
      PyList_SET_ITEM(plane, i, Py_NewRef(values[(boards[k] >> i) & 1]));
    }
    PyList_SET_ITEM(result, k, plane);
  }
  return result;
}

static PyMethodDef methods[] = {
    {"move_texts", move_texts, METH_O, "Fresh copies of a list of ASCII str."},
    {"planes", planes, METH_O, "12 lists of 64 bools from 12 bitboards."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "bench_floor", NULL, 0, methods};

PyMODINIT_FUNC PyInit_bench_floor(void) { return PyModule_Create(&module); }
