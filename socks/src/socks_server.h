// The SOCKS server of the daemon.
#pragma once

#include <string>

#include "config.h"

namespace kel::socks {

// Listens on SocksPort at the addresses of SocksListen and serves there
// from a thread of its own until the process ends. False, with why naming
// the port and the reason, when it cannot listen or already runs.
bool start(const server::Config &config, std::string *why);

}  // namespace kel::socks
