#pragma once

#include <stdexcept>

namespace vorel {

// An internal fault: a broken precondition or failed range check inside the chess core.
// The binding layer turns it into PanicException carrying what() as its message.
class Fault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace vorel
