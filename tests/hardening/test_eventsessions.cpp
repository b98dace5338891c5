// Event sessions against a hostile local user and a trapd that is not there: a
// stranger listening in trapd's place learns no key and forges no event, stuck
// sessions never starve the instance's daemons, and a control event that cannot
// reach trapd is reported as not sent rather than sent over UDP.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "testsupport.h"
#include "trappdu.h"
#include "wire.h"
#include "zqsnmp.h"

namespace {

using zqtest::bin;
using zqtest::Process;
using zqtest::RunResult;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string key_of(const std::string& root) {
    std::string k = zqtest::read_file(root + "/run/trapd.key");
    while (!k.empty() && k.back() == '\n') k.pop_back();
    return k;
}

// A trapd of an instance, run alone, up until the returned process ends.
std::unique_ptr<Process> start_trapd(const std::string& root) {
    auto p = std::make_unique<Process>(std::vector<std::string>{bin("trapd"), "--root", root});
    EXPECT_TRUE(p->wait_for_err("listening", 10000)) << p->err();
    return p;
}

// A stranger (user nobody) who takes the event port while trapd is down and plays
// trapd: it tries the event socket too, answers every connection with an
// acknowledgement and a forged uninstall event, and reports through a pipe what
// it could bind and every byte its peers sent.
class FakeTrapd {
public:
    FakeTrapd(int port, const std::string& socket_path) {
        int p[2];
        if (pipe(p) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(p[0]);
            run(p[1], port, socket_path);
            _exit(0);
        }
        close(p[1]);
        from_ = p[0];
        char ready[2] = {0, 0};
        ready_ = read_all(ready, 2) && ready[0] == 'T';
        socket_denied_ = ready[1] == 'D';
    }
    ~FakeTrapd() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (from_ >= 0) close(from_);
    }
    bool ready() const { return ready_; }
    bool socket_denied() const { return socket_denied_; }
    // Everything the peers sent, once the stranger has been stopped.
    std::string heard() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        std::string all;
        char b[4096];
        ssize_t r;
        while ((r = read(from_, b, sizeof b)) > 0) all.append(b, static_cast<size_t>(r));
        return all;
    }

private:
    bool read_all(char* b, size_t n) {
        size_t got = 0;
        while (got < n) {
            ssize_t r = read(from_, b + got, n - got);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    static void run(int out, int port, const std::string& socket_path) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
            _exit(1);
        int t = zqtest::listen_tcp("127.0.0.1", port, 16);
        int u = zqtest::listen_unix(socket_path);
        char ready[2] = {t >= 0 ? 'T' : 't', u < 0 && errno == EACCES ? 'D' : 'd'};
        if (write(out, ready, 2) != 2) _exit(1);
        std::string answer;
        zq::wire::encode_ack(answer);
        zq::wire::Event forged;
        forged.enterprise = {1, 3, 6, 1, 4, 1, 64001, 1, 3, 20};
        forged.trap_id = {1, 3, 6, 1, 4, 1, 64001, 1, 3, 20, 0, 1};
        zq::wire::encode_event(forged, answer);
        for (;;) {
            int c = accept(t >= 0 ? t : u, nullptr, nullptr);
            if (c < 0) continue;
            pollfd pf{c, POLLIN, 0};
            char b[4096];
            while (poll(&pf, 1, 300) > 0) {
                ssize_t r = recv(c, b, sizeof b, 0);
                if (r <= 0) break;
                if (write(out, b, static_cast<size_t>(r)) != r) _exit(1);
                send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
            close(c);
        }
    }
    pid_t pid_ = -1;
    int from_ = -1;
    bool ready_ = false, socket_denied_ = false;
};

// trapd crashed (its key left behind) and a stranger took the event port: the
// library connects only to the instance's socket, whose folder the stranger
// cannot enter, so zqevents and snmpnotify fail and the stranger hears nothing.
// An instance whose socket path is too long for a socket address uses the TCP
// port with a challenge: the stranger hears a nonce, never the key, cannot answer
// it, and the real trapd can.
TEST(LocalUsers, AFakeTrapdOnTheEventPortGetsNoKeyAndForgesNoEvent) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to play another user (nobody)";
    struct Case {
        std::string what;
        bool long_root;
    } cases[] = {{"the default socket", false}, {"a root too long for a socket address", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        zqtest::TempDir dir;
        ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);  // the stranger may look for the folder
        std::string root = dir.path + "/" + (c.long_root ? std::string(100, 'r') : std::string("zq"));
        int event_port = zqtest::free_tcp_port(), trap_port = zqtest::free_udp_port();
        RunResult setup = zqtest::run({bin("zqsetup"), root, "--trap-port", std::to_string(trap_port), "--event-port",
                                       std::to_string(event_port)});
        ASSERT_EQ(setup.status, 0) << setup.err;
        zqtest::Env env = {{"ZQ_ROOT", root}};
        auto trapd = start_trapd(root);
        std::string key = key_of(root);
        ASSERT_EQ(key.size(), 32u);
        ASSERT_EQ(trapd->stop(SIGKILL), 128 + SIGKILL);

        {
            FakeTrapd fake(event_port, root + "/run/trapd.sock");
            ASSERT_TRUE(fake.ready()) << "the stranger could not take the event port";
            EXPECT_EQ(fake.socket_denied(), !c.long_root);
            RunResult events = zqtest::run({bin("zqevents"), "--count", "1", "--timeout", "3"}, env, "", 20000);
            EXPECT_EQ(events.status, 2) << events.out << events.err;
            EXPECT_EQ(events.out, "");
            RunResult notify =
                zqtest::run({bin("snmpnotify"), "localhost", "ENT.1.3.20.0.1"}, env, "", 20000);
            EXPECT_EQ(notify.status, 1) << notify.err;
            std::string heard = fake.heard();
            EXPECT_FALSE(has(heard, key)) << "the stranger heard the key";
            EXPECT_EQ(heard.empty(), !c.long_root) << heard.size() << " bytes heard";
        }
        // The real trapd proves itself and takes the sessions, on either way in.
        trapd = start_trapd(root);
        Process events({bin("zqevents"), "--count", "1", "--timeout", "10"}, env);
        ASSERT_TRUE(events.wait_for_err("listening", 10000)) << events.err();
        RunResult notify = zqtest::run({bin("snmpnotify"), "localhost", "ENT.1.3.20.0.1"}, env, "", 20000);
        EXPECT_EQ(notify.status, 0) << notify.err;
        EXPECT_EQ(events.wait(10000), 0) << events.err();
        EXPECT_TRUE(has(events.out(), "trap_id=1.3.6.1.4.1.64001.1.3.20.0.1")) << events.out();
    }
}

void count_traps(int reason, ZqSession*, ZqPdu* pdu, void* data) {
    if (reason == ZQSNMP_REASON_TRAP) ++*static_cast<size_t*>(data);
    ZqsnmpFreePdu(pdu);
}

void read_sessions(ZqSession* s, int ms) {
    fd_set rs;
    FD_ZERO(&rs);
    FD_SET(s->sock_fd, &rs);
    timeval tv{0, ms * 1000};
    if (select(s->sock_fd + 1, &rs, nullptr, nullptr, &tv) > 0) ZqsnmpRead(&rs);
}

// Twenty forgotten sessions that never read (a "zqevents | less" each) fill their
// queues and the interactive sessions' allowance; a daemon of the instance that
// reads loses nothing meanwhile.
TEST(LocalUsers, StuckSessionsNeverStarveTheInstancesDaemons) {
    zqtest::Instance inst;
    inst.activate();
    auto trapd = start_trapd(inst.root);
    std::string key = key_of(inst.root);
    std::vector<int> stuck;
    for (int i = 0; i < 20; ++i) {
        int fd = zqtest::connect_unix(inst.event_socket());
        ASSERT_GE(fd, 0);
        int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        std::string hello;
        zq::wire::encode_hello({"zqevents", ".*", key}, hello);
        ASSERT_EQ(send(fd, hello.data(), hello.size(), MSG_NOSIGNAL), static_cast<ssize_t>(hello.size()));
        stuck.push_back(fd);
    }
    setenv("ZQS_NAME", "trvdis", 1);  // as zqspmd starts its daemons
    size_t got = 0;
    ZqSession* daemon = ZqsnmpEventOpen(nullptr, "VantorIntegration", count_traps, &got, ".*");
    unsetenv("ZQS_NAME");
    ASSERT_NE(daemon, nullptr) << ZqsnmpErrno;

    // 700 events of 32 KiB: 20 copies of each fill 256 MiB after about 410.
    ZqSession* sender = ZqsnmpEventOpen(nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(sender, nullptr) << ZqsnmpErrno;
    const size_t total = 700;
    const std::vector<ZqOid> ent = zqtest::ent({1, 9});
    for (size_t i = 0; i < total; ++i) {
        ZqPdu* pdu = zqtest::trap({}, ent);
        pdu->trap_type = 6;
        pdu->specific_type = static_cast<int32_t>(i);
        std::string text(32 * 1024, static_cast<char>('a' + i % 26));
        ZqsnmpAddTypedVarBind(pdu, ent.data(), ent.size(), ZQ_ASN_OCTET_STR, text.data(), text.size());
        ASSERT_EQ(ZqsnmpEventSend(sender, pdu, nullptr, 0), 0) << ZqsnmpErrno;
        if (i % 8 == 7)
            zqtest::wait_until([&] { read_sessions(daemon, 20); return got + 8 > i; }, 2000, 0);
    }
    zqtest::wait_until([&] { read_sessions(daemon, 20); return got >= total; }, 10000, 0);
    ZqsnmpClose(sender);
    EXPECT_EQ(got, total) << "the daemon's session lost events to the stuck ones";
    ZqsnmpClose(daemon);
    for (int s : stuck) close(s);
    EXPECT_EQ(trapd->stop(), 0);
    std::string log = zqtest::read_file(inst.root + "/log/trapd.log");
    EXPECT_TRUE(has(log, "SESSION open 'VantorIntegration' filter .* managed")) << log.substr(0, 2000);
    EXPECT_TRUE(has(log, "SESSION close 'zqevents' (write failed) dropped ")) << "the stuck ones did lose";
}

// True when a datagram arrives on fd within ms (and reads it).
bool datagram_within(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    char b[65536];
    return recv(fd, b, sizeof b, 0) >= 0;
}

// trapd is down: a control event for this host is reported as not sent, and no
// datagram goes to the trap port in its place (trapd would refuse it from UDP);
// an ordinary trap still goes as a datagram.  trvrequest says so and exits 3.
TEST(Fallbacks, ALocalOnlyEventIsNeverSentOverUdpWhenTrapdIsDown) {
    zqtest::Instance inst;
    inst.activate();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(inst.trap_port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);

    ZqSession* s = ZqsnmpOpen(nullptr, "127.0.0.1", 0, 200, 0xFFFF, 0xFFFF, nullptr, nullptr);
    ASSERT_NE(s, nullptr) << ZqsnmpErrno;
    struct Case {
        std::string what;
        std::vector<ZqOid> enterprise;
        bool sent;
    } cases[] = {{"the uninstall request", zqtest::ent({1, 3, 20}), false},
                 {"a discover request", zqtest::ent({1, 3, 2}), false},
                 {"a status request", zqtest::ent({1, 3, 3}), false},
                 {"an ordinary trap", zqtest::ent({1, 9}), true}};
    for (const Case& c : cases) {
        ZqPdu* pdu = zqtest::trap({}, c.enterprise);
        pdu->trap_type = 6;
        pdu->specific_type = 1;
        ZqPdu* back = ZqsnmpBlockingSend(s, pdu);
        EXPECT_EQ(back == nullptr, c.sent) << c.what;
        if (back != nullptr) {
            EXPECT_EQ(ZqsnmpErrno, ZQSNMP_E_NOTRAPD) << c.what;
            ZqsnmpFreePdu(back);
        }
        EXPECT_EQ(datagram_within(udp, c.sent ? 5000 : 300), c.sent) << c.what;
    }
    ZqsnmpClose(s);

    // trvdis counts as running (its marker is there), trapd is not.
    for (auto [name, address] : {std::pair{"Trvrunning", "127.0.0.9"}, std::pair{"nodeA", "127.0.0.10"}}) {
        RunResult r = zqtest::run({bin("zqtopo"), "add", name, address}, inst.env());
        ASSERT_EQ(r.status, 0) << r.err;
    }
    RunResult r = zqtest::run({bin("trvrequest"), "discover", "nodeA"}, inst.env(), "", 20000);
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_FALSE(has(r.out, "requested")) << r.out;
    EXPECT_TRUE(has(r.err, "trvrequest: the request could not be sent to trapd: ")) << r.err;
    EXPECT_FALSE(datagram_within(udp, 300));
    close(udp);
}

}  // namespace
