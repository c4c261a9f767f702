// Placeholder.
#include "http/connection.h"

namespace kcs {

void handleConnection(platform::Socket, std::shared_ptr<SharedState>) {}

}  // namespace kcs
