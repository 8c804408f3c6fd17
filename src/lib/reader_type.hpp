#pragma once

// The Python class of an iterator over the games of a source that it may have opened
// (read_pgn()'s PgnReader, read_games()'s GameReader): next() under an exclusive borrow, close(),
// the context manager, the garbage collector's view of the source, and a dealloc that closes the
// file the reader opened when it is dropped before its end.
//
// `Reader` is the native state. It provides
//   static constexpr const char* NAME, QUALIFIED_NAME, DOC, CLOSE_DOC;
//   OwnedRef next();     // the next item, or a null reference at the end
//   void close();        // ends the iteration; closes the file it opened
//   bool closed() const;
//   std::optional<long long> bytes_read() const;  // of the file; nothing for a sequence
//   int traverse(visitproc, void*) const;
//   void clear();        // drops its references to Python objects

#include <optional>

#include "lib/python_support.hpp"

namespace vorel::python {

template <class Reader>
PyTypeObject* reader_type();

namespace reader_slots {

template <class Reader>
Wrapped<Reader>* self_reader(PyObject* self) {
  return receiver<Reader>(self, reader_type<Reader>(), Reader::NAME);
}

template <class Reader>
PyObject* next(PyObject* self) {
  PyObject* item = guarded([&] {
    Wrapped<Reader>* object = self_reader<Reader>(self);
    const ExclusiveBorrow access = borrow<true>(object->borrow);
    return object->value.next();  // null at the end of the iteration, with no error set
  });
  if (item == nullptr && PyErr_ExceptionMatches(PyExc_StopIteration)) {
    // Raised by code the reader called (a file's read(), a where callback): as it stands it
    // would end the caller's loop as if the games were over. It becomes an error, as it does
    // out of a generator.
    OwnedRef cause(PyErr_GetRaisedException());
    PyErr_Format(PyExc_RuntimeError, "%s: StopIteration raised by code the reader called",
                 Reader::QUALIFIED_NAME);
    OwnedRef error(PyErr_GetRaisedException());
    PyException_SetContext(error.get(), Py_NewRef(cause.get()));
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetRaisedException(error.release());
  }
  return item;
}

template <class Reader>
PyObject* close(PyObject* self, PyObject*) {
  return guarded([&] {
    Wrapped<Reader>* object = self_reader<Reader>(self);
    const ExclusiveBorrow access = borrow<true>(object->borrow);
    object->value.close();
    return Py_NewRef(Py_None);
  });
}

template <class Reader>
PyObject* enter(PyObject* self, PyObject*) {
  return guarded([&] {
    self_reader<Reader>(self);
    return Py_NewRef(self);
  });
}

template <class Reader>
PyObject* exit(PyObject* self, PyObject* const*, Py_ssize_t) {
  return close<Reader>(self, nullptr);
}

// The garbage collector sees the source's objects (a file object that refers back to its reader
// does not keep both alive).
template <class Reader>
int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* object = reinterpret_cast<Wrapped<Reader>*>(self);
  return object->constructed ? object->value.traverse(visit, arg) : 0;
}

template <class Reader>
int clear(PyObject* self) {
  auto* object = reinterpret_cast<Wrapped<Reader>*>(self);
  if (object->constructed) object->value.clear();
  return 0;
}

template <class Reader>
void dealloc_reader(PyObject* self) {
  auto* object = reinterpret_cast<Wrapped<Reader>*>(self);
  if (object->constructed && !object->value.closed()) {
    // A reader dropped before its end still closes the file it opened.
    PyObject_GC_UnTrack(self);
    OwnedRef pending(PyErr_GetRaisedException());
    const OwnedRef done(guarded([&] {
      object->value.close();
      return Py_NewRef(Py_None);
    }));
    if (!done) PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(pending.release());
  }
  dealloc<Reader>(self);
}

template <class Reader>
PyObject* bytes_read(PyObject* self, void*) {
  return guarded([&] {
    const std::optional<long long> read = self_reader<Reader>(self)->value.bytes_read();
    return read ? created(PyLong_FromLongLong(*read)) : Py_NewRef(Py_None);
  });
}

template <class Reader>
PyGetSetDef GETSET[] = {
    {"bytes_read", bytes_read<Reader>, nullptr,
     "The bytes of the file read so far: for a path, of the file as it lies on disk (compressed "
     "bytes for a compressed file); for a file object, those its read() returned (a text file's "
     "as UTF-8). Files are read ahead of the games given, a chunk at a time. None for a sequence "
     "of game texts, and for a compressed file that cannot tell its position (a pipe).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class Reader>
PyMethodDef METHODS[] = {
    {"close", close<Reader>, METH_NOARGS, Reader::CLOSE_DOC},
    {"__enter__", enter<Reader>, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exit<Reader>)),
     METH_FASTCALL, "__exit__($self, /, *exc_info)\n--\n\nCalls close()."},
    {nullptr, nullptr, 0, nullptr},
};

template <class Reader>
PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(Reader::DOC)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_reader<Reader>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse<Reader>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear<Reader>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(next<Reader>)},
    {Py_tp_methods, METHODS<Reader>},
    {Py_tp_getset, GETSET<Reader>},
    {0, nullptr},
};

template <class Reader>
PyType_Spec SPEC = {
    Reader::QUALIFIED_NAME,
    sizeof(Wrapped<Reader>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    SLOTS<Reader>,
};

}  // namespace reader_slots

// Returns the class, created on first use and kept.
template <class Reader>
PyTypeObject* reader_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = create_type(&reader_slots::SPEC<Reader>, Reader::NAME);
  return type;
}

}  // namespace vorel::python
