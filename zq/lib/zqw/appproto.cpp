// Frames and records of the map program's application socket.
#include "appproto.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace zq::zqw::proto {

std::string frame(const json& message) {
    std::string payload = message.dump(-1, ' ', false, json::error_handler_t::replace);
    uint32_t n = static_cast<uint32_t>(payload.size());
    std::string out;
    out.reserve(payload.size() + 4);
    out += static_cast<char>(n >> 24);
    out += static_cast<char>(n >> 16);
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(n);
    out += payload;
    return out;
}

bool take_frames(std::string& buf, std::vector<json>& out, std::string& error) {
    size_t off = 0;
    bool ok = true;
    while (buf.size() - off >= 4) {
        const auto* p = reinterpret_cast<const unsigned char*>(buf.data() + off);
        size_t n = (size_t{p[0]} << 24) | (size_t{p[1]} << 16) | (size_t{p[2]} << 8) | p[3];
        if (n == 0 || n > kMaxFrame) {
            error = "bad frame length " + std::to_string(n);
            ok = false;
            break;
        }
        if (buf.size() - off - 4 < n) break;
        json j = json::parse(buf.begin() + static_cast<std::ptrdiff_t>(off + 4),
                             buf.begin() + static_cast<std::ptrdiff_t>(off + 4 + n), nullptr, false);
        if (j.is_discarded() || !j.is_object()) {
            error = "a frame is not a JSON object";
            ok = false;
            break;
        }
        out.push_back(std::move(j));
        off += 4 + n;
    }
    buf.erase(0, off);
    return ok;
}

const json* get(const json& j, const char* key) {
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

int64_t get_int(const json& j, const char* key, int64_t def) {
    const json* v = get(j, key);
    if (v == nullptr) return def;
    if (v->is_number_integer()) return v->get<int64_t>();
    if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
    return def;
}

std::string get_str(const json& j, const char* key, const std::string& def) {
    const json* v = get(j, key);
    return v != nullptr && v->is_string() ? v->get<std::string>() : def;
}

bool get_bool(const json& j, const char* key, bool def) {
    const json* v = get(j, key);
    if (v == nullptr) return def;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_number_integer()) return v->get<int64_t>() != 0;
    return def;
}

json map_json(uint32_t id, const std::string& name, bool read_only) {
    return json{{"id", id}, {"name", name}, {"read_only", read_only}};
}

json value_json(ZqwFieldId field, const ZqwFieldValue* value) {
    json j{{"field", field}};
    if (value == nullptr) return j;
    j["type"] = value->field_type;
    switch (value->field_type) {
    case ZQW_INT_FIELD: j["value"] = value->un.int_val; break;
    case ZQW_BOOL_FIELD: j["value"] = value->un.bool_val != 0; break;
    case ZQW_ENUM_FIELD: j["value"] = value->un.enum_val; break;
    case ZQW_STRING_FIELD: j["value"] = value->un.string_val ? value->un.string_val : ""; break;
    default: break;
    }
    return j;
}

json bindings_json(const ZqwFieldBindList* list) {
    json a = json::array();
    if (list == nullptr) return a;
    for (unsigned i = 0; i < list->count && list->entries != nullptr; ++i)
        a.push_back(value_json(list->entries[i].field_id, list->entries[i].value));
    return a;
}

namespace {

char* dup_text(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p != nullptr) std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

bool value_from_json(const json& j, ZqwFieldValue& v) {
    v = ZqwFieldValue{};
    v.field_type = static_cast<int>(get_int(j, "type"));
    const json* val = get(j, "value");
    if (val == nullptr) return false;
    switch (v.field_type) {
    case ZQW_INT_FIELD:
        if (!val->is_number_integer()) return false;
        v.un.int_val = static_cast<int32_t>(val->get<int64_t>());
        return true;
    case ZQW_ENUM_FIELD:
        if (!val->is_number_integer()) return false;
        v.un.enum_val = static_cast<int32_t>(val->get<int64_t>());
        return true;
    case ZQW_BOOL_FIELD:
        if (!val->is_boolean() && !val->is_number_integer()) return false;
        v.un.bool_val = get_bool(j, "value") ? 1 : 0;
        return true;
    case ZQW_STRING_FIELD:
        if (!val->is_string()) return false;
        v.un.string_val = dup_text(val->get<std::string>());
        return v.un.string_val != nullptr;
    default:
        return false;
    }
}

// A list record for the C interface with zeroed room for n entries (entries
// stays null when n is 0), both from calloc as the interface's free functions
// expect; null when memory runs out.
template <class List>
List* new_c_list(size_t n) {
    auto* list = static_cast<List*>(std::calloc(1, sizeof(List)));
    if (list == nullptr || n == 0) return list;
    using Entry = std::remove_pointer_t<decltype(list->entries)>;
    list->entries = static_cast<Entry*>(std::calloc(n, sizeof(Entry)));
    if (list->entries == nullptr) {
        std::free(list);
        return nullptr;
    }
    return list;
}

}  // namespace

ZqwFieldBindList* bindings_from_json(const json& j) {
    if (!j.is_array() || j.size() > 100000) return nullptr;
    auto* list = new_c_list<ZqwFieldBindList>(j.size());
    if (list == nullptr) return nullptr;
    for (const auto& e : j) {
        ZqwFieldBinding& b = list->entries[list->count];
        b.field_id = static_cast<ZqwFieldId>(get_int(e, "field"));
        b.value = static_cast<ZqwFieldValue*>(std::calloc(1, sizeof(ZqwFieldValue)));
        ++list->count;
        if (b.value == nullptr || !value_from_json(e, *b.value)) {
            ZqwDbFreeFieldBindList(list);
            return nullptr;
        }
    }
    return list;
}

bool conditions_from_json(const json& j, std::vector<Condition>& out) {
    out.clear();
    if (j.is_null()) return true;
    if (!j.is_array() || j.size() > 64) return false;
    for (const auto& e : j) {
        Condition c;
        c.field = static_cast<ZqwFieldId>(get_int(e, "field"));
        c.type = static_cast<int>(get_int(e, "type"));
        const json* v = get(e, "value");
        if (c.field == 0 || v == nullptr) return false;
        if (c.type == ZQW_STRING_FIELD) {
            if (!v->is_string()) return false;
            c.text = v->get<std::string>();
        } else if (c.type == ZQW_INT_FIELD || c.type == ZQW_ENUM_FIELD || c.type == ZQW_BOOL_FIELD) {
            if (!v->is_number_integer() && !v->is_boolean()) return false;
            c.number = get_int(e, "value");
            if (c.type == ZQW_BOOL_FIELD) c.number = c.number != 0;
        } else {
            return false;
        }
        out.push_back(std::move(c));
    }
    return true;
}

json conditions_json(const std::vector<Condition>& conds) {
    json a = json::array();
    for (const auto& c : conds) {
        json e{{"field", c.field}, {"type", c.type}};
        if (c.type == ZQW_STRING_FIELD) e["value"] = c.text;
        else if (c.type == ZQW_BOOL_FIELD) e["value"] = c.number != 0;
        else e["value"] = c.number;
        a.push_back(std::move(e));
    }
    return a;
}

bool condition_holds(const Condition& c, const ZqwFieldValue* v) {
    if (v == nullptr || v->field_type != c.type) return false;
    switch (c.type) {
    case ZQW_INT_FIELD: return v->un.int_val == c.number;
    case ZQW_ENUM_FIELD: return v->un.enum_val == c.number;
    case ZQW_BOOL_FIELD: return (v->un.bool_val != 0) == (c.number != 0);
    case ZQW_STRING_FIELD: return v->un.string_val != nullptr && c.text == v->un.string_val;
    default: return false;
    }
}

json objects_json(const std::vector<ObjectEntry>& objects) {
    json a = json::array();
    for (const auto& o : objects) {
        json e{{"object", o.object}, {"symbol", o.symbol}, {"status", o.status}, {"state", o.state}};
        if (o.has_selection_name) e["selection_name"] = o.selection_name;
        if (o.has_hostname) e["hostname"] = o.hostname;
        a.push_back(std::move(e));
    }
    return a;
}

ZqwObjectList* objects_from_json(const json& j) {
    if (!j.is_array()) return nullptr;
    auto* list = new_c_list<ZqwObjectList>(j.size());
    if (list == nullptr) return nullptr;
    for (const auto& e : j) {
        ZqwObjectInfo& o = list->entries[list->count++];
        o.object = static_cast<ZqwObjectId>(get_int(e, "object"));
        o.symbol = static_cast<ZqwSymbolId>(get_int(e, "symbol"));
        o.status = static_cast<int>(get_int(e, "status"));
        o.state = static_cast<int>(get_int(e, "state", 1));
        if (const json* s = get(e, "selection_name"); s != nullptr && s->is_string())
            o.selection_name = dup_text(s->get<std::string>());
        if (const json* s = get(e, "hostname"); s != nullptr && s->is_string())
            o.hostname = dup_text(s->get<std::string>());
    }
    return list;
}

void free_object_list(ZqwObjectList* list) {
    if (list == nullptr) return;
    for (unsigned i = 0; i < list->count && list->entries != nullptr; ++i) {
        std::free(list->entries[i].selection_name);
        std::free(list->entries[i].hostname);
    }
    std::free(list->entries);
    std::free(list);
}

json symbols_json(const std::vector<SymbolEntry>& symbols) {
    json a = json::array();
    for (const auto& s : symbols) {
        json e{{"symbol", s.symbol}, {"object", s.object},  {"parent", s.parent},    {"type", s.type},
               {"status", s.status}, {"source", s.source},  {"behavior", s.behavior}};
        if (s.has_label) e["label"] = s.label;
        a.push_back(std::move(e));
    }
    return a;
}

ZqwSymbolList* symbols_from_json(const json& j) {
    if (!j.is_array()) return nullptr;
    auto* list = new_c_list<ZqwSymbolList>(j.size());
    if (list == nullptr) return nullptr;
    for (const auto& e : j) {
        ZqwSymbolInfo& s = list->entries[list->count++];
        s.symbol = static_cast<ZqwSymbolId>(get_int(e, "symbol"));
        s.object = static_cast<ZqwObjectId>(get_int(e, "object"));
        s.parent = static_cast<ZqwSymbolId>(get_int(e, "parent"));
        s.status = static_cast<int>(get_int(e, "status"));
        s.status_source = static_cast<int>(get_int(e, "source", 1));
        s.behavior = static_cast<int>(get_int(e, "behavior", 1));
        s.type = dup_text(get_str(e, "type"));
        if (const json* l = get(e, "label"); l != nullptr && l->is_string()) s.label = dup_text(l->get<std::string>());
    }
    return list;
}

void free_symbol_list(ZqwSymbolList* list) {
    if (list == nullptr) return;
    for (unsigned i = 0; i < list->count && list->entries != nullptr; ++i) {
        std::free(list->entries[i].type);
        std::free(list->entries[i].label);
    }
    std::free(list->entries);
    std::free(list);
}

}  // namespace zq::zqw::proto
