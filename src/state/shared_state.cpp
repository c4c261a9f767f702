#include "state/shared_state.h"

#include <stdexcept>
#include <string>

namespace kcs {

void throwBrokenLock(const char* lockName) {
  throw std::runtime_error(std::string(lockName) + " is broken");
}

}  // namespace kcs
