// Feeds arbitrary bytes to the trvtrapd.conf parser as a whole file; what it
// accepts must sort into order, and a trap carrying a definition's own
// enterprise and number must find that definition.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "trvtrapinit.h"

namespace {

const char *key(const TrapDef *d) { return d->szEnterprise[0] == '.' ? d->szEnterprise + 1 : d->szEnterprise; }

// The OID whose dotted text is exactly text, or false when there is none
// (empty pieces, leading zeros, values beyond 32 bits).
bool oid_of(const char *text, std::vector<ZqOid> &oid) {
    std::string s = text;
    size_t pos = 0;
    for (;;) {
        size_t dot = s.find('.', pos);
        std::string piece = s.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
        if (piece.empty() || piece.size() > 10 || (piece.size() > 1 && piece[0] == '0')) return false;
        unsigned long long v = std::stoull(piece);
        if (v > 0xffffffffULL) return false;
        oid.push_back(static_cast<ZqOid>(v));
        if (dot == std::string::npos) return true;
        pos = dot + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (f == nullptr) return 0;
    TrvParseResult result = {};
    int r = iParseTrapDefs(f, &result);
    std::fclose(f);
    if (r != TRAPCONF_OK && r != TRAPCONF_SYNTAX && r != TRAPCONF_NOMEM) __builtin_trap();
    vSortTrapDefs();
    for (int i = 0; i < iTrapDefCount; ++i) {
        const TrapDef *d = ppTrapDefs[i];
        if (d->szEnterprise[0] == '\0' || std::strlen(d->szEnterprise) > TRAPDEF_ENTERPRISE_MAX) __builtin_trap();
        if (d->cStatusUpdate != 'Y' && d->cStatusUpdate != 'N') __builtin_trap();
        if (i > 0) {
            const TrapDef *p = ppTrapDefs[i - 1];
            if (p->iTrapNumber > d->iTrapNumber ||
                (p->iTrapNumber == d->iTrapNumber && std::strcmp(key(p), key(d)) > 0))
                __builtin_trap();
        }
        std::vector<ZqOid> enterprise;
        if (!oid_of(key(d), enterprise)) continue;
        std::vector<ZqOid> trap_id = enterprise;
        trap_id.push_back(0);
        trap_id.push_back(static_cast<ZqOid>(d->iTrapNumber));
        ZqPdu pdu{};
        pdu.enterprise = enterprise.data();
        pdu.enterprise_length = enterprise.size();
        pdu.trap_id = trap_id.data();
        pdu.trap_id_length = trap_id.size();
        const TrapDef *found = pFindTrapDef(&pdu);
        if (found == nullptr || found->iTrapNumber != d->iTrapNumber || std::strcmp(key(found), key(d)) != 0)
            __builtin_trap();
    }
    vFreeTrapDefs();
    return 0;
}
