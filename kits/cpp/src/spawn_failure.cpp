#include "spawn_failure.h"

namespace kcs::kit::detail {

Failure spawnFailure(const std::string& program, SpawnProblem problem,
                     const std::string& systemText) {
  std::string text = "cannot start " + program + ": ";
  switch (problem) {
    case SpawnProblem::kMissing:
      text +=
          "the file does not exist (" + systemText + "); check the path and that it was installed";
      break;
    case SpawnProblem::kDirectory:
      text += "it is a directory; give the path of the executable inside it";
      break;
    case SpawnProblem::kNotRunnable:
      text +=
          "the file cannot be run (" + systemText +
          "); make it executable (chmod +x on POSIX) and check that it was built for this system";
      break;
    case SpawnProblem::kOther:
      text += systemText;
      break;
  }
  return fail(Code::kSpawn, std::move(text));
}

}  // namespace kcs::kit::detail
