// Which objects an application's action is for.  An action offered for a
// printer, or a URL action for a node without a host name, would be reported
// as run although nothing handles it: the page offers an action only where it
// fits, and the map program runs it only for the objects it fits.
//
// An action is for an object when the conditions of one of its "covers" lines
// all hold on it; an action without any, when the object has a symbol (on any map) of a type the
// application registers; an application that registers no types takes any
// object.  A URL with ${hostname} needs a host name: the object's, or for a
// component that of the node holding it.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "zqw_internal.h"

namespace zq::map {

struct ObjectFit {
    uint32_t object = 0;
    bool covered = false;
    std::string reason;     // why not, when not covered
    std::string host;       // the host name for ${hostname}
};

// Fits one selection to several actions, reading each object once.
class Fitter {
public:
    explicit Fitter(std::vector<uint32_t> objects) : objects_(std::move(objects)) {}
    // False (error set) only when the database fails.
    bool fit(const zq::zqw::AppDef& app, const zq::zqw::ActionDef& act, std::vector<ObjectFit>& out,
             std::string& error);

private:
    struct Seen {
        bool exists = false, host_read = false;
        zq::zqw::ObjectShown shown;
        std::string host;
    };
    bool seen(uint32_t object, Seen*& out, std::string& error);
    bool host_of(uint32_t object, Seen& s, std::string& error);

    std::vector<uint32_t> objects_;
    std::unordered_map<uint32_t, Seen> seen_;
};

// The refusal of an action that fits none of the objects: "not for srv1 (object
// 12): it has no host name", "not for any of the 3 objects (srv1 (object 12):
// ...)"; an object without a name is "object 12".
std::string refusal(const std::vector<ObjectFit>& fits);

}  // namespace zq::map
