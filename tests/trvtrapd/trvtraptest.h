// Helpers of the trvtrapd tests: OIDs as text, and received traps built the way
// the event session delivers them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "zqsnmp.h"

namespace trvtraptest {

const std::string kEnt = ZQ_ENT_TEXT;

inline std::vector<ZqOid> oid(const std::string& text) {
    std::vector<ZqOid> v;
    std::string t = text.rfind("ENT", 0) == 0 ? kEnt + text.substr(3) : text;
    if (!t.empty() && t[0] == '.') t.erase(0, 1);
    size_t pos = 0;
    while (pos <= t.size()) {
        size_t dot = t.find('.', pos);
        if (dot == std::string::npos) dot = t.size();
        v.push_back(static_cast<ZqOid>(std::stoul(t.substr(pos, dot - pos))));
        pos = dot + 1;
    }
    return v;
}

inline std::string text(const ZqOid* o, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += (i ? "." : "") + std::to_string(o[i]);
    return s;
}

inline ZqOid* platform_oid(const std::vector<ZqOid>& v) {
    auto* p = static_cast<ZqOid*>(ZqsnmpMalloc(v.size() * sizeof(ZqOid)));
    std::memcpy(p, v.data(), v.size() * sizeof(ZqOid));
    return p;
}

// A received trap: enterprise, trap identifier enterprise.0.number, agent
// 10.1.2.3, community "public", time stamp 1234, then the bindings added.
class Trap {
public:
    explicit Trap(const std::string& enterprise = "ENT.6", uint32_t number = 6001) {
        pdu_ = ZqsnmpCreatePdu(ZQSNMP_TRAP);
        std::vector<ZqOid> ent = oid(enterprise), id = ent;
        id.push_back(0);
        id.push_back(number);
        pdu_->enterprise = platform_oid(ent);
        pdu_->enterprise_length = ent.size();
        pdu_->trap_id = platform_oid(id);
        pdu_->trap_id_length = id.size();
        pdu_->trap_type = 6;
        pdu_->specific_type = static_cast<int32_t>(number);
        pdu_->time = 1234;
        agent(10, 1, 2, 3);
        community(std::string("public"));
    }
    ~Trap() { ZqsnmpFreePdu(pdu_); }
    Trap(const Trap&) = delete;
    Trap& operator=(const Trap&) = delete;

    ZqPdu* pdu() const { return pdu_; }

    Trap& agent(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
        unsigned char addr[4] = {a, b, c, d};
        std::memcpy(pdu_->agent_addr, addr, 4);
        return *this;
    }
    Trap& community(const std::string& c) {
        ZqsnmpFree(pdu_->community);
        pdu_->community = static_cast<unsigned char*>(ZqsnmpMalloc(c.size() + 1));
        std::memcpy(pdu_->community, c.data(), c.size());
        pdu_->community_len = c.size();
        return *this;
    }
    Trap& add(const std::string& name, int type, const void* value, size_t length) {
        std::vector<ZqOid> n = oid(name);
        ok_ = ZqsnmpAddTypedVarBind(pdu_, n.data(), n.size(), type, value, length) != nullptr && ok_;
        return *this;
    }
    Trap& integer(const std::string& name, int32_t v, int type = ZQ_ASN_INTEGER) { return add(name, type, &v, 4); }
    Trap& octets(const std::string& name, const std::string& v, int type = ZQ_ASN_OCTET_STR) {
        return add(name, type, v.data(), v.size());
    }
    Trap& objid(const std::string& name, const std::string& value) {
        std::vector<ZqOid> v = oid(value);
        return add(name, ZQ_ASN_OBJECT_ID, v.data(), v.size());
    }
    // A binding made by hand, for what the library would not build (names of
    // more than 128 sub-identifiers, types it does not know, missing values).
    Trap& raw(const std::vector<ZqOid>& name, int type, const void* value, size_t bytes, size_t val_len) {
        auto* vb = static_cast<ZqVarBind*>(ZqsnmpMalloc(sizeof(ZqVarBind)));
        vb->name = platform_oid(name);
        vb->name_length = name.size();
        vb->type = static_cast<unsigned char>(type);
        if (value != nullptr) {
            vb->val.raw = ZqsnmpMalloc(bytes + 1);
            std::memcpy(vb->val.raw, value, bytes);
        }
        vb->val_len = val_len;
        ZqVarBind** tail = &pdu_->variables;
        while (*tail) tail = &(*tail)->next_variable;
        *tail = vb;
        return *this;
    }
    bool ok() const { return ok_; }

private:
    ZqPdu* pdu_ = nullptr;
    bool ok_ = true;
};

}  // namespace trvtraptest
