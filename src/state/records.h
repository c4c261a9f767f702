// The two records that clients hand over, the launch ticket and the presence session: the wire
// contract's own records, shared with the launcher kit.
#pragma once

#include "korvessa/launcher_kit/protocol.h"

namespace kcs {

using protocol::LoginTicket;
using protocol::PresenceSession;

}  // namespace kcs
