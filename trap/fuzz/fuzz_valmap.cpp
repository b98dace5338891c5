// Feeds arbitrary bytes to the trvval2str.trap parser as a whole file; what it
// keeps must be complete, and the first block must answer for its own OID (a
// block written with a leading dot never matches, so it is not asked).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "trvtrapinit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (f == nullptr) return 0;
    TrvParseResult result = {};
    int r = iParseValMap(f, &result);
    std::fclose(f);
    if (r != TRAPCONF_OK && r != TRAPCONF_SYNTAX && r != TRAPCONF_NOMEM) __builtin_trap();
    for (int i = 0; i < iValMapCount; ++i) {
        if (ppValMap[i]->szOid == nullptr || std::strlen(ppValMap[i]->szOid) > VALMAP_WORD_MAX) __builtin_trap();
        for (const ValMapPair *p = ppValMap[i]->pPairs; p != nullptr; p = p->pNext)
            if (p->szText == nullptr || std::strlen(p->szText) > VALMAP_TEXT_MAX) __builtin_trap();
    }
    if (iValMapCount > 0 && ppValMap[0]->pPairs != nullptr && ppValMap[0]->szOid[0] != '.') {
        const ValMapEntry *e = ppValMap[0];
        std::string oid = std::string(e->szOid) + ".0";
        char text[2048];
        int n = iValToStr(oid.c_str(), e->pPairs->iValue, text, sizeof text);
        if (n != static_cast<int>(std::strlen(e->pPairs->szText)) || std::strcmp(text, e->pPairs->szText) != 0)
            __builtin_trap();
    }
    vFreeValMap();
    return 0;
}
