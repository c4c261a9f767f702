// Placeholder.
#include "presence/presence_worker.h"

#include "platform/platform.h"

namespace kcs {

void runPresenceWorker(std::string, std::shared_ptr<SharedState>) {
  for (;;) platform::sleepMilliseconds(250);
}

}  // namespace kcs
