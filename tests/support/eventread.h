// For tests that hold an event session of trapd: reads what the session delivers
// (its callback runs inside) until a condition holds.  Header-only, so that the
// test support library itself needs no SNMP library.
#pragma once

#include <sys/select.h>

#include <functional>

#include "testsupport.h"
#include "zqsnmp.h"

namespace zqtest {

// Reads the events of session s until done() holds or timeout_ms pass; what
// done() says at the end.
inline bool read_events_until(ZqSession* s, const std::function<bool()>& done, int timeout_ms, int step_ms = 10) {
    return wait_until(
        [&] {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(s->sock_fd, &set);
            timeval tv{0, 50000};
            if (select(s->sock_fd + 1, &set, nullptr, nullptr, &tv) > 0) ZqsnmpRead(&set);
            return done();
        },
        timeout_ms, step_ms);
}

}  // namespace zqtest
