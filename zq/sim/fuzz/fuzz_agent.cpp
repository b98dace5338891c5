// Feeds arbitrary bytes to the agent as if they were a request datagram to a node.
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent.h"
#include "ber.h"
#include "network.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const zqsim::Network net = zqsim::parse_network(R"({"nodes": [
        {"name": "a", "addresses": ["127.0.0.1"], "mib": {
            "1.3.6.1.2.1.1.5.0": ["STRING", "a"], "ENT.1.0": ["INTEGER", 5],
            "ENT.2.0": ["COUNTER64", 9], "ENT.3.0": ["HEX", "0102"]}}]})");
    std::string reply;
    if (zqsim::answer(net, 0x7f000001, data, size, reply) == zqsim::Outcome::kAnswered) {
        // Every answer is one well-formed message that fits a datagram.
        zqsim::ber::Reader r(reply);
        std::string_view msg;
        if (!r.expect(zqsim::ber::kSequence, msg) || !r.at_end() || reply.size() > zqsim::kMaxMessage)
            __builtin_trap();
    }
    return 0;
}
