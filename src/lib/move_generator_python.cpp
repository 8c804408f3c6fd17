#include "lib/move_generator_python.hpp"

#include "lib/board_python.hpp"
#include "move_generator/move_generator.hpp"

namespace vorel::python {

namespace {

using GeneratorObject = Wrapped<MoveGenerator>;

PyTypeObject* generator_class = nullptr;

constexpr Signature<0> NEW_SIGNATURE{"MoveGenerator.__new__()", {}, 0};
constexpr Signature<1> CALL_SIGNATURE{"MoveGenerator.__call__()", {"board"}, 1};

// Returns the moves as a new list, in order, of the shared str of each move text.
OwnedRef moves_to_list(const MoveList& moves) {
  const auto size = static_cast<Py_ssize_t>(moves.size());
  OwnedRef result(created(PyList_New(size)));
  for (Py_ssize_t i = 0; i < size; ++i)
    PyList_SET_ITEM(result.get(), i, move_text(moves[i]).release());
  return result;
}

PyObject* generator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    parse(NEW_SIGNATURE, args, kwargs);
    return wrap(type, MoveGenerator());
  });
}

PyObject* generator_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto [board_object] = parse(CALL_SIGNATURE, args, kwargs);
    GeneratorObject* generator = receiver<MoveGenerator>(self, generator_class, "MoveGenerator");
    const SharedBorrow generator_access = borrow<false>(generator->borrow);
    BoardObject* board = board_argument(board_object, "board");
    const ExclusiveBorrow board_access = borrow<true>(board->borrow);
    MoveList moves;
    generator->value.moves(board->value, moves);
    return moves_to_list(moves);
  });
}

char generator_doc[] = "MoveGenerator()\n--\n\n";

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(generator_new)},
    {Py_tp_call, reinterpret_cast<void*>(generator_call)},
    {Py_tp_doc, generator_doc},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<MoveGenerator>)},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.MoveGenerator", sizeof(GeneratorObject), 0, Py_TPFLAGS_DEFAULT, slots,
};

}  // namespace

PyTypeObject* move_generator_type() {
  if (generator_class == nullptr) generator_class = create_type(&spec, "MoveGenerator");
  return generator_class;
}

}  // namespace vorel::python
