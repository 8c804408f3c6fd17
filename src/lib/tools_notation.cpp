#include "lib/tools_methods.hpp"

namespace vorel::python {

std::span<const PyMethodDef> notation_methods() { return {}; }

}  // namespace vorel::python
