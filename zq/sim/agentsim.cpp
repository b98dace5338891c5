// agentsim: the simulated network.  One process, one UDP socket answering SNMP
// for every node of a network file at each of the node's addresses, replying
// from the address that was asked; small HTTP responders for web agents and
// management consoles; SIGHUP re-reads the file.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "agent.h"
#include "network.h"
#include "zqcommon.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kUsage =
    "usage: agentsim NETWORK.json [--port P] [--root DIR] [--web-port P] [--console-port P] [--help]\n"
    "\n"
    "Answers SNMPv1 and SNMPv2c Get, GetNext and GetBulk for every node of the network\n"
    "file at each of its addresses, from one UDP socket, and answers HTTP for nodes with\n"
    "web_agent or console (web_agent \"hang\": accepted, never answered).  SIGHUP re-reads the file; SIGTERM or SIGINT ends it.\n"
    "\n"
    "  --port P           UDP port (default: the SNMP port of the instance's conf/snmp.conf\n"
    "                     when ZQ_ROOT or --root is given, else 161)\n"
    "  --root DIR         the platform instance (sets ZQ_ROOT)\n"
    "  --web-port P       TCP port of the web agents (default 2301; 0: none)\n"
    "  --console-port P   TCP port of the management consoles (default 280; 0: none)\n";

const char* const kHttpReply = "HTTP/1.0 200 OK\r\n\r\n";
constexpr size_t kMaxConnections = 256;
constexpr auto kLingerTime = std::chrono::seconds(5);
// A hanging web agent holds a connection until the client gives up (or this long).
constexpr auto kHangTime = std::chrono::seconds(120);

struct Options {
    std::string network;
    int port = -1;
    int web_port = 2301;
    int console_port = 280;
};

int parse_port(const std::string& opt, const std::string& v, bool zero_ok = false) {
    int p = 0;
    if (v.empty() || v.size() > 5) p = -1;
    for (char c : v) p = (c >= '0' && c <= '9' && p >= 0) ? p * 10 + (c - '0') : -1;
    if (p < (zero_ok ? 0 : 1) || p > 65535) {
        std::cerr << "agentsim: " << opt << ": '" << v << "' is not a port number (" << (zero_ok ? 0 : 1)
                  << "..65535)\n";
        std::exit(2);
    }
    return p;
}

Options parse_args(int argc, char** argv) {
    Options o;
    std::string root;
    bool have_root = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "agentsim: " << a << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            std::exit(0);
        } else if (a == "--port") {
            o.port = parse_port(a, value());
        } else if (a == "--web-port") {
            o.web_port = parse_port(a, value(), true);
        } else if (a == "--console-port") {
            o.console_port = parse_port(a, value(), true);
        } else if (a == "--root") {
            root = value();
            have_root = true;
        } else if (!a.empty() && a[0] == '-') {
            std::cerr << "agentsim: unknown option " << a << "\n(agentsim --help shows the usage)\n";
            std::exit(2);
        } else if (o.network.empty()) {
            o.network = a;
        } else {
            std::cerr << "agentsim: only one network file may be given\n";
            std::exit(2);
        }
    }
    if (o.network.empty()) {
        std::cerr << "agentsim: the network file is missing\n(agentsim --help shows the usage)\n";
        std::exit(2);
    }
    if (have_root) setenv("ZQ_ROOT", root.c_str(), 1);
    if (o.port < 0) {
        const char* env = std::getenv("ZQ_ROOT");
        // The line "*" of conf/snmp.conf: an empty host name matches nothing else.
        o.port = env && *env ? zq::agent_conf(zq::instance_path("conf/snmp.conf"), "").port : 161;
    }
    return o;
}

void log(const std::string& text) { std::cerr << "agentsim: " << text << std::endl; }

int open_udp(int port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    // A large receive buffer so a burst of requests is not dropped.
    int size = 4 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);  // every node address of 127.0.0.0/8; see serve_udp
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int open_listener(uint32_t addr, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(addr);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

struct Connection {
    int fd;
    Clock::time_point until;
};

class Simulator {
public:
    Simulator(Options o, zqsim::Network net) : opt_(std::move(o)), net_(std::move(net)) {}

    bool start() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&set, s);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        sigfd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
        if (sigfd_ < 0) {
            log(std::string("signalfd: ") + std::strerror(errno));
            return false;
        }
        udp_ = open_udp(opt_.port);
        if (udp_ < 0) {
            log("cannot open UDP port " + std::to_string(opt_.port) + ": " + std::strerror(errno));
            return false;
        }
        sync_listeners();
        std::cout << "agentsim: serving " << net_.nodes.size() << " nodes on UDP port " << opt_.port << std::endl;
        return true;
    }

    int run() {
        std::vector<pollfd> fds;
        while (!stop_) {
            fds.clear();
            fds.push_back({sigfd_, POLLIN, 0});
            fds.push_back({udp_, POLLIN, 0});
            for (const auto& [key, fd] : listeners_) fds.push_back({fd, POLLIN, 0});
            size_t first_conn = fds.size();
            for (const auto& c : conns_) fds.push_back({c.fd, POLLIN, 0});
            int timeout = conns_.empty() ? -1 : 1000;
            int n = poll(fds.data(), fds.size(), timeout);
            if (n < 0) {
                if (errno == EINTR) continue;
                log(std::string("poll: ") + std::strerror(errno));
                return 1;
            }
            if (fds[0].revents) handle_signals();
            if (fds[1].revents) serve_udp();
            for (size_t i = 2; i < first_conn; ++i)
                if (fds[i].revents) accept_all(fds[i].fd);
            // Connections: read and discard until the peer closes, or the linger time passes.
            auto now = Clock::now();
            std::set<int> done;
            for (size_t i = first_conn; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                char buf[4096];
                ssize_t r = recv(fds[i].fd, buf, sizeof buf, 0);
                if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) done.insert(fds[i].fd);
            }
            for (auto it = conns_.begin(); it != conns_.end();) {
                if (done.count(it->fd) || it->until <= now) {
                    close(it->fd);
                    it = conns_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        log("ending: " + std::to_string(answered_) + " requests answered, " + std::to_string(ignored_) +
            " ignored, " + std::to_string(malformed_) + " malformed");
        return 0;
    }

private:
    void handle_signals() {
        signalfd_siginfo si;
        while (read(sigfd_, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
            if (si.ssi_signo == SIGHUP) reload();
            else stop_ = true;
        }
    }

    void reload() {
        try {
            zqsim::Network fresh = zqsim::load_network(opt_.network);
            net_ = std::move(fresh);
            sync_listeners();
            std::cout << "agentsim: reloaded " << opt_.network << ": " << net_.nodes.size() << " nodes" << std::endl;
        } catch (const zqsim::NetworkError& e) {
            log(std::string("cannot reload: ") + e.what() + "; keeping the network as it was");
        }
    }

    // Opens the HTTP listeners the network needs and closes those it no longer needs.
    void sync_listeners() {
        std::set<std::pair<uint32_t, int>> want, hang;
        for (const auto& n : net_.nodes)
            for (uint32_t a : n.addresses) {
                if (n.web_agent && opt_.web_port) want.insert({a, opt_.web_port});
                if (n.web_hang && opt_.web_port) hang.insert({a, opt_.web_port});
                if (n.console && opt_.console_port) want.insert({a, opt_.console_port});
            }
        for (auto it = listeners_.begin(); it != listeners_.end();) {
            if (!want.count(it->first)) {
                close(it->second);
                it = listeners_.erase(it);
            } else {
                ++it;
            }
        }
        for (const auto& key : want) {
            if (listeners_.count(key)) continue;
            int fd = open_listener(key.first, key.second);
            if (fd < 0) {
                log("cannot listen on " + zqsim::dotted(key.first) + ":" + std::to_string(key.second) + ": " +
                    std::strerror(errno));
                continue;
            }
            listeners_[key] = fd;
        }
        hanging_.clear();
        for (const auto& [key, fd] : listeners_)
            if (hang.count(key)) hanging_.insert(fd);
    }

    void accept_all(int listener) {
        while (true) {
            int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;
            if (hanging_.count(listener)) {
                // Accepted, and never a byte back: the client's wait runs out.
                if (conns_.size() >= kMaxConnections) {
                    close(conns_.front().fd);
                    conns_.pop_front();
                }
                conns_.push_back({fd, Clock::now() + kHangTime});
                continue;
            }
            // Any request gets the one-line answer at once; the connection then stays
            // open until the client closes it, so its request is never answered by a reset.
            ssize_t w = send(fd, kHttpReply, std::strlen(kHttpReply), MSG_NOSIGNAL);
            (void)w;
            shutdown(fd, SHUT_WR);
            if (conns_.size() >= kMaxConnections) {
                close(conns_.front().fd);
                conns_.pop_front();
            }
            conns_.push_back({fd, Clock::now() + kLingerTime});
        }
    }

    // Datagrams are received and answered in batches (recvmmsg, sendmmsg): two
    // system calls for up to kBatch requests.
    static constexpr int kBatch = 32;
    static constexpr size_t kDatagram = 65536;
    using Control = char[CMSG_SPACE(sizeof(in_pktinfo))];

    void serve_udp() {
        if (inbuf_.empty()) inbuf_.resize(kBatch * kDatagram);
        // A bounded number of rounds, so signals and HTTP clients are served during a flood.
        for (int round = 0; round < 32; ++round) {
            mmsghdr in[kBatch] = {};
            iovec in_iov[kBatch];
            sockaddr_in from[kBatch];
            Control in_ctl[kBatch];
            for (int i = 0; i < kBatch; ++i) {
                in_iov[i] = {inbuf_.data() + i * kDatagram, kDatagram};
                in[i].msg_hdr.msg_name = &from[i];
                in[i].msg_hdr.msg_namelen = sizeof from[i];
                in[i].msg_hdr.msg_iov = &in_iov[i];
                in[i].msg_hdr.msg_iovlen = 1;
                in[i].msg_hdr.msg_control = in_ctl[i];
                in[i].msg_hdr.msg_controllen = sizeof in_ctl[i];
            }
            int n = recvmmsg(udp_, in, kBatch, MSG_DONTWAIT, nullptr);
            if (n <= 0) return;
            mmsghdr out[kBatch] = {};
            iovec out_iov[kBatch];
            Control out_ctl[kBatch] = {};
            int m = 0;
            for (int i = 0; i < n; ++i) {
                std::optional<in_addr> dest;
                msghdr& h = in[i].msg_hdr;
                for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c))
                    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                        in_pktinfo pi;
                        std::memcpy(&pi, CMSG_DATA(c), sizeof pi);
                        dest = pi.ipi_addr;
                    }
                if (!dest) continue;
                // Only node addresses answer, and they all lie in 127.0.0.0/8, so nothing
                // from outside this host is ever answered.
                uint32_t addr = ntohl(dest->s_addr);
                std::string& reply = replies_[m];
                zqsim::Outcome res = zqsim::answer(net_, addr, static_cast<const uint8_t*>(in_iov[i].iov_base),
                                                   in[i].msg_len, reply);
                if (res == zqsim::Outcome::kMalformed) {
                    if (++malformed_ <= 10 || malformed_ % 1000 == 0)
                        log("dropped a malformed datagram to " + zqsim::dotted(addr) + " (" + std::to_string(malformed_) +
                            " so far)");
                    continue;
                }
                if (res == zqsim::Outcome::kIgnored) {
                    ++ignored_;
                    continue;
                }
                ++answered_;
                // The reply leaves from the address that was asked.
                out_iov[m] = {reply.data(), reply.size()};
                msghdr& o = out[m].msg_hdr;
                o.msg_name = &from[i];
                o.msg_namelen = sizeof from[i];
                o.msg_iov = &out_iov[m];
                o.msg_iovlen = 1;
                o.msg_control = out_ctl[m];
                o.msg_controllen = sizeof out_ctl[m];
                cmsghdr* c = CMSG_FIRSTHDR(&o);
                c->cmsg_level = IPPROTO_IP;
                c->cmsg_type = IP_PKTINFO;
                c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
                in_pktinfo pi{};
                pi.ipi_spec_dst = *dest;
                std::memcpy(CMSG_DATA(c), &pi, sizeof pi);
                ++m;
            }
            for (int done = 0; done < m;) {
                int r = sendmmsg(udp_, out + done, static_cast<unsigned>(m - done), MSG_DONTWAIT);
                if (r <= 0) {
                    // A reply that cannot go (the sender's buffer is full) is a lost datagram;
                    // skip it and send the rest.
                    if (++send_failures_ <= 10) log(std::string("cannot send a response: ") + std::strerror(errno));
                    ++done;
                    continue;
                }
                done += r;
            }
            if (n < kBatch) return;
        }
    }

    Options opt_;
    zqsim::Network net_;
    int udp_ = -1;
    int sigfd_ = -1;
    bool stop_ = false;
    std::map<std::pair<uint32_t, int>, int> listeners_;
    std::set<int> hanging_;  // listeners of web agents that never answer
    std::deque<Connection> conns_;
    std::vector<uint8_t> inbuf_;
    std::string replies_[kBatch];
    unsigned long answered_ = 0, ignored_ = 0, malformed_ = 0, send_failures_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    Options opt = parse_args(argc, argv);
    zqsim::Network net;
    try {
        net = zqsim::load_network(opt.network);
    } catch (const zqsim::NetworkError& e) {
        log(e.what());
        return 1;
    }
    Simulator sim(opt, std::move(net));
    if (!sim.start()) return 1;
    return sim.run();
}
