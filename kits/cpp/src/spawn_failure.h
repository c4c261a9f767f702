// What a launcher developer needs to hear when the service's executable cannot be started: which
// of the usual three mistakes it is, and what to do about it. The platform twins of ChildProcess
// find out which it is; the words are the same on every platform.
#pragma once

#include <string>

#include "korvessa/launcher_kit/result.h"

namespace kcs::kit::detail {

enum class SpawnProblem { kMissing, kDirectory, kNotRunnable, kOther };

// A kSpawn failure for program; systemText is the system's own word on it.
Failure spawnFailure(const std::string& program, SpawnProblem problem,
                     const std::string& systemText);

}  // namespace kcs::kit::detail
