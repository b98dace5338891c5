// The map program's event intake and writer, in this process, with a real
// trapd: events are stored as they come, a broken events.conf leaves the last
// good one in force, and a mended one takes over.
#include <gtest/gtest.h>

#include <unistd.h>

#include "events.h"
#include "evstore.h"
#include "testsupport.h"

namespace {

using zqtest::bin;

// The newest stored event's name, once there are n events.
std::string newest_name(size_t n) {
    std::string name;
    zqtest::wait_until([&] {
        zq::ev::Store s;
        if (!s.open(zq::ev::store_path(), false)) return false;
        zq::ev::Filter f;
        std::vector<zq::ev::Event> list;
        bool more = false;
        if (!s.events(f, list, more) || list.size() < n) return false;
        name = list.front().name;
        return true;
    }, 10000);
    return name;
}

void send(const zqtest::Instance& inst, const char* trap) {
    ASSERT_EQ(zqtest::run({bin("snmpnotify"), "localhost", trap}, inst.env()).status, 0);
}

}  // namespace

TEST(EventIntake, StoresAsItComesAndKeepsTheLastGoodConfiguration) {
    zqtest::Instance inst;
    inst.activate();
    zqtest::write_file(inst.root + "/conf/events.conf", "1.3.6.1.4.1.77.0.1 First Test Minor \"one\"\n");
    zqtest::Process trapd({bin("trapd")}, inst.env());
    std::string error;
    ASSERT_TRUE(zqtest::wait_until([&] { return zqtest::run({bin("snmpnotify"), "localhost", "1.3.6.1.4.1.77.0.9"},
                                                            inst.env()).status == 0; }, 10000));
    ASSERT_TRUE(zq::map::start_events(error)) << error;
    send(inst, "1.3.6.1.4.1.77.0.1");
    EXPECT_EQ(newest_name(1), "First");

    // A line in error: the old entries stay in force (the file is looked at twice a second).
    zqtest::write_file(inst.root + "/conf/events.conf",
                       "1.3.6.1.4.1.77.0.1 Second Test Minor \"two\"\nnot a line\n");
    usleep(1200 * 1000);
    send(inst, "1.3.6.1.4.1.77.0.1");
    EXPECT_EQ(newest_name(2), "First");
    zqtest::write_file(inst.root + "/conf/events.conf", "1.3.6.1.4.1.77.0.1 Third Test Minor \"three\"\n");
    usleep(1200 * 1000);
    send(inst, "1.3.6.1.4.1.77.0.1");
    EXPECT_EQ(newest_name(3), "Third");

    zq::map::stop_events();
    zq::ev::Store s;
    ASSERT_TRUE(s.open(zq::ev::store_path(), false));
    zq::ev::Counters c;
    ASSERT_TRUE(s.counters(c));
    EXPECT_EQ(c.last_event, 3);
    EXPECT_EQ(c.lost, 0);
}
