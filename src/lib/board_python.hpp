#pragma once

#include "lib/python_support.hpp"

namespace vorel::python {

// Returns the Board class, creating it on first use; raises PythonError if that fails.
PyTypeObject* board_type();

}  // namespace vorel::python
