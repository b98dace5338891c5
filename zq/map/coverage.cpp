#include "coverage.h"

#include <cstdlib>

#include "registration.h"

namespace zq::map {

bool Fitter::seen(uint32_t object, Seen*& out, std::string& error) {
    auto it = seen_.find(object);
    if (it != seen_.end()) {
        out = &it->second;
        return true;
    }
    Seen s;
    s.exists = zq::zqw::object_exists(object);
    if (!s.exists && ZqwError() != ZQW_E_OK && ZqwError() != ZQW_E_NOOBJECT && ZqwError() != ZQW_E_BADARG) {
        error = ZqwErrorMsg(ZqwError());
        return false;
    }
    if (s.exists && !zq::zqw::object_shown(object, s.shown)) {
        error = ZqwErrorMsg(ZqwError());
        return false;
    }
    out = &seen_.emplace(object, std::move(s)).first->second;
    return true;
}

bool Fitter::host_of(uint32_t object, Seen& s, std::string& error) {
    if (s.host_read) return true;
    s.host_read = true;
    for (uint32_t o : {object, s.shown.node}) {
        if (o == 0) continue;
        char* host = ZqwDbObjectIdToHostname(o);
        if (host != nullptr) {
            s.host = host;
            std::free(host);
            if (!s.host.empty()) return true;
        } else if (ZqwError() == ZQW_E_CONNLOST || ZqwError() == ZQW_E_LOCKED) {
            error = ZqwErrorMsg(ZqwError());
            return false;
        }
    }
    return true;
}

bool Fitter::fit(const zq::zqw::AppDef& app, const zq::zqw::ActionDef& act, std::vector<ObjectFit>& out,
                 std::string& error) {
    out.clear();
    auto conds = app.covers.find(act.name);
    bool needs_host = act.url.find("${hostname}") != std::string::npos;
    for (uint32_t object : objects_) {
        ObjectFit f;
        f.object = object;
        Seen* s = nullptr;
        if (!seen(object, s, error)) return false;
        if (!s->exists) {
            f.reason = "no such object";
        } else if (conds != app.covers.end()) {
            std::string first_failed;
            bool any = false;
            for (const auto& one : conds->second) {
                std::string failed;
                if (!zq::zqw::object_matches(object, one, failed)) {
                    error = ZqwErrorMsg(ZqwError());
                    return false;
                }
                any = any || failed.empty();
                if (first_failed.empty()) first_failed = failed;
            }
            if (!any) f.reason = "it is not " + first_failed;
        } else if (!app.symbol_types.empty()) {
            bool typed = false;
            for (const auto& t : s->shown.types)
                for (const auto& p : app.symbol_types) typed = typed || type_matches(p.pattern, t);
            if (!typed) f.reason = "it has no symbol of a type " + app.name + " handles";
        }
        if (f.reason.empty() && needs_host) {
            if (!host_of(object, *s, error)) return false;
            if (s->host.empty()) f.reason = "it has no host name";
            f.host = s->host;
        }
        f.covered = f.reason.empty();
        out.push_back(std::move(f));
    }
    return true;
}

std::string refusal(const std::vector<ObjectFit>& fits) {
    if (fits.empty()) return "no objects selected";
    const ObjectFit& first = fits.front();
    // The operator knows the object by its name; the number tells two alike apart.
    std::string one = "object " + std::to_string(first.object);
    if (char* name = ZqwDbGetFieldStringValue(first.object, 1)) {   // "Selection Name"
        if (*name != '\0') one = name + (" (" + one + ")");
        std::free(name);
    }
    one += ": " + first.reason;
    if (fits.size() == 1) return "not for " + one;
    return "not for any of the " + std::to_string(fits.size()) + " objects (" + one + ")";
}

}  // namespace zq::map
