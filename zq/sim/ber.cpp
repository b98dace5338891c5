#include "ber.h"

namespace zqsim::ber {

bool Reader::next(uint8_t& tag, std::string_view& content, std::string_view* whole) {
    const uint8_t* start = p_;
    if (end_ - p_ < 2) return false;
    tag = *p_++;
    if ((tag & 0x1f) == 0x1f) return false;  // multi-byte tags never occur in SNMP
    size_t len = *p_++;
    if (len & 0x80) {
        size_t n = len & 0x7f;
        if (n == 0 || n > 4 || static_cast<size_t>(end_ - p_) < n) return false;  // no indefinite form
        len = 0;
        for (size_t i = 0; i < n; ++i) len = (len << 8) | *p_++;
    }
    if (static_cast<size_t>(end_ - p_) < len) return false;
    content = std::string_view(reinterpret_cast<const char*>(p_), len);
    p_ += len;
    if (whole) *whole = std::string_view(reinterpret_cast<const char*>(start), static_cast<size_t>(p_ - start));
    return true;
}

bool Reader::expect(uint8_t tag, std::string_view& content) {
    uint8_t t = 0;
    return next(t, content) && t == tag;
}

bool decode_int(std::string_view c, int64_t& out) {
    if (c.empty() || c.size() > 8) return false;
    uint64_t v = (static_cast<uint8_t>(c[0]) & 0x80) ? ~uint64_t{0} : 0;
    for (char ch : c) v = (v << 8) | static_cast<uint8_t>(ch);
    out = static_cast<int64_t>(v);
    return true;
}

bool decode_oid(std::string_view c, std::vector<uint32_t>& out) {
    out.clear();
    if (c.empty()) return false;
    size_t i = 0;
    bool first = true;
    while (i < c.size()) {
        uint64_t v = 0;
        size_t n = 0;
        while (true) {
            if (i >= c.size() || ++n > 5) return false;
            uint8_t b = static_cast<uint8_t>(c[i++]);
            v = (v << 7) | (b & 0x7f);
            if (!(b & 0x80)) break;
        }
        if (first) {
            first = false;
            uint32_t a = v < 40 ? 0 : v < 80 ? 1 : 2;
            uint64_t b = v - 40u * a;
            if (b > 0xffffffffULL) return false;
            out.push_back(a);
            out.push_back(static_cast<uint32_t>(b));
        } else {
            if (v > 0xffffffffULL) return false;
            out.push_back(static_cast<uint32_t>(v));
        }
        if (out.size() > 128) return false;
    }
    return true;
}

size_t tlv_size(size_t len) {
    size_t h = 2;
    if (len >= 0x80) h += len <= 0xff ? 1 : len <= 0xffff ? 2 : len <= 0xffffff ? 3 : 4;
    return h + len;
}

void put_length(std::string& out, size_t len) {
    if (len < 0x80) {
        out += static_cast<char>(len);
        return;
    }
    int n = len <= 0xff ? 1 : len <= 0xffff ? 2 : len <= 0xffffff ? 3 : 4;
    out += static_cast<char>(0x80 | n);
    for (int i = n - 1; i >= 0; --i) out += static_cast<char>((len >> (8 * i)) & 0xff);
}

void put_tlv(std::string& out, uint8_t tag, std::string_view content) {
    out += static_cast<char>(tag);
    put_length(out, content.size());
    out.append(content);
}

void put_int(std::string& out, int64_t v, uint8_t tag) {
    // Minimal two's complement: drop leading bytes that only repeat the sign.
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (56 - 8 * i));
    int start = 0;
    while (start < 7 && ((bytes[start] == 0x00 && !(bytes[start + 1] & 0x80)) ||
                         (bytes[start] == 0xff && (bytes[start + 1] & 0x80))))
        ++start;
    put_tlv(out, tag, std::string_view(reinterpret_cast<const char*>(bytes + start), 8 - start));
}

void put_unsigned(std::string& out, uint64_t v, uint8_t tag) {
    uint8_t bytes[9];
    bytes[0] = 0;
    for (int i = 0; i < 8; ++i) bytes[i + 1] = static_cast<uint8_t>(v >> (56 - 8 * i));
    int start = 0;
    while (start < 8 && bytes[start] == 0 && !(bytes[start + 1] & 0x80)) ++start;
    put_tlv(out, tag, std::string_view(reinterpret_cast<const char*>(bytes + start), 9 - start));
}

namespace {
void put_subid(std::string& out, uint64_t v) {
    char buf[10];
    int n = 0;
    do {
        buf[n++] = static_cast<char>(v & 0x7f);
        v >>= 7;
    } while (v);
    for (int i = n - 1; i >= 0; --i) out += static_cast<char>(buf[i] | (i ? 0x80 : 0));
}
}  // namespace

bool put_oid(std::string& out, const std::vector<uint32_t>& oid) {
    if (oid.size() < 2 || oid.size() > 128 || oid[0] > 2 || (oid[0] < 2 && oid[1] > 39)) return false;
    std::string c;
    put_subid(c, uint64_t{oid[0]} * 40 + oid[1]);
    for (size_t i = 2; i < oid.size(); ++i) put_subid(c, oid[i]);
    put_tlv(out, kOid, c);
    return true;
}

}  // namespace zqsim::ber
