#include "lifecycle/threads.h"

#include <exception>
#include <string>

#include "platform/platform.h"

namespace kcs {

void exitFatal(std::string_view step, std::string_view detail) {
  std::string line = "fatal: ";
  line.append(step);
  if (!detail.empty()) line.append(": ").append(detail);
  line += '\n';
  (void)platform::writeStandardError(line);
  platform::exitProcess(101);
}

Status spawnGuardedThread(std::string_view name, std::function<void()> body) {
  return platform::spawnDetachedThread([name = std::string(name), body = std::move(body)] {
    std::string what;
    try {
      body();
      return;
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
      what = "unknown failure";
    }
    try {
      (void)platform::writeStandardError(name + " stopped: " + what + "\n");
    } catch (...) {
      // Nothing is left to report with; the thread ends either way.
    }
  });
}

}  // namespace kcs
