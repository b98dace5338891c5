// The map half of zqw comes with the map program.  Until then a map application
// cannot connect: there is no map program to connect to.
#include <cstdlib>

#include "zqw.h"
#include "zqw_internal.h"

extern "C" {

int _ZqwInit(int version) {
    (void)version;
    zq::zqw::set_error(ZQW_E_NOAPP);
    return -1;
}

void ZqwDone(void) { zq::zqw::set_error(ZQW_E_OK); }

ZqwMapInfo* ZqwGetMapInfo(void) {
    // No map program to ask: this process cannot be a connected map application.
    zq::zqw::set_error(ZQW_E_NOAPP);
    return nullptr;
}

void ZqwFreeMapInfo(ZqwMapInfo* map) {
    if (map == nullptr) return;
    std::free(map->name);
    std::free(map);
}

ZqwSymbolInfo* ZqwGetSymbolInfo(const ZqwMapInfo* map, ZqwSymbolId symbol) {
    // Maps hold no symbols until the map program draws them.
    zq::zqw::set_error(map == nullptr || symbol == 0 ? ZQW_E_BADARG : ZQW_E_NOSYMBOL);
    return nullptr;
}

void ZqwFreeSymbolInfo(ZqwSymbolInfo* info) {
    if (info == nullptr) return;
    std::free(info->type);
    std::free(info->label);
    std::free(info);
}

}  // extern "C"
