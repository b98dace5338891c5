#include "agent.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "ber.h"

namespace zqsim {

namespace {

using namespace ber;

constexpr int kV1 = 0;
constexpr int kV2c = 1;

// Error statuses.
constexpr int kNoError = 0;
constexpr int kTooBig = 1;
constexpr int kNoSuchName = 2;
constexpr int kNotWritable = 17;

// GetBulk answers stop at this many bindings even when the manager asks for more.
constexpr size_t kMaxBulkBindings = 2048;

struct VarBind {
    std::vector<uint32_t> oid;
    std::string_view whole;   // the binding as received, for echoing
};

struct Request {
    int version = 0;
    std::string_view community;
    uint8_t type = 0;
    std::string_view request_id;   // contents of the INTEGER, echoed as received
    int64_t field1 = 0;            // error status, or non-repeaters (GetBulk)
    int64_t field2 = 0;            // error index, or max-repetitions (GetBulk)
    std::vector<VarBind> binds;
};

bool decode(const uint8_t* data, size_t len, Request& r) {
    Reader top(data, len);
    std::string_view msg, pdu, c;
    if (!top.expect(kSequence, msg)) return false;
    Reader m(msg);
    int64_t v = 0;
    if (!m.expect(kInteger, c) || !decode_int(c, v)) return false;
    r.version = v == kV1 || v == kV2c ? static_cast<int>(v) : -1;
    if (!m.expect(kOctetString, r.community)) return false;
    if (!m.next(r.type, pdu)) return false;
    Reader p(pdu);
    if (!p.expect(kInteger, r.request_id) || r.request_id.empty() || r.request_id.size() > 5) return false;
    if (!p.expect(kInteger, c) || !decode_int(c, r.field1)) return false;
    if (!p.expect(kInteger, c) || !decode_int(c, r.field2)) return false;
    std::string_view list;
    if (!p.expect(kSequence, list)) return false;
    Reader l(list);
    while (!l.at_end()) {
        std::string_view vb, oid, whole, val;
        uint8_t tag = 0, vtag = 0;
        if (!l.next(tag, vb, &whole) || tag != kSequence) return false;
        Reader b(vb);
        VarBind bind;
        bind.whole = whole;
        if (!b.expect(kOid, oid) || !decode_oid(oid, bind.oid)) return false;
        if (!b.next(vtag, val) || !b.at_end()) return false;
        r.binds.push_back(std::move(bind));
    }
    return true;
}

// Looks up MIB entries, hiding Counter64 values from SNMPv1 managers.
class View {
public:
    View(const Node& n, int version) : mib_(n.mib), v1_(version == kV1) {}

    const MibEntry* get(const std::vector<uint32_t>& oid) const {
        auto it = std::lower_bound(mib_.begin(), mib_.end(), oid,
                                   [](const MibEntry& e, const std::vector<uint32_t>& o) { return e.oid < o; });
        if (it == mib_.end() || it->oid != oid || (v1_ && it->counter64)) return nullptr;
        return &*it;
    }
    const MibEntry* next(const std::vector<uint32_t>& oid) const {
        auto it = std::upper_bound(mib_.begin(), mib_.end(), oid,
                                   [](const std::vector<uint32_t>& o, const MibEntry& e) { return o < e.oid; });
        while (it != mib_.end() && v1_ && it->counter64) ++it;
        return it == mib_.end() ? nullptr : &*it;
    }
    // True when some entry lies below the OID's parent: the object exists, the instance not.
    bool object_exists(const std::vector<uint32_t>& oid) const {
        if (oid.size() < 2) return false;
        std::vector<uint32_t> parent(oid.begin(), oid.end() - 1);
        auto it = std::lower_bound(mib_.begin(), mib_.end(), parent,
                                   [](const MibEntry& e, const std::vector<uint32_t>& o) { return e.oid < o; });
        return it != mib_.end() && it->oid.size() > parent.size() &&
               std::equal(parent.begin(), parent.end(), it->oid.begin());
    }

private:
    const std::vector<MibEntry>& mib_;
    bool v1_;
};

void put_binding(std::string& list, const std::vector<uint32_t>& oid, std::string_view value) {
    std::string b;
    put_oid(b, oid);
    b.append(value);
    put_tlv(list, kSequence, b);
}

// The binding's OID with an exception value (v2c) in place of a value.
std::string exception_value(uint8_t tag) {
    std::string v;
    put_tlv(v, tag, "");
    return v;
}

std::string build(const Request& r, int status, int index, const std::string& bindings) {
    std::string pdu;
    put_tlv(pdu, kInteger, r.request_id);
    put_int(pdu, status);
    put_int(pdu, index);
    put_tlv(pdu, kSequence, bindings);
    std::string msg;
    put_int(msg, r.version);
    put_tlv(msg, kOctetString, r.community);
    put_tlv(msg, kResponse, pdu);
    std::string out;
    put_tlv(out, kSequence, msg);
    return out;
}

std::string echo_bindings(const Request& r) {
    std::string list;
    for (const auto& b : r.binds) list.append(b.whole);
    return list;
}

std::string error_reply(const Request& r, int status, int index) {
    return build(r, status, index, echo_bindings(r));
}

// Get and GetNext.  SNMPv1 fails the whole request at the first binding it
// cannot answer; SNMPv2c answers that binding with an exception value.
std::string get_or_next(const Request& r, const View& view, bool next) {
    std::string list;
    for (size_t i = 0; i < r.binds.size(); ++i) {
        const auto& oid = r.binds[i].oid;
        const MibEntry* e = next ? view.next(oid) : view.get(oid);
        if (e) {
            put_binding(list, e->oid, e->value);
            continue;
        }
        if (r.version == kV1) return error_reply(r, kNoSuchName, static_cast<int>(i + 1));
        uint8_t tag = next ? kEndOfMibView : view.object_exists(oid) ? kNoSuchInstance : kNoSuchObject;
        put_binding(list, oid, exception_value(tag));
    }
    return build(r, kNoError, 0, list);
}

std::string get_bulk(const Request& r, const View& view) {
    size_t n = r.binds.size();
    size_t non_rep = static_cast<size_t>(std::clamp<int64_t>(r.field1, 0, static_cast<int64_t>(n)));
    int64_t max_rep = std::clamp<int64_t>(r.field2, 0, static_cast<int64_t>(kMaxBulkBindings));
    std::string list;
    size_t count = 0;
    // Room for the message around the bindings: header, community, ids.
    size_t budget = kMaxMessage - 64 - r.community.size();
    auto add = [&](const std::vector<uint32_t>& oid, std::string_view value) {
        std::string b;
        put_oid(b, oid);
        b.append(value);
        if (tlv_size(list.size() + tlv_size(b.size())) > budget || count >= kMaxBulkBindings) return false;
        put_tlv(list, kSequence, b);
        ++count;
        return true;
    };
    const std::string end_view = exception_value(kEndOfMibView);
    for (size_t i = 0; i < non_rep; ++i) {
        const MibEntry* e = view.next(r.binds[i].oid);
        bool ok = e ? add(e->oid, e->value) : add(r.binds[i].oid, end_view);
        if (!ok) return build(r, kTooBig, 0, "");
    }
    std::vector<std::vector<uint32_t>> cursor;
    for (size_t i = non_rep; i < n; ++i) cursor.push_back(r.binds[i].oid);
    for (int64_t rep = 0; rep < max_rep && !cursor.empty(); ++rep) {
        bool any = false;
        for (auto& oid : cursor) {
            const MibEntry* e = view.next(oid);
            bool ok;
            if (e) {
                ok = add(e->oid, e->value);
                oid = e->oid;
                any = true;
            } else {
                ok = add(oid, end_view);
            }
            // Fewer repetitions than asked is a valid answer; no room for the first is tooBig.
            if (!ok) return count ? build(r, kNoError, 0, list) : build(r, kTooBig, 0, "");
        }
        if (!any) break;
    }
    return build(r, kNoError, 0, list);
}

}  // namespace

Outcome answer(const Network& net, uint32_t address, const uint8_t* data, size_t len, std::string& reply) {
    Request r;
    if (!decode(data, len, r)) return Outcome::kMalformed;
    if (r.version < 0) return Outcome::kIgnored;  // SNMPv3 and others: not spoken here
    const Node* node = net.find(address);
    if (!node || !node->snmp || node->silent) return Outcome::kIgnored;
    if (std::find(node->communities.begin(), node->communities.end(), r.community) == node->communities.end())
        return Outcome::kIgnored;
    View view(*node, r.version);
    switch (r.type) {
    case kGetRequest:
        reply = get_or_next(r, view, false);
        break;
    case kGetNextRequest:
        reply = get_or_next(r, view, true);
        break;
    case kGetBulkRequest:
        if (r.version == kV1) return Outcome::kMalformed;
        reply = get_bulk(r, view);
        break;
    case kSetRequest:
        // A read-only agent: SNMPv1 says noSuchName, SNMPv2c notWritable.
        reply = error_reply(r, r.version == kV1 ? kNoSuchName : kNotWritable, r.binds.empty() ? 0 : 1);
        break;
    default:
        return Outcome::kIgnored;  // responses, traps, reports
    }
    if (reply.size() > kMaxMessage) {
        reply = r.version == kV1 ? error_reply(r, kTooBig, 0) : build(r, kTooBig, 0, "");
        if (reply.size() > kMaxMessage) return Outcome::kIgnored;
    }
    return Outcome::kAnswered;
}

}  // namespace zqsim
