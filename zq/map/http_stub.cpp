// Until the web server is built into the map program: nothing to start.
#include "mapd.h"

namespace zq::map {

bool start_http(std::string& error) {
    (void)error;
    return true;
}

void stop_http() {}

}  // namespace zq::map
