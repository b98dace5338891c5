// The application side of the map program's socket: connecting, callbacks,
// events and action callbacks, the open map, configuration verification.
//
// The session is process-wide state (one thread uses the library).  Callbacks
// run only from ZqwProcessEvent; a callback may call any function here,
// ZqwDone included, so the loop that runs them re-checks the session after each.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "appproto.h"
#include "zqcommon.h"
#include "zqw.h"
#include "zqw_internal.h"

namespace {

using zq::zqw::set_error;
namespace proto = zq::zqw::proto;
using proto::json;

struct Callback {
    int event = 0;
    int reg = 0;                                 // registration number sent to the map program
    std::vector<proto::Condition> filter;        // event 17 only
    ZqwCallbackProc proc = nullptr;
    void* data = nullptr;
};

struct ActionCallback {
    std::string action;
    ZqwActionCallbackProc proc = nullptr;
    void* data = nullptr;
};

struct Session {
    int fd = -1;
    uint64_t generation = 0;     // grows at every connect and ZqwDone
    std::string app;
    uint32_t map_id = 0;
    std::string map_name;
    bool map_read_only = false;
    std::vector<std::string> actions;   // of this application's registration
    std::vector<Callback> callbacks;
    std::vector<ActionCallback> action_callbacks;
    int next_reg = 1;
    int64_t pending_verify = 0;         // the event 5 waiting for ZqwVerifyAppConfigChange
    std::string in;
    bool eof = false;
};

Session g;

constexpr int kEvents[] = {ZQW_EVENT_EXIT,
                           ZQW_EVENT_MAP_OPEN,
                           ZQW_EVENT_QUERY_APP_CONFIG,
                           ZQW_EVENT_CONFIRM_APP_CONFIG,
                           ZQW_EVENT_DELETE_OBJECTS,
                           ZQW_EVENT_CONFIRM_CREATE_SYMBOLS,
                           ZQW_EVENT_CONFIRM_MANAGE_OBJECTS};

bool known_event(int e) {
    for (int k : kEvents)
        if (k == e) return true;
    return false;
}

void drop_session() {
    if (g.fd >= 0) close(g.fd);
    uint64_t next = g.generation + 1;
    g = Session{};
    g.generation = next;
}

// Writes a whole frame; the map program always reads, so a short wait is enough.
bool send_msg(const json& msg) {
    if (g.fd < 0) return false;
    std::string f = proto::frame(msg);
    size_t off = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (off < f.size()) {
        ssize_t n = send(g.fd, f.data() + off, f.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{g.fd, POLLOUT, 0};
            poll(&p, 1, static_cast<int>(left.count()));
            continue;
        }
        return false;
    }
    return true;
}

// Reads what is there without waiting; false on a broken stream.
bool read_available() {
    char buf[65536];
    for (;;) {
        ssize_t n = recv(g.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            g.in.append(buf, static_cast<size_t>(n));
            if (n < static_cast<ssize_t>(sizeof buf)) return true;
            continue;
        }
        if (n == 0) {
            g.eof = true;
            return true;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        g.eof = true;
        return true;
    }
}

void set_map(const json& m) {
    g.map_id = static_cast<uint32_t>(proto::get_int(m, "id"));
    g.map_name = proto::get_str(m, "name");
    g.map_read_only = proto::get_bool(m, "read_only");
}

ZqwMapInfo* new_map_info() {
    auto* m = static_cast<ZqwMapInfo*>(std::calloc(1, sizeof(ZqwMapInfo)));
    if (m == nullptr) return nullptr;
    m->name = strdup(g.map_name.c_str());
    if (m->name == nullptr) {
        std::free(m);
        return nullptr;
    }
    m->read_only = g.map_read_only ? 1 : 0;
    m->map_id = g.map_id;
    return m;
}

void free_map_info(ZqwMapInfo* m) {
    if (m == nullptr) return;
    std::free(m->name);
    std::free(m);
}

// Frees the data of one event after its callbacks ran.
struct EventData {
    int event = 0;
    void* data = nullptr;
    ~EventData() {
        switch (event) {
        case ZQW_EVENT_QUERY_APP_CONFIG:
        case ZQW_EVENT_CONFIRM_APP_CONFIG: ZqwDbFreeFieldBindList(static_cast<ZqwFieldBindList*>(data)); break;
        case ZQW_EVENT_DELETE_OBJECTS:
        case ZQW_EVENT_CONFIRM_MANAGE_OBJECTS: proto::free_object_list(static_cast<ZqwObjectList*>(data)); break;
        case ZQW_EVENT_CONFIRM_CREATE_SYMBOLS: proto::free_symbol_list(static_cast<ZqwSymbolList*>(data)); break;
        default: break;
        }
    }
};

// Runs the callbacks one event calls for; false when the message is unreadable.
bool run_event(const json& msg) {
    int event = static_cast<int>(proto::get_int(msg, "event"));
    if (!known_event(event)) return true;   // a newer map program's event: not ours to handle
    if (const json* m = proto::get(msg, "map")) set_map(*m);
    EventData ed{event, nullptr};
    const json* data = proto::get(msg, "data");
    switch (event) {
    case ZQW_EVENT_QUERY_APP_CONFIG:
    case ZQW_EVENT_CONFIRM_APP_CONFIG:
        ed.data = data ? proto::bindings_from_json(*data) : nullptr;
        if (ed.data == nullptr) return false;
        break;
    case ZQW_EVENT_DELETE_OBJECTS:
    case ZQW_EVENT_CONFIRM_MANAGE_OBJECTS:
        ed.data = data ? proto::objects_from_json(*data) : nullptr;
        if (ed.data == nullptr) return false;
        break;
    case ZQW_EVENT_CONFIRM_CREATE_SYMBOLS:
        ed.data = data ? proto::symbols_from_json(*data) : nullptr;
        if (ed.data == nullptr) return false;
        break;
    default: break;
    }
    if (event == ZQW_EVENT_QUERY_APP_CONFIG) g.pending_verify = proto::get_int(msg, "seq");
    int reg = static_cast<int>(proto::get_int(msg, "reg"));
    // A snapshot: callbacks may add or remove registrations meanwhile.
    std::vector<Callback> cbs;
    for (const auto& c : g.callbacks)
        if (c.event == event && (event != ZQW_EVENT_CONFIRM_CREATE_SYMBOLS || c.reg == reg)) cbs.push_back(c);
    uint64_t gen = g.generation;
    for (const auto& c : cbs) {
        if (g.generation != gen) break;   // ZqwDone inside a callback
        ZqwMapInfo* map = new_map_info();
        c.proc(c.data, event, map, ed.data);
        free_map_info(map);
    }
    return true;
}

bool run_action(const json& msg) {
    std::string action = proto::get_str(msg, "action");
    std::string item = proto::get_str(msg, "menu_item", action);
    if (const json* m = proto::get(msg, "map")) set_map(*m);
    const json* sel = proto::get(msg, "selection");
    const json* args = proto::get(msg, "args");
    if (sel == nullptr || !sel->is_array()) return false;
    std::vector<ZqwObjectId> ids;
    for (const auto& v : *sel) {
        if (!v.is_number_integer()) return false;
        ids.push_back(static_cast<ZqwObjectId>(v.get<int64_t>()));
    }
    std::vector<std::string> argv_text;
    if (args != nullptr && args->is_array())
        for (const auto& a : *args)
            if (a.is_string()) argv_text.push_back(a.get<std::string>());
    std::vector<ActionCallback> cbs;
    for (const auto& c : g.action_callbacks)
        if (c.action == action) cbs.push_back(c);
    uint64_t gen = g.generation;
    for (const auto& c : cbs) {
        if (g.generation != gen) break;
        // Fresh copies per callback: a callback may keep or change what it got.
        ZqwObjectIdList list{static_cast<unsigned>(ids.size()), nullptr};
        std::vector<ZqwObjectId> id_copy = ids;
        list.object_ids = id_copy.empty() ? nullptr : id_copy.data();
        std::vector<std::string> arg_copy = argv_text;
        std::vector<char*> argv;
        for (auto& a : arg_copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ZqwMapInfo* map = new_map_info();
        c.proc(c.data, action.c_str(), item.c_str(), &list, static_cast<int>(arg_copy.size()), argv.data(), map);
        free_map_info(map);
    }
    return true;
}

bool valid_filter(const ZqwFieldBindList* filter, std::vector<proto::Condition>& out, int& error) {
    out.clear();
    if (filter == nullptr || filter->count == 0) return true;
    if (filter->entries == nullptr || filter->count > 32) {
        error = ZQW_E_BADARG;
        return false;
    }
    std::vector<zq::zqw::FieldInfo> fields;
    if (!zq::zqw::list_fields(fields)) {
        error = ZqwError();
        return false;
    }
    for (unsigned i = 0; i < filter->count; ++i) {
        const ZqwFieldBinding& b = filter->entries[i];
        if (b.value == nullptr || b.value->is_list != 0) {
            error = ZQW_E_BADARG;
            return false;
        }
        const zq::zqw::FieldInfo* f = nullptr;
        for (const auto& fi : fields)
            if (fi.id == b.field_id) f = &fi;
        if (f == nullptr) {
            error = ZQW_E_NOFIELD;
            return false;
        }
        if (b.value->field_type != f->type) {
            error = ZQW_E_BADTYPE;
            return false;
        }
        proto::Condition c;
        c.field = b.field_id;
        c.type = f->type;
        switch (f->type) {
        case ZQW_INT_FIELD: c.number = b.value->un.int_val; break;
        case ZQW_ENUM_FIELD: c.number = b.value->un.enum_val; break;
        case ZQW_BOOL_FIELD: c.number = b.value->un.bool_val != 0; break;
        case ZQW_STRING_FIELD:
            if (b.value->un.string_val == nullptr) {
                error = ZQW_E_BADARG;
                return false;
            }
            c.text = b.value->un.string_val;
            break;
        default: error = ZQW_E_BADTYPE; return false;
        }
        out.push_back(std::move(c));
    }
    return true;
}

bool same_conditions(const std::vector<proto::Condition>& a, const std::vector<proto::Condition>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].field != b[i].field || a[i].type != b[i].type || a[i].number != b[i].number || a[i].text != b[i].text)
            return false;
    return true;
}

std::string socket_path() {
    const char* s = std::getenv("ZQW_SOCKET");
    if (s != nullptr && *s != '\0') return s;
    return zq::instance_path("run/zqw.sock");
}

int connect_socket(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) return -1;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    while (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (errno == EINTR) continue;
        close(fd);
        return -1;
    }
    return fd;
}

// Waits for the map program's answer to hello (5 s at most).
bool await_welcome(json& reply) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        std::vector<json> frames;
        std::string err;
        if (!proto::take_frames(g.in, frames, err)) return false;
        if (!frames.empty()) {
            reply = std::move(frames.front());
            g.in.clear();   // nothing may follow before the session is set up
            return true;
        }
        if (g.eof) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{g.fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
        if (!read_available()) return false;
    }
}

}  // namespace

namespace zq::zqw {

const char* current_app_name() { return g.fd >= 0 ? g.app.c_str() : nullptr; }

}  // namespace zq::zqw

extern "C" {

int _ZqwInit(int version) {
    if (version != proto::kVersion) {
        set_error(ZQW_E_BADARG);
        return -1;
    }
    if (g.fd >= 0) {
        set_error(ZQW_E_OK);
        return 0;
    }
    const char* app = std::getenv("ZQW_APP");
    if (app == nullptr || *app == '\0') {
        set_error(ZQW_E_NOAPP);   // not started by the map program
        return -1;
    }
    drop_session();
    g.fd = connect_socket(socket_path());
    if (g.fd < 0) {
        set_error(ZQW_E_NOAPP);   // no map program running
        return -1;
    }
    json hello{{"t", "hello"}, {"version", proto::kVersion}, {"app", app}, {"pid", static_cast<int64_t>(getpid())}};
    json reply;
    if (!send_msg(hello) || !await_welcome(reply) || proto::get_str(reply, "t") != "welcome") {
        drop_session();
        set_error(ZQW_E_NOAPP);
        return -1;
    }
    g.app = app;
    if (const json* m = proto::get(reply, "map")) set_map(*m);
    if (const json* a = proto::get(reply, "actions"); a != nullptr && a->is_array())
        for (const auto& n : *a)
            if (n.is_string()) g.actions.push_back(n.get<std::string>());
    if (ZqwDbInit() != 0) {
        send_msg(json{{"t", "bye"}});
        drop_session();
        set_error(ZQW_E_CONNLOST);
        return -1;
    }
    set_error(ZQW_E_OK);
    return 0;
}

void ZqwDone(void) {
    if (g.fd >= 0) send_msg(json{{"t", "bye"}});
    bool was = g.fd >= 0;
    drop_session();
    if (was) ZqwDbDone();
    set_error(ZQW_E_OK);
}

ZqwMapInfo* ZqwGetMapInfo(void) {
    if (g.fd < 0) {
        set_error(ZQW_E_NOAPP);
        return nullptr;
    }
    // The read-only mark may change while the map is open: the database tells.
    zq::zqw::MapRow row;
    if (zq::zqw::find_map(g.map_name, row)) {
        g.map_read_only = row.read_only;
    } else if (ZqwError() == ZQW_E_CONNLOST) {
        return nullptr;
    }
    ZqwMapInfo* m = new_map_info();
    set_error(m ? ZQW_E_OK : ZQW_E_BADARG);
    return m;
}

int ZqwAddCallback(int event, const ZqwFieldBindList* filter, ZqwCallbackProc callback, void* data) {
    if (!known_event(event) || callback == nullptr) {
        set_error(ZQW_E_BADARG);
        return -1;
    }
    if (g.fd < 0) {
        set_error(ZQW_E_NOAPP);
        return -1;
    }
    Callback c;
    c.event = event;
    c.proc = callback;
    c.data = data;
    c.reg = g.next_reg++;
    if (event == ZQW_EVENT_CONFIRM_CREATE_SYMBOLS) {
        int err = 0;
        if (!valid_filter(filter, c.filter, err)) {
            set_error(err);
            return -1;
        }
    }
    json sub{{"t", "subscribe"}, {"event", event}, {"reg", c.reg}};
    if (event == ZQW_EVENT_CONFIRM_CREATE_SYMBOLS) sub["filter"] = proto::conditions_json(c.filter);
    if (!send_msg(sub)) {
        set_error(ZQW_E_NOAPP);
        return -1;
    }
    g.callbacks.push_back(std::move(c));
    set_error(ZQW_E_OK);
    return 0;
}

int ZqwRemoveCallback(int event, const ZqwFieldBindList* filter) {
    if (!known_event(event)) {
        set_error(ZQW_E_BADARG);
        return -1;
    }
    if (g.fd < 0) {
        set_error(ZQW_E_NOAPP);
        return -1;
    }
    std::vector<proto::Condition> conds;
    bool by_filter = event == ZQW_EVENT_CONFIRM_CREATE_SYMBOLS && filter != nullptr && filter->count > 0;
    if (by_filter) {
        int err = 0;
        if (!valid_filter(filter, conds, err)) {
            set_error(err);
            return -1;
        }
    }
    std::vector<Callback> kept;
    for (auto& c : g.callbacks) {
        if (c.event == event && (!by_filter || same_conditions(c.filter, conds)))
            send_msg(json{{"t", "unsubscribe"}, {"event", event}, {"reg", c.reg}});
        else
            kept.push_back(std::move(c));
    }
    g.callbacks = std::move(kept);
    set_error(ZQW_E_OK);
    return 0;
}

int ZqwAddActionCallback(const char* action, ZqwActionCallbackProc callback, void* data) {
    if (action == nullptr || callback == nullptr) {
        set_error(ZQW_E_BADARG);
        return -1;
    }
    if (g.fd < 0) {
        set_error(ZQW_E_NOAPP);
        return -1;
    }
    bool known = false;
    for (const auto& a : g.actions)
        if (a == action) known = true;
    if (!known) {
        set_error(ZQW_E_NOACTION);
        return -1;
    }
    if (!send_msg(json{{"t", "action_callback"}, {"action", action}})) {
        set_error(ZQW_E_NOAPP);
        return -1;
    }
    g.action_callbacks.push_back(ActionCallback{action, callback, data});
    set_error(ZQW_E_OK);
    return 0;
}

int ZqwFileDescriptor(void) {
    if (g.fd < 0) {
        set_error(ZQW_E_NOAPP);
        return -1;
    }
    set_error(ZQW_E_OK);
    return g.fd;
}

int ZqwProcessEvent(void) {
    if (g.fd < 0) {
        set_error(ZQW_E_NOAPP);
        return -1;
    }
    read_available();
    std::vector<json> frames;
    std::string err;
    bool ok = proto::take_frames(g.in, frames, err);
    uint64_t gen = g.generation;
    int handled = 0;
    // Every complete frame is handled now: select() would not report what is
    // already read into the buffer.
    for (const auto& f : frames) {
        if (g.generation != gen) break;
        std::string t = proto::get_str(f, "t");
        bool good = true;
        if (t == "event") good = run_event(f);
        else if (t == "action") good = run_action(f);
        else if (t == "map") { if (const json* m = proto::get(f, "map")) set_map(*m); }
        if (!good) ok = false;
        ++handled;
        if (!ok) break;
    }
    if (g.generation != gen) {   // the application ended its session in a callback
        set_error(ZQW_E_OK);
        return handled;
    }
    if (!ok) {
        set_error(ZQW_E_BADARG);
        return -1;
    }
    if (g.eof && handled == 0) {
        // The map program is gone; the session stays until ZqwDone so that
        // further calls keep reporting it.
        set_error(ZQW_E_NOAPP);
        return -1;
    }
    set_error(ZQW_E_OK);
    return handled;
}

const char* ZqwGetAppName(void) { return g.fd >= 0 ? g.app.c_str() : nullptr; }

int ZqwVerifyAppConfigChange(const ZqwMapInfo* map, const ZqwFieldBindList* values, int accept, const char* message) {
    (void)map;
    if (g.fd < 0) {
        set_error(ZQW_E_NOAPP);
        return -1;
    }
    if (g.pending_verify == 0) {
        set_error(ZQW_E_BADARG);
        return -1;
    }
    json v{{"t", "verify"}, {"seq", g.pending_verify}, {"accept", accept != 0}};
    if (message != nullptr) v["message"] = message;
    if (values != nullptr) v["values"] = proto::bindings_json(values);
    g.pending_verify = 0;
    if (!send_msg(v)) {
        set_error(ZQW_E_NOAPP);
        return -1;
    }
    set_error(ZQW_E_OK);
    return 1;
}

}  // extern "C"
