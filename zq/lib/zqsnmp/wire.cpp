#include "wire.h"

#include <algorithm>

namespace zq::wire {

namespace {

// Value types a binding may carry (zqsnmp.h's ZQ_ASN_*).
constexpr uint8_t kInteger = 2, kOctets = 4, kNull = 5, kObjId = 6, kIpAddr = 0x40, kCounter = 0x41,
                  kGauge = 0x42, kTicks = 0x43, kOpaque = 0x44, kCounter64 = 0x46;

class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}
    void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void u16(uint16_t v) {
        u8(static_cast<uint8_t>(v >> 8));
        u8(static_cast<uint8_t>(v));
    }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v >> 16));
        u16(static_cast<uint16_t>(v));
    }
    void u64(uint64_t v) {
        u32(static_cast<uint32_t>(v >> 32));
        u32(static_cast<uint32_t>(v));
    }
    void str16(std::string_view s) {
        u16(static_cast<uint16_t>(s.size()));
        out_.append(s);
    }
    void oid(const Oid& o) {
        u8(static_cast<uint8_t>(o.size()));
        for (uint32_t v : o) u32(v);
    }
    void raw(std::string_view s) { out_.append(s); }

private:
    std::string& out_;
};

class Reader {
public:
    explicit Reader(std::string_view in) : in_(in) {}
    bool ok() const { return ok_; }
    bool at_end() const { return pos_ == in_.size(); }
    const char* why() const { return why_; }
    void fail(const char* why) {
        if (ok_) why_ = why;
        ok_ = false;
    }
    bool have(size_t n) {
        if (!ok_) return false;
        if (in_.size() - pos_ < n) {
            fail("record truncated");
            return false;
        }
        return true;
    }
    uint8_t u8() {
        if (!have(1)) return 0;
        return static_cast<uint8_t>(in_[pos_++]);
    }
    uint16_t u16() {
        uint16_t hi = u8();
        return static_cast<uint16_t>((hi << 8) | u8());
    }
    uint32_t u32() {
        uint32_t hi = u16();
        return (hi << 16) | u16();
    }
    uint64_t u64() {
        uint64_t hi = u32();
        return (hi << 32) | u32();
    }
    std::string bytes(size_t n) {
        if (!have(n)) return {};
        std::string s(in_.substr(pos_, n));
        pos_ += n;
        return s;
    }
    std::string str16() { return bytes(u16()); }
    // An OID of min_len..kMaxOid sub-identifiers.
    Oid oid(size_t min_len) {
        size_t n = u8();
        if (!ok_) return {};
        if (n < min_len || n > kMaxOid) {
            fail("OID length out of range");
            return {};
        }
        if (!have(n * 4)) return {};
        Oid o(n);
        for (auto& v : o) v = u32();
        return o;
    }

private:
    std::string_view in_;
    size_t pos_ = 0;
    bool ok_ = true;
    const char* why_ = "";
};

void put_frame(std::string& out, const std::string& payload) {
    Writer w(out);
    w.u32(static_cast<uint32_t>(payload.size()));
    w.raw(payload);
}

bool value_fits(const Binding& b) {
    switch (b.type) {
    case kInteger:
    case kCounter:
    case kGauge:
    case kTicks:
    case kCounter64:
    case kNull:
        return true;
    case kOctets:
    case kOpaque:
        return b.bytes.size() <= kMaxString;
    case kIpAddr:
        return b.bytes.size() == 4;
    case kObjId:
        return !b.objid.empty() && b.objid.size() <= kMaxOid;
    default:
        return false;
    }
}

}  // namespace

void encode_hello(const Hello& h, std::string& out) {
    std::string p;
    Writer w(p);
    w.u8(kHello);
    w.u8(kProtocol);
    w.str16(std::string_view(h.name).substr(0, kMaxName));
    w.str16(std::string_view(h.filter).substr(0, kMaxName));
    w.str16(std::string_view(h.key).substr(0, kMaxKey));
    if (h.flags != 0) w.u8(h.flags);
    put_frame(out, p);
}

void encode_challenge(std::string_view nonce, std::string& out) {
    std::string p;
    Writer w(p);
    w.u8(kChallenge);
    w.u8(kProtocol);
    w.str16(nonce.substr(0, kNonce));
    put_frame(out, p);
}

void encode_proof(std::string_view proof, std::string_view nonce, std::string& out) {
    std::string p;
    Writer w(p);
    w.u8(kProof);
    w.str16(proof.substr(0, kNonce));
    w.str16(nonce.substr(0, kNonce));
    put_frame(out, p);
}

void encode_refusal(std::string_view reason, std::string& out) {
    std::string p;
    Writer w(p);
    w.u8(kRefuse);
    w.str16(reason.substr(0, kMaxName));
    put_frame(out, p);
}

void encode_ack(std::string& out) {
    std::string p;
    Writer w(p);
    w.u8(kAck);
    w.u8(kProtocol);
    put_frame(out, p);
}

bool encode_event(const Event& e, std::string& out) {
    const bool v3 = e.version == 3;
    if (!(e.version == 0 || e.version == 1 || v3) || e.community.size() > kMaxString ||
        (v3 && (e.user.size() > kMaxUser || e.level < 1 || e.level > 3)) || e.enterprise.size() > kMaxOid ||
        e.trap_id.size() > kMaxOid || e.bindings.size() > kMaxBindings)
        return false;
    std::string p;
    p.reserve(64 + e.community.size() + e.bindings.size() * 48);
    Writer w(p);
    w.u8(kEvent);
    w.u8(static_cast<uint8_t>(e.version));
    w.str16(e.community);
    if (v3) {
        w.str16(e.user);
        w.u8(static_cast<uint8_t>(e.level));
    }
    w.oid(e.enterprise);
    for (uint8_t b : e.agent) w.u8(b);
    w.u32(static_cast<uint32_t>(e.generic));
    w.u32(static_cast<uint32_t>(e.specific));
    w.u32(e.timestamp);
    w.oid(e.trap_id);
    w.u32(static_cast<uint32_t>(e.bindings.size()));
    for (const Binding& b : e.bindings) {
        if (b.name.empty() || b.name.size() > kMaxOid || !value_fits(b)) return false;
        w.oid(b.name);
        w.u8(b.type);
        switch (b.type) {
        case kInteger:
        case kCounter:
        case kGauge:
        case kTicks:
            w.u32(static_cast<uint32_t>(b.number));
            break;
        case kCounter64:
            w.u64(b.number);
            break;
        case kOctets:
        case kOpaque:
            w.u32(static_cast<uint32_t>(b.bytes.size()));
            w.raw(b.bytes);
            break;
        case kIpAddr:
            w.raw(b.bytes);
            break;
        case kObjId:
            w.oid(b.objid);
            break;
        default:  // kNull
            break;
        }
        if (p.size() > kMaxFrame) return false;
    }
    put_frame(out, p);
    return true;
}

Split next_frame(std::string_view buf, std::string_view& payload, size_t& consumed) {
    if (buf.size() < 4) return Split::kNeed;
    uint32_t len = (uint32_t{static_cast<uint8_t>(buf[0])} << 24) | (uint32_t{static_cast<uint8_t>(buf[1])} << 16) |
                   (uint32_t{static_cast<uint8_t>(buf[2])} << 8) | uint32_t{static_cast<uint8_t>(buf[3])};
    if (len == 0 || len > kMaxFrame) return Split::kBad;
    if (buf.size() - 4 < len) return Split::kNeed;
    payload = buf.substr(4, len);
    consumed = 4 + static_cast<size_t>(len);
    return Split::kFrame;
}

bool decode_hello(std::string_view payload, Hello& h, std::string& why) {
    Reader r(payload);
    if (r.u8() != kHello) r.fail("not a hello record");
    if (r.ok() && r.u8() != kProtocol) r.fail("unknown protocol version");
    h.name = r.str16();
    h.filter = r.str16();
    h.key = r.str16();
    if (r.ok() && (h.name.size() > kMaxName || h.filter.size() > kMaxName)) r.fail("name or filter too long");
    if (r.ok() && h.key.size() > kMaxKey) r.fail("key too long");
    h.flags = r.ok() && !r.at_end() ? r.u8() : 0;
    if (r.ok() && !r.at_end()) r.fail("trailing bytes");
    if (!r.ok()) why = r.why();
    return r.ok();
}

bool decode_ack(std::string_view payload, std::string& why) {
    Reader r(payload);
    if (r.u8() != kAck) r.fail("not an acknowledgement");
    if (r.ok() && r.u8() != kProtocol) r.fail("unknown protocol version");
    if (r.ok() && !r.at_end()) r.fail("trailing bytes");
    if (!r.ok()) why = r.why();
    return r.ok();
}

bool decode_refusal(std::string_view payload, std::string& reason) {
    Reader r(payload);
    if (r.u8() != kRefuse) r.fail("not a refusal");
    reason = r.str16();
    return r.ok() && r.at_end();
}

bool decode_challenge(std::string_view payload, std::string& nonce, std::string& why) {
    Reader r(payload);
    if (r.u8() != kChallenge) r.fail("not a challenge");
    if (r.ok() && r.u8() != kProtocol) r.fail("unknown protocol version");
    nonce = r.str16();
    if (r.ok() && nonce.size() != kNonce) r.fail("nonce of the wrong size");
    if (r.ok() && !r.at_end()) r.fail("trailing bytes");
    if (!r.ok()) why = r.why();
    return r.ok();
}

bool decode_proof(std::string_view payload, std::string& proof, std::string& nonce, std::string& why) {
    Reader r(payload);
    if (r.u8() != kProof) r.fail("not a proof");
    proof = r.str16();
    nonce = r.str16();
    if (r.ok() && (proof.size() != kNonce || nonce.size() != kNonce)) r.fail("proof or nonce of the wrong size");
    if (r.ok() && !r.at_end()) r.fail("trailing bytes");
    if (!r.ok()) why = r.why();
    return r.ok();
}

bool decode_event(std::string_view payload, Event& e, std::string& why) {
    Reader r(payload);
    if (r.u8() != kEvent) r.fail("not an event record");
    e.version = r.u8();
    if (r.ok() && e.version > 1 && e.version != 3) r.fail("unknown SNMP version");
    e.community = r.str16();
    e.user.clear();
    e.level = 0;
    if (r.ok() && e.version == 3) {
        e.user = r.str16();
        e.level = r.u8();
        if (r.ok() && (e.user.size() > kMaxUser || e.level < 1 || e.level > 3)) r.fail("bad SNMPv3 user or level");
    }
    e.enterprise = r.oid(0);
    for (auto& b : e.agent) b = r.u8();
    e.generic = static_cast<int32_t>(r.u32());
    e.specific = static_cast<int32_t>(r.u32());
    e.timestamp = r.u32();
    e.trap_id = r.oid(0);
    uint32_t count = r.u32();
    if (r.ok() && count > kMaxBindings) r.fail("too many bindings");
    e.bindings.clear();
    // Each binding takes at least 7 bytes: do not reserve more than the payload can hold.
    if (r.ok()) e.bindings.reserve(std::min<size_t>(count, payload.size() / 7));
    for (uint32_t i = 0; r.ok() && i < count; ++i) {
        Binding b;
        b.name = r.oid(1);
        b.type = r.u8();
        switch (b.type) {
        case kInteger:
        case kCounter:
        case kGauge:
        case kTicks:
            b.number = r.u32();
            break;
        case kCounter64:
            b.number = r.u64();
            break;
        case kOctets:
        case kOpaque: {
            uint32_t n = r.u32();
            if (r.ok() && n > kMaxString) r.fail("string value too long");
            b.bytes = r.bytes(n);
            break;
        }
        case kIpAddr:
            b.bytes = r.bytes(4);
            break;
        case kObjId:
            b.objid = r.oid(1);
            break;
        case kNull:
            break;
        default:
            if (r.ok()) r.fail("unknown value type");
        }
        if (r.ok()) e.bindings.push_back(std::move(b));
    }
    if (r.ok() && !r.at_end()) r.fail("trailing bytes");
    if (!r.ok()) why = r.why();
    return r.ok();
}

bool parse_filter(std::string_view text, Oid& prefix) {
    prefix.clear();
    if (text == ".*" || text == "*") return true;
    if (text.size() < 3 || text.substr(text.size() - 2) != ".*") return false;
    text.remove_suffix(2);
    if (!text.empty() && text.front() == '.') text.remove_prefix(1);
    if (text.empty()) return false;
    uint64_t cur = 0;
    bool digit = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            cur = cur * 10 + static_cast<uint64_t>(c - '0');
            if (cur > 0xffffffffULL) return false;
            digit = true;
        } else if (c == '.' && digit) {
            prefix.push_back(static_cast<uint32_t>(cur));
            cur = 0;
            digit = false;
        } else {
            return false;
        }
        if (prefix.size() >= kMaxOid) return false;
    }
    if (!digit) return false;
    prefix.push_back(static_cast<uint32_t>(cur));
    return true;
}

bool filter_matches(const Oid& prefix, const Oid& trap_id) {
    if (prefix.size() > trap_id.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (prefix[i] != trap_id[i]) return false;
    return true;
}

bool v1_trap_id(const Event& e, Oid& out) {
    if (e.generic >= 0 && e.generic <= 5) {
        out = {1, 3, 6, 1, 6, 3, 1, 1, 5, static_cast<uint32_t>(e.generic + 1)};
        return true;
    }
    if (e.generic != 6 || e.enterprise.empty() || e.enterprise.size() + 2 > kMaxOid) return false;
    out = e.enterprise;
    out.push_back(0);
    out.push_back(static_cast<uint32_t>(e.specific));
    return true;
}

}  // namespace zq::wire
