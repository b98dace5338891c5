// Feeds arbitrary bytes to trapd's datagram decoding, as if received on the trap port.
#include <cstddef>
#include <cstdint>
#include <string>

#include "datagram.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const uint8_t source[4] = {127, 0, 0, 1};
    zq::trapd::init_decoder();
    zq::wire::Event ev;
    std::string why;
    if (zq::trapd::decode_datagram(data, size, source, ev, why)) {
        // A decoded trap always has a trap identifier and can be sent to a session.
        std::string frame;
        if (ev.trap_id.empty() || !zq::wire::encode_event(ev, frame)) __builtin_trap();
    }
    return 0;
}
