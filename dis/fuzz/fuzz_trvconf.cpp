// Feeds arbitrary bytes to the trvconfig.dat parser as a whole file, and checks
// that whatever it accepts is a complete, consistent rule list.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "TrvConf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (f == nullptr) return 0;
    TrvParseResult result = {};
    int r = iParseTrvConfig(f, &result);
    std::fclose(f);
    if (r != TRVCONF_OK && r != TRVCONF_SYNTAX && r != TRVCONF_NOMEM) __builtin_trap();
    for (const ClassRule *p = pClassRules; p != nullptr; p = p->pNext) {
        if (std::strcmp(p->szClass, "Server") != 0 && std::strcmp(p->szClass, "Desktop") != 0) __builtin_trap();
        if (p->szLabel == nullptr || p->szLabel[0] == '\0') __builtin_trap();
        const RuleCondition *c = p->pConditions;
        if (c == nullptr || c->pNext != nullptr) __builtin_trap();
        if (c->iOidLength < 1 || c->iOidLength > TRVCONF_OID_MAX) __builtin_trap();
        switch (c->ucType) {
        case TRVCONF_TYPE_INTEGER:
            if (c->iValueLength != 4) __builtin_trap();
            break;
        case TRVCONF_TYPE_STRING:
            if (c->iValueLength > TRVCONF_VALUE_MAX ||
                std::strlen(static_cast<const char *>(c->pValue)) > static_cast<size_t>(c->iValueLength))
                __builtin_trap();
            break;
        case TRVCONF_TYPE_OID:
            if (c->iValueLength < 1 || c->iValueLength > TRVCONF_OID_MAX) __builtin_trap();
            break;
        default:
            if (c->pValue != nullptr) __builtin_trap();
        }
    }
    vFreeTrvConfig();
    return 0;
}
