// SNMPv3 traps and informs: the users trapd takes them from (conf/trapd.users),
// trapd's own engine ID (kept across restarts, with its boot count), and the
// decoding of one SNMPv3 datagram with net-snmp's user-based security model.
// Authentication, decryption, the time window and key localisation are
// net-snmp's work; what is ours is saying which check failed and answering
// what the protocol wants answered (engine discovery, informs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "snmpv3conf.h"
#include "wire.h"

namespace zq::trapd {

// Why an SNMPv3 datagram was not taken.  kDiscovery is no failure: a sender
// asking for trapd's engine ID (before an inform), answered with a report.
enum class V3Result {
    kTaken,
    kMalformed,     // not a well-formed SNMPv3 notification
    kDiscovery,
    kUnknownUser,   // no such user
    kUnknownEngine, // the user is known, but not for that engine ID
    kAuth,          // wrong digest: wrong key or protocol
    kDecrypt,       // cannot be decrypted
    kTime,          // outside the time window
    kLevel,         // below the level the user's keys ask for, or above what it has
};
constexpr int kV3Reasons = 9;
// "user", "engine", "auth", "decrypt", "time", "level" for the failures.
const char* v3_reason_name(V3Result r);

// Sets up net-snmp for SNMPv3 in this process: the engine ID and boot count of
// engine_file (made on the first start: a random engine ID under the platform
// maker's arc; the boot count goes up by one at every start and is written
// back), then one USM user per line of users (a line with engine= for traps
// from that engine, a line without it for informs, localised to trapd's own
// engine).  False with why on any failure (nothing half set up is used).
bool usm_setup(const std::string& engine_file, const std::vector<V3User>& users, std::string& why);
// trapd's engine ID in hex and its boot count (after usm_setup).
std::string usm_engine_hex();
unsigned long usm_engine_boots();

// Decodes an SNMPv3 datagram from source (usm_setup first; without it every
// datagram fails as an unknown user).  kTaken: ev holds the notification
// in SNMPv1 form (version 3, user, level), inform says whether it was an
// InformRequest, and reply holds the Response to send once it is accepted.
// Otherwise why says what was wrong, and reply may hold a Report to send back
// (discovery, or a failed inform: the sender learns why, as SNMPv3 wants).
// Any byte string is safe to pass.
V3Result decode_v3(const uint8_t* data, size_t len, const uint8_t source[4], wire::Event& ev, std::string& why,
                   bool& inform, std::string& reply);

// True when the datagram says SNMP version 3 (its first fields, nothing more).
bool is_v3_datagram(const uint8_t* data, size_t len);

}  // namespace zq::trapd
