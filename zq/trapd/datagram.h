// Turning one received UDP datagram (an SNMPv1 Trap or SNMPv2c notification)
// into the trap record trapd logs and delivers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "wire.h"

struct snmp_pdu;

namespace zq::trapd {

// Sets up net-snmp's library for decoding: no MIB files, no configuration files,
// no logging of parse errors (a flood of bad datagrams must not flood stderr).
void init_decoder();

// Decodes a datagram received from source (IPv4, network order).  On success ev
// holds the trap in SNMPv1 form with its trap identifier and agent address; on
// failure why says what was wrong.  Any byte string is safe to pass.
bool decode_datagram(const uint8_t* data, size_t len, const uint8_t source[4], wire::Event& ev,
                     std::string& why);
// The same; inform is set for an SNMPv2c InformRequest, which decodes like a
// notification and wants a Response (see inform_response).
bool decode_datagram(const uint8_t* data, size_t len, const uint8_t source[4], wire::Event& ev,
                     std::string& why, bool& inform);

// The Response to an InformRequest datagram: the same message with the PDU tag
// turned into Response (request id, error fields and bindings echoed, as the
// protocol asks).  False when the datagram is not a well-formed inform.
bool inform_response(const uint8_t* data, size_t len, std::string& out);

// An SNMPv2 notification PDU (as net-snmp parsed it, from an SNMPv2c or SNMPv3
// message) in SNMPv1 form, as RFC 3584 section 3.2 says.
bool notification_from_v2(const snmp_pdu* pdu, const uint8_t source[4], wire::Event& ev, std::string& why);

// Completes a trap that came in as an event record from a session: the trap
// identifier is computed from enterprise, generic and specific, and an unset agent
// address becomes 127.0.0.1.  False when generic or enterprise make no trap.
bool complete_event(wire::Event& ev, std::string& why);

// One BER header at data[pos], the content lying whole before len: its tag and
// content length; pos moves to the content.  Lengths of 1 to 4 bytes only.
bool ber_header(const uint8_t* data, size_t len, size_t& pos, uint8_t& tag, size_t& content);

}  // namespace zq::trapd
