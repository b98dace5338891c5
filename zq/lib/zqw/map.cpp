// The map half of zqw comes with the map program.  Until then a map application
// cannot connect: there is no map program to connect to.
#include "zqw.h"
#include "zqw_internal.h"

extern "C" {

int _ZqwInit(int version) {
    (void)version;
    zq::zqw::set_error(ZQW_E_NOAPP);
    return -1;
}

void ZqwDone(void) { zq::zqw::set_error(ZQW_E_OK); }

}  // extern "C"
