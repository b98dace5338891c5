// Feeds arbitrary bytes to the event-record decoders, as a stream and as payloads.
#include <cstddef>
#include <cstdint>
#include <string>

#include "wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    std::string why;
    zq::wire::Hello h;
    zq::wire::Event e;
    zq::wire::decode_hello(in, h, why);
    zq::wire::decode_ack(in, why);
    if (zq::wire::decode_event(in, e, why) && size <= zq::wire::kMaxFrame) {
        // Whatever decodes must encode again to the same payload.
        std::string frame;
        if (!zq::wire::encode_event(e, frame)) __builtin_trap();
        if (frame.substr(4) != in) __builtin_trap();
    }
    // As a stream of frames.
    size_t off = 0;
    for (;;) {
        std::string_view payload;
        size_t used = 0;
        if (zq::wire::next_frame(in.substr(off), payload, used) != zq::wire::Split::kFrame) break;
        zq::wire::decode_event(payload, e, why);
        off += used;
    }
    zq::wire::Oid prefix;
    zq::wire::parse_filter(in.substr(0, 300), prefix);
    return 0;
}
