#pragma once

#include "lib/python_support.hpp"

namespace vorel::python {

// Returns the MoveGenerator class, creating it on first use; raises PythonError if that fails.
PyTypeObject* move_generator_type();

}  // namespace vorel::python
