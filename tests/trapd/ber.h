// A small BER encoder for building SNMP trap datagrams byte by byte (well-formed
// ones and deliberately broken ones).  Used by the trapd tests and its benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ber {

inline std::string length(size_t n) {
    if (n < 128) return std::string(1, static_cast<char>(n));
    std::string b;
    while (n) {
        b.insert(b.begin(), static_cast<char>(n & 0xff));
        n >>= 8;
    }
    return std::string(1, static_cast<char>(0x80 | b.size())) + b;
}

inline std::string tlv(uint8_t tag, const std::string& v) { return std::string(1, static_cast<char>(tag)) + length(v.size()) + v; }

inline std::string integer(int64_t v, uint8_t tag = 2) {
    std::string b;
    do {
        b.insert(b.begin(), static_cast<char>(v & 0xff));
        v >>= 8;
    } while (!((v == 0 && !(b[0] & 0x80)) || (v == -1 && (b[0] & 0x80))));
    return tlv(tag, b);
}

inline std::string unsigned_(uint8_t tag, uint64_t v) {
    std::string b;
    do {
        b.insert(b.begin(), static_cast<char>(v & 0xff));
        v >>= 8;
    } while (v);
    if (b[0] & 0x80) b.insert(b.begin(), '\0');
    return tlv(tag, b);
}

inline std::string octets(const std::string& s, uint8_t tag = 4) { return tlv(tag, s); }
inline std::string null() { return std::string("\x05\x00", 2); }

inline std::string oid(const std::vector<uint32_t>& o) {
    std::string b;
    auto sub = [&](uint64_t v) {
        std::string t(1, static_cast<char>(v & 0x7f));
        while (v >>= 7) t.insert(t.begin(), static_cast<char>(0x80 | (v & 0x7f)));
        b += t;
    };
    sub(uint64_t{o.at(0)} * 40 + o.at(1));
    for (size_t i = 2; i < o.size(); ++i) sub(o[i]);
    return tlv(6, b);
}

inline std::string seq(const std::string& c) { return tlv(0x30, c); }
inline std::string varbind(const std::vector<uint32_t>& name, const std::string& value) { return seq(oid(name) + value); }

inline std::string v1_trap(const std::string& community, const std::vector<uint32_t>& enterprise,
                           const std::string& agent4, int generic, int specific, uint32_t time,
                           const std::string& varbinds) {
    return seq(integer(0) + octets(community) +
               tlv(0xA4, oid(enterprise) + tlv(0x40, agent4) + integer(generic) + integer(specific) +
                             unsigned_(0x43, time) + seq(varbinds)));
}

inline std::string v2_trap(const std::string& community, uint32_t uptime, const std::vector<uint32_t>& trap_oid,
                           const std::string& varbinds) {
    std::string vbs = varbind({1, 3, 6, 1, 2, 1, 1, 3, 0}, unsigned_(0x43, uptime)) +
                      varbind({1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0}, oid(trap_oid)) + varbinds;
    return seq(integer(1) + octets(community) + tlv(0xA7, integer(4711) + integer(0) + integer(0) + seq(vbs)));
}

}  // namespace ber
