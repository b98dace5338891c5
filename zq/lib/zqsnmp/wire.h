// The framed record format between the event library and trapd (the Unix socket
// run/trapd.sock, or TCP 127.0.0.1:event_port with a challenge first).
//
// Every frame is a 4-byte big-endian payload length followed by the payload; the
// payload's first byte is its kind.  All integers are big-endian.  Decoding is
// total: any byte string either decodes or gives an error, and no count read from
// the wire is trusted before the bytes it announces are known to be there.
// The layout is documented for operators in zq/README.md ("Event wire format").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zq::wire {

constexpr uint8_t kProtocol = 1;
constexpr size_t kMaxFrame = 1024 * 1024;  // payload bytes of one frame (any UDP trap fits)
constexpr size_t kMaxOid = 128;            // sub-identifiers of any OID
constexpr size_t kMaxString = 65535;       // bytes of a community or string value
constexpr size_t kMaxBindings = 16384;
constexpr size_t kMaxName = 255;
constexpr size_t kMaxUser = 32;            // bytes of an SNMPv3 user name           // session name and filter text

constexpr size_t kMaxKey = 64;             // bytes of the instance's session key
constexpr size_t kNonce = 32;              // bytes of a challenge's nonce and of a proof
// The largest hello payload: kind, protocol, and three texts with their lengths.
// kind, protocol, three texts with their lengths, and the flags byte.  A challenge
// is shorter.
constexpr size_t kMaxHello = 2 + 2 + kMaxName + 2 + kMaxName + 2 + kMaxKey + 1;

// 'R' (refusal) carries a reason text; trapd sends it instead of the
// acknowledgement and closes the connection.  On the TCP port a session starts
// with 'C' (the library's challenge: a fresh nonce), trapd answers 'P' (its proof
// that it holds the key, and a nonce of its own), and the hello then carries the
// library's proof instead of the key: the key itself never crosses TCP.
enum Kind : uint8_t { kHello = 'H', kAck = 'A', kEvent = 'E', kRefuse = 'R', kChallenge = 'C', kProof = 'P' };

// Hello flags.  kManaged: the session belongs to a program the instance runs
// itself (started by zqspmd or hosted by the map program); trapd keeps its queue
// apart from the interactive sessions' shared allowance.
constexpr uint8_t kManaged = 1;

using Oid = std::vector<uint32_t>;

struct Binding {
    Oid name;
    uint8_t type = 5;        // ZQ_ASN_* of zqsnmp.h
    uint64_t number = 0;     // INTEGER (32-bit two's complement), Counter32, Gauge32, TimeTicks, Counter64
    std::string bytes;       // OCTET STRING, Opaque, IpAddress (4 bytes)
    Oid objid;               // OBJECT IDENTIFIER
};

struct Event {
    int version = 0;         // 0 SNMPv1, 1 SNMPv2c, 3 SNMPv3 (then user and level, no community)
    std::string community;
    std::string user;        // SNMPv3: the security name, at most kMaxUser bytes
    int level = 0;           // SNMPv3: 1 noAuthNoPriv, 2 authNoPriv, 3 authPriv
    Oid enterprise;
    std::array<uint8_t, 4> agent{};   // network order; zero = not set
    int32_t generic = 6;
    int32_t specific = 0;
    uint32_t timestamp = 0;  // hundredths of a second
    Oid trap_id;
    std::vector<Binding> bindings;
};

struct Hello {
    std::string name;        // empty: a send-only session
    std::string filter;      // ".*" or ".1.3.6.*"; empty for send-only sessions
    std::string key;         // run/trapd.key of the instance (or, after a challenge, the proof in hex)
    uint8_t flags = 0;       // kManaged; absent from the payload means 0
};

// Whole frames (length prefix included), appended to out.  encode_event fails
// (returns false, out unchanged) when a field is out of range or the frame would
// exceed kMaxFrame.
void encode_hello(const Hello& h, std::string& out);
void encode_ack(std::string& out);
void encode_refusal(std::string_view reason, std::string& out);
void encode_challenge(std::string_view nonce, std::string& out);
void encode_proof(std::string_view proof, std::string_view nonce, std::string& out);
bool encode_event(const Event& e, std::string& out);

// Looks at the front of a byte stream.  kFrame: payload is the first frame's
// payload and consumed its size with the prefix.  kNeed: not a whole frame yet.
// kBad: the length prefix is 0 or above kMaxFrame; the stream cannot be resynchronised.
enum class Split { kNeed, kFrame, kBad };
Split next_frame(std::string_view buf, std::string_view& payload, size_t& consumed);

// Payload decoders (the kind byte included).  False with a reason on any error.
bool decode_hello(std::string_view payload, Hello& h, std::string& why);
bool decode_ack(std::string_view payload, std::string& why);
// A refusal record: its reason text.
bool decode_refusal(std::string_view payload, std::string& reason);
// A challenge: its nonce (exactly kNonce bytes).
bool decode_challenge(std::string_view payload, std::string& nonce, std::string& why);
// A proof: the proof and trapd's nonce (kNonce bytes each).
bool decode_proof(std::string_view payload, std::string& proof, std::string& nonce, std::string& why);
bool decode_event(std::string_view payload, Event& e, std::string& why);

// Event filters: ".*" (empty prefix: everything) or a dotted prefix followed by
// ".*" (".1.3.6.1.4.1.64001.*"; the leading dot may be left out).
bool parse_filter(std::string_view text, Oid& prefix);
// True when prefix is a prefix of trap_id (sub-identifier by sub-identifier).
bool filter_matches(const Oid& prefix, const Oid& trap_id);

// The trap identifier of an SNMPv1-form trap: enterprise.0.specific for generic 6,
// 1.3.6.1.6.3.1.1.5.(generic+1) for generic 0 to 5.  False for other generics, or
// for generic 6 without an enterprise.
bool v1_trap_id(const Event& e, Oid& out);

}  // namespace zq::wire
