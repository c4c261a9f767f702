// The demo's launcher session: the service started beside a launcher stand-in, a launch ticket
// handed over, a game stand-in followed through its proxy log into the Discord endpoint, and
// everything ended again, each step checked and shown on the timeline.
#pragma once

#include <string>

namespace kcs::demo {

struct DemoOptions {
  std::string selfPath;     // this executable, started again for the stand-ins
  std::string servicePath;  // korvessa-client-services
  std::string toolsDir;     // where discord-standin lies
  bool realDiscord = false;     // the user's own Discord instead of the stand-in
  bool fast = false;            // short fixed pauses instead of readable ones
};

// Plays the session. Returns 0 when every step checked out; otherwise writes one sentence to
// standard error and returns 1.
int runDemo(const DemoOptions& options);

// The hidden stand-in mode: sleeps until killed, or until the process watchPid is gone (so that
// a demo that dies does not leave its stand-ins behind).
int runStandIn(unsigned watchPid);

}  // namespace kcs::demo
