// Proof of the instance's session key without sending it: what the library and
// trapd exchange on the TCP event port, where a stranger may be listening in
// trapd's place.  Each side proves it holds the key by an HMAC-SHA-256 over the
// other side's fresh nonce, so the key itself never crosses TCP and an answer
// cannot be replayed.
#pragma once

#include <string>
#include <string_view>

namespace zq::wire {

// Labels keep trapd's proof and the library's apart.
constexpr std::string_view kTrapdProof = "zq event session: trapd";
constexpr std::string_view kSessionProof = "zq event session: session";

// HMAC-SHA-256 (kNonce bytes) keyed with the session key, over the label and the
// two nonces in the order given.
std::string key_proof(std::string_view key, std::string_view label, std::string_view first,
                      std::string_view second);
// kNonce random bytes; false when the system has none to give.
bool random_nonce(std::string& out);
// Compares in a time that says nothing about where two texts differ.
bool same_bytes(std::string_view a, std::string_view b);
// Lower-case hexadecimal of bytes.
std::string hex_of(std::string_view bytes);

}  // namespace zq::wire
