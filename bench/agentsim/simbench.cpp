// simbench: measures how many SNMP requests a second agentsim answers, from one
// process: a window of requests in flight over one UDP socket, spread over
// several node addresses.  Prints figures; asserts nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "ber.h"
#include "zqcommon.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kUsage =
    "usage: simbench --port P [--count N] [--window W] [--getnext] [--community C] ADDRESS...\n"
    "Sends N SNMPv2c requests (Get of sysObjectID.0, or GetNext of the vendor arc) to the\n"
    "addresses in turn, keeping W of them in flight, and prints requests per second.\n";

// A v2c request whose request id is four bytes at a known offset.
struct Template {
    std::string bytes;
    size_t id_offset = 0;
};

Template make_request(const std::string& community, bool getnext) {
    using namespace zqsim::ber;
    std::vector<uint32_t> oid;
    zq::parse_oid(getnext ? "ENT" : "1.3.6.1.2.1.1.2.0", oid);
    std::string vb, list, pdu, msg, out;
    put_oid(vb, oid);
    put_tlv(vb, kNull, "");
    put_tlv(list, kSequence, vb);
    put_tlv(pdu, kInteger, std::string("\x7f\x7f\x7f\x7f", 4));
    put_int(pdu, 0);
    put_int(pdu, 0);
    put_tlv(pdu, kSequence, list);
    put_int(msg, 1);
    put_tlv(msg, kOctetString, community);
    put_tlv(msg, getnext ? kGetNextRequest : kGetRequest, pdu);
    put_tlv(out, kSequence, msg);
    Template t;
    t.bytes = out;
    t.id_offset = out.find(std::string("\x02\x04\x7f\x7f\x7f\x7f", 6)) + 2;
    return t;
}

// The request id of a response: the first INTEGER of the PDU.
bool response_id(const uint8_t* data, size_t len, uint32_t& id) {
    using namespace zqsim::ber;
    Reader top(data, len);
    std::string_view msg, c, pdu;
    uint8_t tag = 0;
    if (!top.expect(kSequence, msg)) return false;
    Reader m(msg);
    if (!m.expect(kInteger, c) || !m.expect(kOctetString, c) || !m.next(tag, pdu) || tag != kResponse) return false;
    Reader p(pdu);
    int64_t v = 0;
    if (!p.expect(kInteger, c) || !decode_int(c, v)) return false;
    id = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    int port = 0;
    long count = 100000, window = 32;
    bool getnext = false;
    std::string community = "public";
    std::vector<sockaddr_in> targets;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "simbench: " << a << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (a == "--port") {
            port = std::atoi(value().c_str());
        } else if (a == "--count") {
            count = std::atol(value().c_str());
        } else if (a == "--window") {
            window = std::atol(value().c_str());
        } else if (a == "--getnext") {
            getnext = true;
        } else if (a == "--community") {
            community = value();
        } else if (!a.empty() && a[0] == '-') {
            std::cerr << "simbench: unknown option " << a << "\n" << kUsage;
            return 2;
        } else {
            sockaddr_in s{};
            s.sin_family = AF_INET;
            if (inet_pton(AF_INET, a.c_str(), &s.sin_addr) != 1) {
                std::cerr << "simbench: not an address: " << a << "\n";
                return 2;
            }
            targets.push_back(s);
        }
    }
    if (port < 1 || port > 65535 || targets.empty() || count < 1 || window < 1 || window > 100000) {
        std::cerr << kUsage;
        return 2;
    }
    for (auto& t : targets) t.sin_port = htons(static_cast<uint16_t>(port));

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    Template tmpl = make_request(community, getnext);
    std::unordered_map<uint32_t, Clock::time_point> inflight;
    uint32_t next_id = 1;
    long sent = 0, answered = 0, lost = 0;
    double latency_sum = 0;
    auto send_one = [&]() {
        uint32_t id = next_id++ & 0x7fffffff;
        std::string& b = tmpl.bytes;
        for (int k = 0; k < 4; ++k) b[tmpl.id_offset + k] = static_cast<char>(id >> (24 - 8 * k));
        const sockaddr_in& to = targets[static_cast<size_t>(sent) % targets.size()];
        if (sendto(fd, b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) return;
        inflight[id] = Clock::now();
        ++sent;
    };
    auto start = Clock::now();
    while (answered + lost < count) {
        while (static_cast<long>(inflight.size()) < window && sent < count) send_one();
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, 200);
        auto now = Clock::now();
        if (n <= 0) {
            // Nothing for 200 ms: whatever is in flight is lost.
            lost += static_cast<long>(inflight.size());
            inflight.clear();
            if (sent >= count) break;
            continue;
        }
        uint8_t buf[65536];
        ssize_t r;
        while ((r = recv(fd, buf, sizeof buf, 0)) > 0) {
            uint32_t id = 0;
            if (!response_id(buf, static_cast<size_t>(r), id)) continue;
            auto it = inflight.find(id);
            if (it == inflight.end()) continue;
            latency_sum += std::chrono::duration<double, std::micro>(now - it->second).count();
            inflight.erase(it);
            ++answered;
        }
    }
    double secs = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("requests %ld  answered %ld  lost %ld  window %ld  addresses %zu  %s\n", sent, answered, lost,
                window, targets.size(), getnext ? "GetNext" : "Get");
    std::printf("elapsed %.3f s  %.0f answers/s  mean round trip %.1f us\n", secs, answered / secs,
                answered ? latency_sum / static_cast<double>(answered) : 0.0);
    close(fd);
    return 0;
}
