// BCryptGenRandom with the system-preferred generator; one call per at most ULONG bytes.
#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <limits>

#include "korvessa/launcher_kit/secure_random.h"

namespace kcs::kit {

Status fillSecureRandom(unsigned char* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    std::size_t piece = size - done;
    if (piece > std::numeric_limits<ULONG>::max()) piece = std::numeric_limits<ULONG>::max();
    NTSTATUS status = ::BCryptGenRandom(nullptr, buffer + done, static_cast<ULONG>(piece),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) {
      char text[64];
      std::snprintf(text, sizeof(text), "BCryptGenRandom: status 0x%08lx",
                    static_cast<unsigned long>(status));
      return fail(text);
    }
    done += piece;
  }
  return Status::success();
}

}  // namespace kcs::kit
