// The agent side of the simulated network: one request datagram in, at most one
// response datagram out.  Pure computation, no sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "network.h"

namespace zqsim {

enum class Outcome {
    kAnswered,   // `reply` holds the response
    kIgnored,    // well-formed, but nobody answers it (no node, silent node, wrong community, not a request)
    kMalformed,  // not a decodable SNMPv1/v2c message
};

// The largest response this agent sends (the largest UDP payload over IPv4).
constexpr size_t kMaxMessage = 65507;

// Answers one SNMP message sent to `address` (host byte order).
Outcome answer(const Network& net, uint32_t address, const uint8_t* data, size_t len, std::string& reply);

}  // namespace zqsim
