// What the project's tests of the service do to a Sidecar that no launcher can: stop reading the
// service's standard error. Not installed with the kit.
#pragma once

#include "korvessa/launcher_kit/sidecar.h"

namespace kcs::kit::internal {

struct Access {
  // Stops reading the service's standard error for good and closes the pipe, as a launcher that
  // dropped it would: the service's later writes there fail.
  static void dropDiagnostics(Sidecar& sidecar);
};

}  // namespace kcs::kit::internal
