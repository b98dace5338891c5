#include "sessionauth.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/random.h>

#include <cerrno>

#include "wire.h"

namespace zq::wire {

std::string key_proof(std::string_view key, std::string_view label, std::string_view first,
                      std::string_view second) {
    std::string msg;
    msg.reserve(label.size() + first.size() + second.size() + 2);
    msg.append(label);
    msg += '\0';
    msg.append(first);
    msg += '\0';
    msg.append(second);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(msg.data()),
             msg.size(), out, &len) == nullptr)
        return {};
    return std::string(reinterpret_cast<const char*>(out), len < kNonce ? len : kNonce);
}

bool random_nonce(std::string& out) {
    out.assign(kNonce, '\0');
    size_t got = 0;
    while (got < out.size()) {
        ssize_t r = getrandom(out.data() + got, out.size() - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

bool same_bytes(std::string_view a, std::string_view b) {
    unsigned char d = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) d |= static_cast<unsigned char>(a[i] ^ b[i]);
    return d == 0 && a.size() == b.size();
}

std::string hex_of(std::string_view bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

}  // namespace zq::wire
