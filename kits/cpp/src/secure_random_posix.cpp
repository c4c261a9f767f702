// getrandom(2): blocks only until the kernel's pool is first initialised, then never; a large
// request may come back short or be interrupted, so it is repeated for the rest.
#include <sys/random.h>

#include <cerrno>
#include <system_error>

#include "korvessa/launcher_kit/secure_random.h"

namespace kcs::kit {

Status fillSecureRandom(unsigned char* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::getrandom(buffer + done, size - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("getrandom: " + std::system_category().message(errno));
    }
    done += static_cast<std::size_t>(n);
  }
  return Status::success();
}

}  // namespace kcs::kit
