// trapd's SNMPv3 intake: one datagram through usm.h, the answer SNMPv3 asks for
// (a report for discovery and for failed informs, a response for a taken
// inform), and the counts of what failed, per reason.  A message that fails a
// security check never reaches a session.
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include "server.h"
#include "usm.h"
#include "zqcommon.h"

namespace zq::trapd {

namespace {

// Text from the network in a count line: printable ASCII only, at most 32 bytes.
std::string shown(const std::string& s) {
    std::string out;
    for (unsigned char c : s.substr(0, 32)) out += (c >= 0x20 && c < 0x7f && c != '\'') ? static_cast<char>(c) : '?';
    return out;
}

constexpr V3Result kFailures[] = {V3Result::kUnknownUser, V3Result::kUnknownEngine, V3Result::kAuth,
                                  V3Result::kDecrypt,     V3Result::kTime,          V3Result::kLevel};

}  // namespace

bool Server::take_v3(const uint8_t* data, size_t len, const void* from_addr, wire::Event& ev) {
    const auto* from = static_cast<const sockaddr_in*>(from_addr);
    const auto* src = reinterpret_cast<const uint8_t*>(&from->sin_addr.s_addr);
    std::string why, reply;
    bool inform = false;
    V3Result r = decode_v3(data, len, src, ev, why, inform, reply);
    auto answer = [&] {
        if (!reply.empty())
            sendto(udp_, reply.data(), reply.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(from),
                   sizeof *from);
    };
    if (r == V3Result::kTaken) {
        if (refusal(ev) != nullptr) {
            // Not in trap_users, or a local-only arc: refused like a community,
            // and an inform gets no answer.
            std::string what = std::string(refusal(ev)) + " SNMPv3 trap " + zq::oid_to_string(ev.trap_id) +
                               " from user '" + shown(ev.user) + "' at " + zq::addr_to_string(src);
            if (refusal(ev)[0] == 'u') {
                ++v3_refused_user_;
                v3_last_ = what;
            } else {
                ++refused_local_only_;
                last_refused_ = what;
            }
            return false;
        }
        if (inform) answer();
        return true;
    }
    if (r == V3Result::kDiscovery) {
        answer();
        return false;
    }
    if (r == V3Result::kMalformed) {
        ++bad_datagrams_;
        last_bad_ = why + " from " + zq::addr_to_string(src);
        return false;
    }
    ++v3_failed_[static_cast<int>(r)];
    v3_last_ = std::string(v3_reason_name(r)) + " from " + zq::addr_to_string(src);
    answer();
    return false;
}

// The failures and refusals since the last report, at most every 10 seconds
// (report_counts paces it) whatever the rate of bad messages.
void Server::report_v3() {
    uint64_t total = v3_refused_user_;
    for (V3Result r : kFailures) total += v3_failed_[static_cast<int>(r)];
    if (total == v3_reported_) return;
    v3_reported_ = total;
    std::string line = "REFUSED SNMPv3 messages (totals):";
    for (V3Result r : kFailures)
        line += std::string(" ") + v3_reason_name(r) + " " + std::to_string(v3_failed_[static_cast<int>(r)]) + ",";
    line += " user not in trap_users " + std::to_string(v3_refused_user_) + " (last: " + v3_last_ + ")";
    log_.line(line);
}

std::string Server::v3_stats() const {
    std::string s = " SNMPv3 failed";
    for (V3Result r : kFailures)
        s += std::string(" ") + v3_reason_name(r) + " " + std::to_string(v3_failed_[static_cast<int>(r)]);
    s += ", refused user " + std::to_string(v3_refused_user_) + ";";
    return s;
}

}  // namespace zq::trapd
