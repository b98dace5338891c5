// The web-agent probe against small responders of the test's own: each behaves
// like one kind of peer (HTTP reply, silence, immediate close, odd replies).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport.h"
#include "trvlib.h"
#include "trvtest.h"

namespace {

using trvtest::Responder;

class TrvProbe : public ::testing::Test {
protected:
    void TearDown() override { uiWebAgentPort = TRV_WEB_AGENT_PORT; }
    int probe(Responder& r, const char* address = "127.0.0.1") {
        uiWebAgentPort = static_cast<unsigned int>(r.port());
        return iProbeWebAgent(address);
    }
};

TEST_F(TrvProbe, AnyHttpStatusCountsAndTheRequestIsExact) {
    Responder r(Responder::kReply, "HTTP/1.0 404 Not Found\r\n\r\n");
    r.serve();
    EXPECT_EQ(probe(r), 1);
    EXPECT_EQ(r.received(), "GET /Proxy/StatusReport?Type=Summary HTTP/1.0\n\n");
}

TEST_F(TrvProbe, HttpLaterInTheFirstBlockCounts) {
    Responder r(Responder::kReply, std::string(900, 'x') + "<p>HTTP/1.1 200</p>");
    r.serve();
    EXPECT_EQ(probe(r), 1);
}

TEST_F(TrvProbe, OnlyTheFirstThousandBytesAreLookedAt) {
    // "HTTP/" starts at byte 998: only "HT" lies within the block read.
    Responder r(Responder::kReply, std::string(998, 'x') + "HTTP/1.0 200 OK\r\n");
    r.serve();
    EXPECT_EQ(probe(r), -1);
}

TEST_F(TrvProbe, AFullBlockWithoutMarkerIsNoAnswer) {
    Responder r(Responder::kReply, std::string(1000, 'H'));
    r.serve();
    EXPECT_EQ(probe(r), -1);
}

TEST_F(TrvProbe, ImmediateCloseIsNoAnswer) {
    Responder r(Responder::kClose);
    r.serve();
    EXPECT_EQ(probe(r), -1);
    EXPECT_EQ(r.accepted(), 1);
}

TEST_F(TrvProbe, RefusedAndUnparsableAddressesAreNoAnswer) {
    int port = zqtest::free_tcp_port();  // nothing listens there
    uiWebAgentPort = static_cast<unsigned int>(port);
    EXPECT_EQ(iProbeWebAgent("127.0.0.1"), -1);
    EXPECT_EQ(iProbeWebAgent("not an address"), -1);
    EXPECT_EQ(iProbeWebAgent(""), -1);
    EXPECT_EQ(iProbeWebAgent(nullptr), -1);
}

TEST_F(TrvProbe, SilentServerIsNoAnswer) {
    Responder r(Responder::kSilent);
    r.serve();
    EXPECT_EQ(probe(r), -1);  // after the 5-second wait for the reply
    EXPECT_EQ(r.accepted(), 1);
}

TEST_F(TrvProbe, UnansweredConnectionAttemptEnds) {
    // A listener that never accepts, its backlog filled: further connection
    // attempts get no answer, and the probe's own 5-second bound ends the wait
    // (a blocking connect would wait for the system's time-out of minutes).
    Responder r(Responder::kSilent, "", 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(r.port()));
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(fd);
    }
    EXPECT_EQ(probe(r), -1);
    for (int fd : fillers) close(fd);
}

}  // namespace
