#pragma once

namespace kcs {

// The whole process: start-up in its fixed order, then the accept loop. Never returns; every end
// of the process goes through platform::exitProcess with its status.
[[noreturn]] void runService(int argc, char** argv);

}  // namespace kcs
