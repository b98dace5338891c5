// The simulated network: the nodes of a network file, each with its addresses,
// communities and MIB, ready to answer requests.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace zqsim {

struct MibEntry {
    std::vector<uint32_t> oid;
    std::string value;   // the value's complete BER encoding (tag, length, contents)
    bool counter64 = false;  // not representable in SNMPv1
};

struct Node {
    std::string name;
    std::vector<uint32_t> addresses;      // host byte order, all in 127.0.0.0/8
    std::vector<std::string> communities; // "public" when the file names none
    bool snmp = true;                     // false: the node has no agent at all
    bool silent = false;                  // an agent that never answers
    bool web_agent = false;
    bool web_hang = false;                // web_agent "hang": accepts, never answers
    bool console = false;
    std::vector<MibEntry> mib;            // sorted by OID
};

struct Network {
    std::vector<Node> nodes;
    std::unordered_map<uint32_t, size_t> by_address;  // host byte order -> index in nodes
    const Node* find(uint32_t address) const {
        auto it = by_address.find(address);
        return it == by_address.end() ? nullptr : &nodes[it->second];
    }
};

// A network file that cannot be used; the text names the file's part at fault.
struct NetworkError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Parses the text of a network file.  Throws NetworkError.
Network parse_network(const std::string& text);
// Reads and parses a network file.  Throws NetworkError.
Network load_network(const std::string& path);

// Encodes one `mib` value given as its type word and text (or number text);
// false with a reason in `why` when the value does not fit the type.
bool encode_value(const std::string& type, const std::string& text, std::string& out, bool& counter64,
                  std::string& why);

// An address in host byte order as dotted text ("127.0.0.1").
std::string dotted(uint32_t host_order);

}  // namespace zqsim
