// Expands generated format statements against generated traps: bindings of
// every type (and of no known type), names and values of any length, values
// missing or short, communities with any bytes.  The expansion must never
// overrun, must stay within 2,047 bytes, and a dropped text must say why.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "trvlib.h"
#include "trvtrapinit.h"
#include "trvtrapmain.h"

namespace {

const ZqOid kEnt6[] = {ZQ_ENT_SUBIDS, 6};

std::vector<ZqOid> make_oid(FuzzedDataProvider &in, size_t max) {
    std::vector<ZqOid> v;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:  // below the vendor's fan table, where the value map has texts
        v.assign(kEnt6, kEnt6 + sizeof kEnt6 / sizeof kEnt6[0]);
        for (ZqOid s : {2u, 6u, 7u, 1u, 9u}) v.push_back(s);
        v.push_back(in.ConsumeIntegralInRange<ZqOid>(0, 4));
        break;
    case 1:  // long names: up to and past the 256 sub-identifiers text can hold
        v.assign(in.ConsumeIntegralInRange<size_t>(0, max), in.ConsumeBool() ? 4294967295u : 7u);
        break;
    default: {
        size_t n = in.ConsumeIntegralInRange<size_t>(0, 16);
        for (size_t i = 0; i < n; ++i) v.push_back(in.ConsumeIntegral<ZqOid>());
    }
    }
    return v;
}

ZqOid *platform_oid(const std::vector<ZqOid> &v) {
    if (v.empty()) return nullptr;
    auto *p = static_cast<ZqOid *>(ZqsnmpMalloc(v.size() * sizeof(ZqOid)));
    std::memcpy(p, v.data(), v.size() * sizeof(ZqOid));
    return p;
}

void add_binding(FuzzedDataProvider &in, ZqPdu *pdu) {
    static const unsigned char kTypes[] = {2, 4, 5, 6, 7, 0x40, 0x41, 0x42, 0x43, 0x44, 0x46};
    auto *vb = static_cast<ZqVarBind *>(ZqsnmpMalloc(sizeof(ZqVarBind)));
    std::vector<ZqOid> name = make_oid(in, 300);
    vb->name = platform_oid(name);
    vb->name_length = name.size();
    vb->type = in.ConsumeBool() ? in.PickValueInArray(kTypes) : in.ConsumeIntegral<unsigned char>();
    std::vector<unsigned char> value;
    if (vb->type == 6) {
        std::vector<ZqOid> o = make_oid(in, 300);
        value.resize(o.size() * sizeof(ZqOid));
        if (!o.empty()) std::memcpy(value.data(), o.data(), value.size());
        vb->val_len = o.size();
    } else {
        size_t n = in.ConsumeBool() ? 4 : in.ConsumeIntegralInRange<size_t>(0, 3000);
        value = in.ConsumeBytes<unsigned char>(n);
        vb->val_len = value.size();
    }
    // Sometimes a value that is missing, or one shorter than its bytes.
    int mode = in.ConsumeIntegralInRange<int>(0, 7);
    if (mode != 0) {
        vb->val.raw = ZqsnmpMalloc(value.size() + 1);
        if (!value.empty()) std::memcpy(vb->val.raw, value.data(), value.size());
        if (mode == 1) vb->val_len = in.ConsumeIntegralInRange<size_t>(0, vb->val_len);
    }
    ZqVarBind **tail = &pdu->variables;
    while (*tail) tail = &(*tail)->next_variable;
    *tail = vb;
}

std::string make_statement(FuzzedDataProvider &in) {
    static const char *const kPieces[] = {"@@", "@A", "@C", "@T", "@1", "@2", "@3", "@0", "@99", "@I1,1", "@I2,1",
                                          "@I1,3", "@I0,1", "@I1,101", "@M1", "@M2", "@M0", "@M101", "@", " ",
                                          "text", "\xc3\xa9", "@I", "@M", "@I1,", "@-1", "@M-3"};
    std::string s;
    size_t pieces = in.ConsumeIntegralInRange<size_t>(0, 64);
    for (size_t i = 0; i < pieces && in.remaining_bytes() > 0; ++i) {
        if (in.ConsumeBool()) s += in.PickValueInArray(kPieces);
        else s += in.ConsumeRandomLengthString(40);
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Messages go nowhere: the error log's folder does not exist, and the echo
    // on standard error goes to /dev/null (the sanitizers write to the
    // descriptor, not to this stream).
    setenv("ZQ_ROOT", "/nonexistent/fuzz_format", 1);
    FILE *quiet = std::fopen("/dev/null", "w");
    if (quiet != nullptr) stderr = quiet;
    szProgramName = "trvtrapd";
    std::string map = "BEGIN_OID " ZQ_ENT_TEXT ".6.2.6.7.1.9\n1 \"other\"\n2 \"ok\"\n4 \"failed\"\nEND_OID\n"
                      "BEGIN_OID 1.3.6.1.9\nEND_OID\nBEGIN_OID 7\n7 \"seven\"\nEND_OID\n";
    FILE *f = fmemopen(map.data(), map.size(), "r");
    if (f != nullptr) {
        TrvParseResult result = {};
        iParseValMap(f, &result);
        std::fclose(f);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    ZqPdu *pdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    std::vector<ZqOid> ent = make_oid(in, 300), id = ent;
    id.push_back(0);
    id.push_back(in.ConsumeIntegral<ZqOid>());
    pdu->enterprise = platform_oid(ent);
    pdu->enterprise_length = ent.size();
    pdu->trap_id = platform_oid(id);
    pdu->trap_id_length = id.size();
    pdu->specific_type = in.ConsumeIntegral<int32_t>();
    pdu->time = in.ConsumeIntegral<uint32_t>();
    for (unsigned char &b : pdu->agent_addr) b = in.ConsumeIntegral<unsigned char>();
    std::string community = in.ConsumeRandomLengthString(in.ConsumeBool() ? 3000 : 20);
    if (!community.empty()) {
        pdu->community = static_cast<unsigned char *>(ZqsnmpMalloc(community.size()));
        std::memcpy(pdu->community, community.data(), community.size());
        pdu->community_len = community.size();
    }
    size_t bindings = in.ConsumeIntegralInRange<size_t>(0, 6);
    for (size_t i = 0; i < bindings; ++i) add_binding(in, pdu);

    std::string statement = make_statement(in);
    TrapDef def{const_cast<char *>(".1"), 1, 'N', statement.data()};
    iTrapState = 0;
    char *text = szFormatTrapText(pdu, &def);
    if (text == nullptr) {
        if (iTrapState != TRAP_STATE_OID_TEXT && iTrapState != TRAP_STATE_NOMEM) __builtin_trap();
    } else {
        if (std::strlen(text) > FORMAT_TEXT_MAX) __builtin_trap();
        ZqsnmpFree(text);
    }
    ZqsnmpFreePdu(pdu);
    return 0;
}
