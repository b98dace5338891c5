// Temporary stand-ins for the event side until event.cpp exists (weak, so the real
// definitions win).  To be deleted once event.cpp is in the tree.
#include <cstdlib>

#include "internal.h"

namespace zq::snmp {
__attribute__((weak)) int event_close(ZqSession* session) {
    delete session->impl;
    std::free(session);
    return 0;
}
}  // namespace zq::snmp

extern "C" __attribute__((weak)) int ZqsnmpEventSend(ZqSession*, ZqPdu*, const void*, int) {
    zq::snmp::set_errno(ZQSNMP_E_BADSESSION);
    return -1;
}
