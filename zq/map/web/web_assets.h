// The page and its script files, compiled into the map program from zq/map/web
// (embed.cmake writes web_assets.cpp at build time).
#pragma once

#include <cstddef>
#include <string_view>

namespace zq::map {

struct WebAsset {
    const char* name;   // "index.html", "view.js", ...
    const char* data;
    size_t size;
    const char* type;   // Content-Type
};

// The file of that name, or null.
const WebAsset* find_web_asset(std::string_view name);

}  // namespace zq::map
