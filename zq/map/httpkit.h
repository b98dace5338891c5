// What the map program's calls share beyond http.cpp: handing work to the main
// loop and the JSON answers (http.cpp defines them).
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "mapd.h"

namespace zq::map::web {

constexpr int kMainTimeoutMs = 30000;   // the main loop answers a posted job within this

bool stopping();   // the server is stopping (or not running)

// Runs fn on the main loop and returns its result, or nothing when the loop did
// not get to it in time or the server is stopping.  fn gets its own copies of
// whatever it needs: it may run after this worker gave up waiting.
template <class F>
auto on_main(F fn, int timeout_ms = kMainTimeoutMs) -> std::optional<decltype(fn())> {
    using R = decltype(fn());
    using Clock = std::chrono::steady_clock;
    auto promise = std::make_shared<std::promise<R>>();
    std::future<R> future = promise->get_future();
    post([promise, fn = std::move(fn)]() mutable {
        try {
            promise->set_value(fn());
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
    });
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (future.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (stopping() || Clock::now() >= deadline) return std::nullopt;
    }
    try {
        return future.get();
    } catch (...) {
        return std::nullopt;
    }
}

void reply(httplib::Response& res, const nlohmann::json& j, int status = 200);
void fail(httplib::Response& res, int status, const std::string& message);
void busy(httplib::Response& res);
// The body of a change as a JSON object, or nothing (400 or 413 answered).
std::optional<nlohmann::json> body_of(const httplib::Request& req, httplib::Response& res);
// The id in the path's match i (a positive 32-bit number).
bool path_id(const httplib::Request& req, size_t i, uint32_t& out);

}  // namespace zq::map::web

namespace zq::map {

// The operator's map calls (maphttp.cpp): make, rename, read-only, delete.
void add_map_routes(httplib::Server& s);

}  // namespace zq::map
