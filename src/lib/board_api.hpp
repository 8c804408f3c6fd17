#pragma once

// The C-level interface between the package's modules. vorel_chess fills it when it is first
// imported and leaves it, as a capsule, in vorel_chess_runtime; vorel_tools reads boards only
// through it, never by the layout of vorel_chess's objects (the way CPython's datetime module
// offers its C API).

#include <cstddef>
#include <cstdint>

#include "board/board.hpp"
#include "lib/python_support.hpp"

namespace vorel::python {

// The capsule's name: the attribute _board_api of vorel_chess_runtime.
inline constexpr const char* BOARD_API_CAPSULE = "vorel_chess_runtime._board_api";

// The interface's version in this build; the capsule of another build is refused.
inline constexpr std::uint32_t BOARD_API_VERSION = 1u << 16 | sizeof(Position);

// Why share() stopped at a board.
enum class ShareRefusal : int {
  NONE,
  NOT_INITIALIZED,  // no Board constructor built it
  BORROWED,         // it is mutably borrowed
};

struct BoardApi {
  std::uint32_t version;
  PyTypeObject* board_type;  // vorel_chess.Board
  // Takes a shared access on each of `count` objects of board_type and copies its position, in
  // order. Stops at the first that it refuses, setting *refusal; returns how many it took. The
  // accesses taken stay held until unshare().
  std::size_t (*share)(PyObject* const* boards, std::size_t count, Position* positions,
                       ShareRefusal* refusal);
  // Releases the shared accesses that share() took on the boards.
  void (*unshare)(PyObject* const* boards, std::size_t count);
};

}  // namespace vorel::python
