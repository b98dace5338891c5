// The application side of the map program's socket comes with the map program
// (app.cpp replaces this file).  Until then a map application cannot connect:
// there is no map program to connect to.
#include "zqw.h"
#include "zqw_internal.h"

namespace zq::zqw {

const char* current_app_name() { return nullptr; }

}  // namespace zq::zqw

extern "C" {

int _ZqwInit(int version) {
    (void)version;
    zq::zqw::set_error(ZQW_E_NOAPP);
    return -1;
}

void ZqwDone(void) { zq::zqw::set_error(ZQW_E_OK); }

ZqwMapInfo* ZqwGetMapInfo(void) {
    zq::zqw::set_error(ZQW_E_NOAPP);
    return nullptr;
}

int ZqwAddCallback(int, const ZqwFieldBindList*, ZqwCallbackProc, void*) {
    zq::zqw::set_error(ZQW_E_NOAPP);
    return -1;
}

int ZqwRemoveCallback(int, const ZqwFieldBindList*) {
    zq::zqw::set_error(ZQW_E_NOAPP);
    return -1;
}

int ZqwAddActionCallback(const char*, ZqwActionCallbackProc, void*) {
    zq::zqw::set_error(ZQW_E_NOAPP);
    return -1;
}

int ZqwFileDescriptor(void) {
    zq::zqw::set_error(ZQW_E_NOAPP);
    return -1;
}

int ZqwProcessEvent(void) {
    zq::zqw::set_error(ZQW_E_NOAPP);
    return -30;
}

const char* ZqwGetAppName(void) { return nullptr; }

int ZqwVerifyAppConfigChange(const ZqwMapInfo*, const ZqwFieldBindList*, int, const char*) {
    zq::zqw::set_error(ZQW_E_NOAPP);
    return -1;
}

}  // extern "C"
