// The port redirector: each binding of the snapshot listens on its port
// and relays every admitted connection to its destination. A reload
// opens the listeners of new bindings and closes those of removed ones;
// connections already relayed go on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config.h"

namespace kel::redirect {

// Makes the listeners match the snapshot: every binding listens while
// RDREnabled is true, none otherwise. False, with why naming the binding,
// the address and the port, when one could not listen; the others that
// could are kept.
bool reconcile(const server::Config &config, std::string *why);
// Closes every listener and waits for their threads.
void stop_all();
// The ports that listen now, in ascending order.
std::vector<uint16_t> listening_ports();

}  // namespace kel::redirect
