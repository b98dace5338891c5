#include "network.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "ber.h"
#include "zqcommon.h"

namespace zqsim {

using json = nlohmann::json;

namespace {

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool parse_signed(const std::string& t, int64_t lo, int64_t hi, int64_t& out) {
    if (t.empty() || t.size() > 21) return false;
    size_t i = 0;
    bool neg = false;
    if (t[0] == '-' || t[0] == '+') {
        neg = t[0] == '-';
        i = 1;
    }
    if (i == t.size()) return false;
    __int128 v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return false;
        v = v * 10 + (t[i] - '0');
        if (v > (static_cast<__int128>(1) << 65)) return false;
    }
    if (neg) v = -v;
    if (v < lo || v > hi) return false;
    out = static_cast<int64_t>(v);
    return true;
}

bool parse_unsigned(const std::string& t, uint64_t hi, uint64_t& out) {
    if (t.empty() || t.size() > 20) return false;
    unsigned __int128 v = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > hi) return false;
    out = static_cast<uint64_t>(v);
    return true;
}

// Hex digits, optionally separated by blanks or colons between bytes.
bool parse_hex(const std::string& t, std::string& out) {
    out.clear();
    int half = -1;
    for (char c : t) {
        if (c == ' ' || c == ':' || c == '\t') {
            if (half >= 0) return false;
            continue;
        }
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        if (half < 0) {
            half = d;
        } else {
            out += static_cast<char>(half * 16 + d);
            half = -1;
        }
    }
    return half < 0;
}

bool valid_oid_for_ber(const std::vector<uint32_t>& oid) {
    return oid.size() >= 2 && oid[0] <= 2 && (oid[0] == 2 || oid[1] <= 39);
}

// A JSON scalar as text: strings as they are, numbers in decimal.
bool scalar_text(const json& v, std::string& out) {
    if (v.is_string()) {
        out = v.get<std::string>();
        return true;
    }
    if (v.is_number_integer()) {
        out = v.is_number_unsigned() ? std::to_string(v.get<uint64_t>()) : std::to_string(v.get<int64_t>());
        return true;
    }
    return false;
}

bool get_bool(const json& node, const char* key, bool dflt, const std::string& where) {
    auto it = node.find(key);
    if (it == node.end() || it->is_null()) return dflt;
    if (!it->is_boolean()) throw NetworkError(where + ": \"" + key + "\" must be true or false");
    return it->get<bool>();
}

Node parse_node(const json& j, size_t index) {
    std::string where = "node " + std::to_string(index + 1);
    if (!j.is_object()) throw NetworkError(where + ": not an object");
    Node n;
    auto name = j.find("name");
    if (name == j.end() || !name->is_string() || name->get<std::string>().empty())
        throw NetworkError(where + ": \"name\" must be a non-empty text");
    n.name = name->get<std::string>();
    where += " (" + n.name + ")";

    auto addrs = j.find("addresses");
    if (addrs == j.end() || !addrs->is_array() || addrs->empty())
        throw NetworkError(where + ": \"addresses\" must be a non-empty list");
    for (const auto& a : *addrs) {
        in_addr in{};
        if (!a.is_string() || inet_pton(AF_INET, a.get<std::string>().c_str(), &in) != 1)
            throw NetworkError(where + ": address " + a.dump() + " is not a dotted IPv4 address");
        uint32_t h = ntohl(in.s_addr);
        if ((h >> 24) != 127)
            throw NetworkError(where + ": address " + a.get<std::string>() +
                               " is not a loopback address (127.0.0.0/8)");
        n.addresses.push_back(h);
    }

    auto comm = j.find("community");
    if (comm == j.end() || comm->is_null()) {
        n.communities.push_back("public");
    } else if (comm->is_string()) {
        n.communities.push_back(comm->get<std::string>());
    } else if (comm->is_array()) {
        for (const auto& c : *comm) {
            if (!c.is_string()) throw NetworkError(where + ": every community must be a text");
            n.communities.push_back(c.get<std::string>());
        }
    } else {
        throw NetworkError(where + ": \"community\" must be a text or a list of texts");
    }

    n.snmp = get_bool(j, "snmp", true, where);
    n.silent = get_bool(j, "silent", false, where);
    auto web = j.find("web_agent");
    if (web != j.end() && web->is_string()) {
        // A firewalled or stuck web agent: the connection is accepted, no answer ever comes.
        if (web->get<std::string>() != "hang")
            throw NetworkError(where + ": \"web_agent\" must be true, false or \"hang\"");
        n.web_agent = n.web_hang = true;
    } else {
        n.web_agent = get_bool(j, "web_agent", false, where);
    }
    n.console = get_bool(j, "console", false, where);

    auto mib = j.find("mib");
    if (mib != j.end() && !mib->is_null()) {
        if (!mib->is_object()) throw NetworkError(where + ": \"mib\" must be an object");
        for (auto it = mib->begin(); it != mib->end(); ++it) {
            std::string at = where + ", mib " + it.key();
            MibEntry e;
            if (!zq::parse_oid(it.key(), e.oid) || !valid_oid_for_ber(e.oid))
                throw NetworkError(at + ": not a valid OID");
            const json& v = it.value();
            std::string type, text, why;
            if (!v.is_array() || v.size() != 2 || !v[0].is_string() || !scalar_text(v[1], text))
                throw NetworkError(at + ": the value must be [TYPE, VALUE]");
            type = v[0].get<std::string>();
            if (!encode_value(type, text, e.value, e.counter64, why)) throw NetworkError(at + ": " + why);
            n.mib.push_back(std::move(e));
        }
    }
    std::sort(n.mib.begin(), n.mib.end(), [](const MibEntry& a, const MibEntry& b) { return a.oid < b.oid; });
    for (size_t i = 1; i < n.mib.size(); ++i)
        if (n.mib[i].oid == n.mib[i - 1].oid)
            throw NetworkError(where + ": OID " + zq::oid_to_string(n.mib[i].oid) + " is given twice");
    return n;
}

}  // namespace

std::string dotted(uint32_t host_order) {
    in_addr a{};
    a.s_addr = htonl(host_order);
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

bool encode_value(const std::string& type_word, const std::string& text, std::string& out, bool& counter64,
                  std::string& why) {
    using namespace ber;
    out.clear();
    counter64 = false;
    std::string type = upper(type_word);
    int64_t s = 0;
    uint64_t u = 0;
    std::string bytes;
    if (type == "INTEGER") {
        if (!parse_signed(text, INT32_MIN, INT32_MAX, s)) {
            why = "INTEGER value must be a number from -2147483648 to 2147483647";
            return false;
        }
        put_int(out, s);
    } else if (type == "STRING") {
        put_tlv(out, kOctetString, text);
    } else if (type == "HEX" || type == "OPAQUE") {
        if (!parse_hex(text, bytes)) {
            why = type + " value must be pairs of hex digits";
            return false;
        }
        put_tlv(out, type == "HEX" ? kOctetString : kOpaque, bytes);
    } else if (type == "OID") {
        std::vector<uint32_t> oid;
        if (!zq::parse_oid(text, oid) || !put_oid(out, oid)) {
            why = "OID value '" + text + "' is not a valid OID";
            return false;
        }
    } else if (type == "IPADDRESS") {
        in_addr a{};
        if (inet_pton(AF_INET, text.c_str(), &a) != 1) {
            why = "IPADDRESS value must be a dotted IPv4 address";
            return false;
        }
        put_tlv(out, kIpAddress, std::string_view(reinterpret_cast<const char*>(&a.s_addr), 4));
    } else if (type == "COUNTER" || type == "GAUGE" || type == "TIMETICKS") {
        if (!parse_unsigned(text, 0xffffffffULL, u)) {
            why = type + " value must be a number from 0 to 4294967295";
            return false;
        }
        put_unsigned(out, u, type == "COUNTER" ? kCounter32 : type == "GAUGE" ? kGauge32 : kTimeTicks);
    } else if (type == "COUNTER64") {
        if (!parse_unsigned(text, ~uint64_t{0}, u)) {
            why = "COUNTER64 value must be a number from 0 to 18446744073709551615";
            return false;
        }
        put_unsigned(out, u, kCounter64);
        counter64 = true;
    } else if (type == "NULL") {
        put_tlv(out, kNull, "");
    } else {
        why = "unknown type '" + type_word +
              "' (INTEGER, STRING, HEX, OID, IPADDRESS, COUNTER, GAUGE, TIMETICKS, OPAQUE, COUNTER64, NULL)";
        return false;
    }
    return true;
}

Network parse_network(const std::string& text) {
    json j;
    try {
        j = json::parse(text);
    } catch (const json::exception& e) {
        throw NetworkError(std::string("not valid JSON: ") + e.what());
    }
    if (!j.is_object() || !j.contains("nodes") || !j["nodes"].is_array())
        throw NetworkError("the file must be an object with a list \"nodes\"");
    Network net;
    const json& nodes = j["nodes"];
    for (size_t i = 0; i < nodes.size(); ++i) {
        net.nodes.push_back(parse_node(nodes[i], i));
        const Node& n = net.nodes.back();
        for (uint32_t a : n.addresses) {
            auto [it, fresh] = net.by_address.emplace(a, net.nodes.size() - 1);
            if (!fresh && it->second != net.nodes.size() - 1)
                throw NetworkError("address " + dotted(a) + " belongs to both " + net.nodes[it->second].name +
                                   " and " + n.name);
        }
    }
    return net;
}

Network load_network(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw NetworkError("cannot read " + path + ": " + std::strerror(errno));
    std::ostringstream ss;
    ss << in.rdbuf();
    try {
        return parse_network(ss.str());
    } catch (const NetworkError& e) {
        throw NetworkError(path + ": " + e.what());
    }
}

}  // namespace zqsim
