// The platform's node up and down events (sent by netmon and `zqtopo status`).
#pragma once

#include <cstdint>
#include <string>

namespace zq {

// Sends the node up or down event to this instance's trapd: enterprise ZENT.2.17.1,
// generic 6, specific 58916864 (up) or 58916865 (down), three OCTET STRING bindings
// ZENT.2.17.1.1-3: the host name, "Node Up"/"Node Down", the object id in decimal.
// agent is the node's dotted address (empty: left to the library).  On failure
// returns false with the library's text in why.
bool send_node_event(uint32_t object_id, const std::string& host, const std::string& agent, bool up,
                     std::string& why);

}  // namespace zq
