// Feeds arbitrary bytes to trapd's SNMPv3 decoding, with users of each level set
// up as trapd sets them up, as if received on the trap port.  trapd's engine ID
// is a fixed one, so that the seeds (corpus/fuzz_v3, written by
// "trapdbench v3-seeds") hold informs it takes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "usm.h"

namespace {

void setup() {
    static bool done = false;
    if (done) return;
    done = true;
    char dir[] = "/tmp/fuzz_v3-XXXXXX";
    if (mkdtemp(dir) == nullptr) __builtin_trap();
    std::vector<zq::V3User> users(3);
    users[0].name = "plain";
    users[0].engine = "8000000001020304";
    users[1].name = "signer";
    users[1].engine = "8000000001020304";
    users[1].auth = "SHA-1";
    users[1].authpass = "sign-phrase-1";
    users[2].name = "sealer";
    users[2].auth = "SHA-256";
    users[2].authpass = "seal-auth-phrase";
    users[2].priv = "AES-128";
    users[2].privpass = "seal-priv-phrase";
    std::string why;
    std::string engine_file = std::string(dir) + "/trapd.engineid";
    std::ofstream(engine_file) << "engineID=800000000566757a7a7633\nboots=0\n";
    if (!zq::trapd::usm_setup(engine_file, users, why)) __builtin_trap();
    unlink(engine_file.c_str());
    rmdir(dir);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const uint8_t source[4] = {127, 0, 0, 1};
    setup();
    zq::wire::Event ev;
    std::string why, reply;
    bool inform = false;
    if (zq::trapd::decode_v3(data, size, source, ev, why, inform, reply) == zq::trapd::V3Result::kTaken) {
        // A taken notification has a trap identifier, a user and a level, and can
        // be sent to a session.
        std::string frame;
        if (ev.trap_id.empty() || ev.version != 3 || ev.level < 1 || !zq::wire::encode_event(ev, frame))
            __builtin_trap();
    }
    return 0;
}
