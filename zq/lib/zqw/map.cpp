// The map half of zqw that works on the database: maps, symbols, statuses,
// registrations, configuration values and the change log.  Every entry point runs
// through guarded() (sql.h), like the object calls of db.cpp.
//
// Statuses are computed when read, from the symbol's status source: only a
// symbol of source 3 stores its own.  Every symbol write adds a row to the change
// log (inside a map sync once per symbol); the triggers of schema.h add the rows
// for symbols created or deleted and for what other programs do to nodes.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include <strings.h>

#include "sql.h"
#include "zqcommon.h"
#include "zqw.h"
#include "zqw_internal.h"

namespace zq::zqw {

using namespace sql;

namespace {

constexpr size_t kMaxTypeName = 255;
constexpr size_t kMaxLabel = 4096;

// --- small pieces -------------------------------------------------------------

// The id of a registered field, 0 when there is none.
ZqwFieldId field_named(const char* name) {
    Query q("SELECT id FROM fields WHERE name = ?");
    q.bind(std::string(name));
    return q.step() ? static_cast<ZqwFieldId>(q.integer(0)) : 0;
}

// The map of a record: 3 for none or an unknown map.  Its read-only flag in ro.
uint32_t require_map(const ZqwMapInfo* map, bool* ro = nullptr) {
    if (map == nullptr || map->map_id == 0) throw Fail{ZQW_E_BADARG};
    Query q("SELECT read_only FROM maps WHERE id = ?");
    q.bind(map->map_id);
    if (!q.step()) throw Fail{ZQW_E_BADARG};
    if (ro != nullptr) *ro = q.integer(0) != 0;
    return map->map_id;
}

bool map_exists(uint32_t map) {
    Query q("SELECT 1 FROM maps WHERE id = ?");
    q.bind(map);
    return q.step();
}

// A map applications may change: 3 for a read-only one.
uint32_t writable_map(const ZqwMapInfo* map) {
    bool ro = false;
    uint32_t id = require_map(map, &ro);
    if (ro) throw Fail{ZQW_E_BADARG};
    return id;
}

// Lists are stored as text, one item a line ('\' and line ends escaped).
std::string encode_list(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += '\n';
        for (char c : items[i]) {
            if (c == '\\') out += "\\\\";
            else if (c == '\n') out += "\\n";
            else out += c;
        }
    }
    return out;
}

std::vector<std::string> decode_list(const std::string& text) {
    std::vector<std::string> items;
    if (text.empty()) return items;
    std::string cur;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            cur += text[i + 1] == 'n' ? '\n' : text[i + 1];
            ++i;
        } else if (c == '\n') {
            items.push_back(std::move(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    items.push_back(std::move(cur));
    return items;
}

std::string encode_ids(const std::vector<uint32_t>& ids) {
    std::string out;
    for (uint32_t id : ids) {
        if (!out.empty()) out += ' ';
        out += std::to_string(id);
    }
    return out;
}

std::vector<uint32_t> decode_ids(const std::string& text) {
    std::vector<uint32_t> ids;
    std::istringstream in(text);
    unsigned long v = 0;
    while (in >> v) ids.push_back(static_cast<uint32_t>(v));
    return ids;
}

// A symbol write in the change log; inside a map sync once per symbol (the rows
// become visible together at its end, so one row tells the whole story).
void log_change(uint32_t map, uint32_t symbol, uint32_t object) {
    if (g->syncs > 0 && symbol != 0 && !g->logged.insert(symbol).second) return;
    Query q("INSERT INTO changes(map, symbol, object) VALUES (?, ?, ?)");
    q.bind(map).bind(symbol).bind(object);
    q.step();
}

// Whether a registration declares the symbol type (a pattern may end in '*').
bool type_registered(const std::string& type) {
    if (g->syncs > 0) {
        auto it = g->types.find(type);
        if (it != g->types.end()) return it->second;
    }
    Query q("SELECT 1 FROM symbol_types WHERE pattern = ?1 OR (substr(pattern, -1) = '*' AND "
            "substr(?1, 1, length(pattern) - 1) = substr(pattern, 1, length(pattern) - 1)) LIMIT 1");
    q.bind(type);
    bool ok = q.step();
    if (g->syncs > 0) g->types[type] = ok;
    return ok;
}

void check_type_text(const char* type) {
    if (type == nullptr || *type == '\0' || std::strlen(type) > kMaxTypeName) throw Fail{ZQW_E_BADARG};
}

// --- statuses ----------------------------------------------------------------

// A symbol as read, before the compound rule.
struct Raw {
    SymbolRow row;
    int object_status = 0;   // set for the map, 0: none
    bool is_node = false;
    std::string ip_status;   // the name of the node's "IP Status", "" for none
};

// The columns every symbol read takes (bound: ?1 isNode field, ?2 IP Status field).
#define SYMBOL_COLUMNS                                                                                 \
    "SELECT s.id, s.map, s.object, s.parent, s.type, s.label, s.source, s.status, s.behavior, "        \
    "s.managed, s.action_app, s.action, s.action_objects, os.status, "                                \
    "(SELECT v.value FROM vals v WHERE v.object = s.object AND v.field = ?1), "                       \
    "(SELECT e.name FROM vals v JOIN enum_values e ON e.field = v.field AND e.value = v.value "        \
    " WHERE v.object = s.object AND v.field = ?2), "                                                   \
    "p.x, p.y, "                                                                                       \
    "(SELECT value FROM vals WHERE object = s.object AND field = 1), "                                \
    "(SELECT value FROM vals WHERE object = s.object AND field = 2), "                                \
    "s.shown_status, s.status_since "                                                                  \
    "FROM symbols s LEFT JOIN object_status os ON os.map = s.map AND os.object = s.object "           \
    "LEFT JOIN positions p ON s.parent = 0 AND p.map = s.map AND p.object = s.object "

Raw read_raw(Query& q) {
    Raw r;
    SymbolRow& s = r.row;
    s.id = static_cast<uint32_t>(q.integer(0));
    s.map = static_cast<uint32_t>(q.integer(1));
    s.object = static_cast<uint32_t>(q.integer(2));
    s.parent = static_cast<uint32_t>(q.integer(3));
    s.type = q.text(4);
    s.label = q.text(5);
    s.source = static_cast<int>(q.integer(6));
    s.status = static_cast<int>(q.integer(7));
    s.behavior = static_cast<int>(q.integer(8));
    s.managed = q.integer(9) != 0;
    s.action_app = q.text(10);
    s.action = q.text(11);
    s.action_objects = decode_ids(q.text(12));
    r.object_status = q.is_null(13) ? 0 : static_cast<int>(q.integer(13));
    r.is_node = !q.is_null(14) && q.integer(14) != 0;
    r.ip_status = q.text(15);
    s.has_position = !q.is_null(16);
    if (s.has_position) {
        s.x = q.real(16);
        s.y = q.real(17);
    }
    s.name = q.text(18);
    if (s.name.empty()) s.name = q.text(19);
    s.recorded_status = static_cast<int>(q.integer(20));
    s.since = q.integer(21);
    return r;
}

int ip_status_code(const std::string& name) {
    if (name == "Normal") return ZQW_STATUS_NORMAL;
    if (name == "Marginal") return ZQW_STATUS_MARGINAL;
    if (name == "Critical") return ZQW_STATUS_CRITICAL;
    if (name == "Unmanaged") return ZQW_STATUS_UNMANAGED;
    return ZQW_STATUS_UNKNOWN;
}

// Source 1: the status set for the map, else a node's "IP Status", else Unknown.
int object_rule(const Raw& r) {
    if (r.object_status != 0) return r.object_status;
    if (r.is_node) return ip_status_code(r.ip_status);
    return ZQW_STATUS_UNKNOWN;
}

// The status a symbol shows, leaving source 2 to the caller.
int own_status(const Raw& r) {
    if (!r.row.managed) return ZQW_STATUS_UNMANAGED;
    if (r.row.source == ZQW_SOURCE_SYMBOL) return r.row.status != 0 ? r.row.status : ZQW_STATUS_UNKNOWN;
    return object_rule(r);
}

// How severe a status is for the compound rule; 0: left out.
int severity(int status) {
    switch (status) {
        case ZQW_STATUS_CRITICAL: return 6;
        case ZQW_STATUS_MAJOR: return 5;
        case ZQW_STATUS_MARGINAL: return 4;
        case ZQW_STATUS_WARNING: return 3;
        case ZQW_STATUS_NORMAL: return 2;
        case ZQW_STATUS_UNKNOWN: return 1;
        default: return 0;
    }
}

// Source 2: the most severe managed component; none: as source 1.
int compound_status(const Raw& node, const std::vector<const Raw*>& components) {
    int best = 0, best_sev = 0;
    for (const Raw* c : components) {
        if (!c->row.managed) continue;
        int st = own_status(*c);
        int sev = severity(st);
        if (sev > best_sev) {
            best_sev = sev;
            best = st;
        }
    }
    return best_sev > 0 ? best : object_rule(node);
}

struct NodeFields {
    ZqwFieldId is_node = 0, ip_status = 0;
};

NodeFields node_fields() {
    NodeFields f;
    f.is_node = field_named("isNode");
    f.ip_status = field_named("IP Status");
    return f;
}

std::vector<Raw> read_symbols(const char* sql, uint32_t a, uint32_t b, const NodeFields& f) {
    std::vector<Raw> out;
    Query q(sql);
    q.bind(f.is_node).bind(f.ip_status).bind(a);
    if (b != 0) q.bind(b);
    while (q.step()) out.push_back(read_raw(q));
    return out;
}

const char* const kSymbolsOfMap = SYMBOL_COLUMNS "WHERE s.map = ?3 ORDER BY s.id";
const char* const kSymbolById = SYMBOL_COLUMNS "WHERE s.id = ?3 AND s.map = ?4";
const char* const kComponents = SYMBOL_COLUMNS "WHERE s.parent = ?3 AND s.parent <> 0 ORDER BY s.id";
const char* const kSymbolsOfObject = SYMBOL_COLUMNS "WHERE s.object = ?3 AND s.map = ?4 ORDER BY s.id";

// Statuses of symbols read, the components of compound node symbols read as needed.
std::vector<SymbolRow> finish(std::vector<Raw>& raws, const NodeFields& f, bool have_all_of_map) {
    std::map<uint32_t, std::vector<const Raw*>> children;
    if (have_all_of_map) {
        for (const Raw& r : raws)
            if (r.row.parent != 0) children[r.row.parent].push_back(&r);
    }
    std::vector<int> shown(raws.size());
    for (size_t i = 0; i < raws.size(); ++i) {
        const Raw& r = raws[i];
        if (r.row.managed && r.row.source == ZQW_SOURCE_COMPOUND && r.row.parent == 0) {
            if (have_all_of_map) {
                auto it = children.find(r.row.id);
                shown[i] = compound_status(r, it != children.end() ? it->second : std::vector<const Raw*>{});
            } else {
                std::vector<Raw> fetched = read_symbols(kComponents, r.row.id, 0, f);
                std::vector<const Raw*> comps;
                for (const Raw& c : fetched) comps.push_back(&c);
                shown[i] = compound_status(r, comps);
            }
        } else {
            shown[i] = own_status(r);
        }
    }
    std::vector<SymbolRow> out;
    out.reserve(raws.size());
    for (size_t i = 0; i < raws.size(); ++i) {
        out.push_back(std::move(raws[i].row));
        out.back().status = shown[i];
    }
    return out;
}

std::vector<SymbolRow> symbols_where(const char* sql, uint32_t a, uint32_t b) {
    NodeFields f = node_fields();
    std::vector<Raw> raws = read_symbols(sql, a, b, f);
    return finish(raws, f, sql == kSymbolsOfMap);
}

// The addresses of the node objects of rows' node symbols: those of every
// interface at once when there are many (one pass along the index of "TopM
// Node ID"), else node by node.
constexpr size_t kAddressesNodeByNode = 64;

void add_addresses(std::vector<SymbolRow>& rows) {
    ZqwFieldId node_id = field_named("TopM Node ID"), address = field_named("IP Address");
    if (node_id == 0 || address == 0) return;
    size_t nodes = 0;
    for (const SymbolRow& r : rows) nodes += r.parent == 0;
    if (nodes == 0) return;
    if (nodes <= kAddressesNodeByNode) {
        for (SymbolRow& r : rows) {
            if (r.parent != 0) continue;
            Query q("SELECT a.value FROM vals n JOIN vals a ON a.object = n.object AND a.field = ?2 "
                    "WHERE n.field = ?1 AND n.value = ?3 ORDER BY n.object");
            q.bind(node_id).bind(address).bind(r.object);
            while (q.step()) r.addresses.push_back(q.text(0));
        }
        return;
    }
    std::unordered_map<uint32_t, std::vector<std::string>> of_node;
    {
        Query q("SELECT n.value, a.value FROM vals n JOIN vals a ON a.object = n.object AND a.field = ?2 "
                "WHERE n.field = ?1 ORDER BY n.value, n.object");
        q.bind(node_id).bind(address);
        while (q.step()) {
            int64_t node = q.integer(0);
            if (node > 0 && node <= UINT32_MAX) of_node[static_cast<uint32_t>(node)].push_back(q.text(1));
        }
    }
    for (SymbolRow& r : rows) {
        if (r.parent != 0) continue;
        auto it = of_node.find(r.object);
        if (it != of_node.end()) r.addresses = it->second;
    }
}

// One symbol of a map with the status it shows: 141 when the map has no such symbol.
SymbolRow symbol_on(uint32_t map, ZqwSymbolId symbol) {
    if (symbol == 0) throw Fail{ZQW_E_BADARG};
    std::vector<SymbolRow> rows = symbols_where(kSymbolById, symbol, map);
    if (rows.empty()) throw Fail{ZQW_E_NOSYMBOL};
    return rows.front();
}

// What a write needs to know of a symbol: 141 when the map has no such symbol.
struct Stored {
    uint32_t object = 0, parent = 0;
    std::string type, label, action_app, action, action_objects;
    bool has_label = false;
    int source = 1, status = 0, behavior = 1;
    bool managed = true;
};

Stored stored_symbol(uint32_t map, ZqwSymbolId symbol) {
    if (symbol == 0) throw Fail{ZQW_E_BADARG};
    Query q("SELECT object, parent, type, label, source, status, behavior, managed, action_app, action, "
            "action_objects FROM symbols WHERE id = ? AND map = ?");
    q.bind(symbol).bind(map);
    if (!q.step()) throw Fail{ZQW_E_NOSYMBOL};
    Stored s;
    s.object = static_cast<uint32_t>(q.integer(0));
    s.parent = static_cast<uint32_t>(q.integer(1));
    s.type = q.text(2);
    s.has_label = !q.is_null(3);
    s.label = q.text(3);
    s.source = static_cast<int>(q.integer(4));
    s.status = static_cast<int>(q.integer(5));
    s.behavior = static_cast<int>(q.integer(6));
    s.managed = q.integer(7) != 0;
    s.action_app = q.text(8);
    s.action = q.text(9);
    s.action_objects = q.text(10);
    return s;
}

// --- records handed out ----------------------------------------------------------

void fill_info(ZqwSymbolInfo& info, const SymbolRow& r) {
    info.symbol = r.id;
    info.object = r.object;
    info.type = heap_copy(r.type);
    info.label = r.label.empty() ? nullptr : heap_copy(r.label);
    info.status = r.status;
    info.status_source = r.source;
    info.behavior = r.behavior;
    info.parent = r.parent;
}

// Frees a list's entries even when filling it failed half-way.
struct SymbolListHolder {
    ZqwSymbolList* list = nullptr;
    ~SymbolListHolder() { ZqwFreeSymbolList(list); }
};

ZqwSymbolList* make_symbol_list(const std::vector<SymbolRow>& rows) {
    SymbolListHolder h;
    h.list = static_cast<ZqwSymbolList*>(std::calloc(1, sizeof(ZqwSymbolList)));
    if (h.list == nullptr) throw std::bad_alloc();
    if (!rows.empty()) {
        h.list->entries = static_cast<ZqwSymbolInfo*>(std::calloc(rows.size(), sizeof(ZqwSymbolInfo)));
        if (h.list->entries == nullptr) throw std::bad_alloc();
    }
    for (const SymbolRow& r : rows) fill_info(h.list->entries[h.list->count++], r);
    ZqwSymbolList* out = h.list;
    h.list = nullptr;
    return out;
}

// --- values given as text (map filters) --------------------------------------------

// A boolean or integer value typed as text, widened for the value record.
bool parse_bool_text(const std::string& s, int64_t& out) {
    int v = 0;
    if (!zq::parse_bool_word(s, v)) return false;
    out = v;
    return true;
}

bool parse_int_text(const std::string& s, int64_t& out) {
    int v = 0;
    if (!zq::parse_int32(s, v)) return false;
    out = v;
    return true;
}

// A condition "field name = value text": 62 no field, 3 a value the type does not
// take, 70 no such enumeration name.
Condition parse_condition(const std::string& field, const std::string& text) {
    Condition c;
    c.field = field_named(field.c_str());
    if (c.field == 0) throw Fail{ZQW_E_NOFIELD};
    c.value.type = field_type(c.field);
    switch (c.value.type) {
        case ZQW_BOOL_FIELD:
            if (!parse_bool_text(text, c.value.number)) throw Fail{ZQW_E_BADARG};
            break;
        case ZQW_INT_FIELD:
            if (!parse_int_text(text, c.value.number)) throw Fail{ZQW_E_BADARG};
            break;
        case ZQW_ENUM_FIELD: {
            Query q("SELECT value FROM enum_values WHERE field = ? AND name = ?");
            q.bind(c.field).bind(text);
            if (q.step()) c.value.number = q.integer(0);
            else if (!parse_int_text(text, c.value.number) || c.value.number < 0) throw Fail{ZQW_E_NOENUM};
            break;
        }
        default: c.value.text = text; break;
    }
    return c;
}

bool holds(ZqwObjectId object, const Condition& c) {
    Query q("SELECT 1 FROM vals WHERE object = ? AND field = ? AND value = ?");
    bind_value(q.bind(object).bind(c.field), c.value);
    return q.step();
}

bool holds_all(ZqwObjectId object, const std::vector<Condition>& conds) {
    return std::all_of(conds.begin(), conds.end(), [&](const Condition& c) { return holds(object, c); });
}

// The conditions of a map's filter.  A condition whose field is gone matches nothing.
std::vector<Condition> map_filter(uint32_t map, bool& impossible) {
    std::vector<std::pair<std::string, std::string>> texts;
    {
        Query q("SELECT field, value FROM map_filters WHERE map = ? ORDER BY pos");
        q.bind(map);
        while (q.step()) texts.emplace_back(q.text(0), q.text(1));
    }
    std::vector<Condition> out;
    impossible = false;
    for (const auto& [f, v] : texts) {
        try {
            out.push_back(parse_condition(f, v));
        } catch (const Fail&) {
            impossible = true;
        }
    }
    return out;
}

// The node objects (isNode TRUE), in id order.
std::vector<ZqwObjectId> node_objects() {
    ZqwFieldId is_node = field_named("isNode");
    if (is_node == 0) return {};
    Value v;
    v.type = ZQW_BOOL_FIELD;
    v.number = 1;
    return objects_with(is_node, v);
}

bool is_node(ZqwObjectId object) {
    ZqwFieldId f = field_named("isNode");
    if (f == 0) return false;
    Query q("SELECT value FROM vals WHERE object = ? AND field = ?");
    q.bind(object).bind(f);
    return q.step() && q.integer(0) != 0;
}

// A node symbol type from what a node is, for nodes a map gains on its own.
std::string generic_node_type(ZqwObjectId object) {
    for (const char* kind : {"Server", "Client", "Computer", "Device"}) {
        ZqwFieldId f = field_named((std::string("is") + kind).c_str());
        if (f == 0) continue;
        Query q("SELECT value FROM vals WHERE object = ? AND field = ?");
        q.bind(object).bind(f);
        if (q.step() && q.integer(0) != 0) return std::string(kind) + ":Generic";
    }
    return "Computer:Generic";
}

uint32_t node_symbol_of(uint32_t map, ZqwObjectId object) {
    Query q("SELECT id FROM symbols WHERE map = ? AND object = ? AND parent = 0");
    q.bind(map).bind(object);
    return q.step() ? static_cast<uint32_t>(q.integer(0)) : 0;
}

uint32_t insert_symbol(uint32_t map, ZqwObjectId object, uint32_t parent, const std::string& type,
                       const char* label, int source, int status, int behavior) {
    Query q("INSERT INTO symbols(map, object, parent, type, label, source, status, behavior) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    q.bind(map).bind(object).bind(parent).bind(type);
    if (label != nullptr) q.bind(std::string(label));
    else q.bind_null();
    q.bind(source).bind(status).bind(behavior);
    q.step();
    return static_cast<uint32_t>(sqlite3_last_insert_rowid(g->db));
}

void delete_symbol_rows(ZqwSymbolId symbol) {
    {
        Query q("DELETE FROM symbols WHERE parent = ? AND parent <> 0");
        q.bind(symbol);
        q.step();
    }
    Query q("DELETE FROM symbols WHERE id = ?");
    q.bind(symbol);
    q.step();
}

void set_object_status(uint32_t map, ZqwObjectId object, int status) {
    int old = 0;
    {
        Query q("SELECT status FROM object_status WHERE map = ? AND object = ?");
        q.bind(map).bind(object);
        if (q.step()) old = static_cast<int>(q.integer(0));
    }
    if (old == status) return;
    if (status == 0) {
        Query q("DELETE FROM object_status WHERE map = ? AND object = ?");
        q.bind(map).bind(object);
        q.step();
    } else {
        Query q("INSERT INTO object_status(map, object, status) VALUES (?, ?, ?) "
                "ON CONFLICT(map, object) DO UPDATE SET status = excluded.status");
        q.bind(map).bind(object).bind(status);
        q.step();
    }
    log_change(map, 0, object);
}

// Stores configuration values of an application for a map (checked: 3, 62, 64, 70).
void put_app_config(uint32_t map, const std::string& app, const ZqwFieldBindList& values,
                    const std::set<std::string>* allowed) {
    if (values.count > 0 && values.entries == nullptr) throw Fail{ZQW_E_BADARG};
    std::vector<std::pair<ZqwFieldId, Value>> checked;
    for (unsigned i = 0; i < values.count; ++i) {
        const ZqwFieldBinding& b = values.entries[i];
        Value v = from_record(b.field_id, b.value);
        if (allowed != nullptr) {
            Query q("SELECT name FROM fields WHERE id = ?");
            q.bind(b.field_id);
            if (!q.step() || allowed->count(q.text(0)) == 0) throw Fail{ZQW_E_NOFIELD};
        }
        checked.emplace_back(b.field_id, std::move(v));
    }
    for (const auto& [field, v] : checked) {
        Query q("INSERT INTO app_config(map, app, field, value) VALUES (?, ?, ?, ?) "
                "ON CONFLICT(map, app, field) DO UPDATE SET value = excluded.value");
        bind_value(q.bind(map).bind(app).bind(field), v);
        q.step();
    }
}

std::set<std::string> config_field_names(const std::string& app) {
    std::set<std::string> names;
    Query q("SELECT field FROM config_fields WHERE app = ?");
    q.bind(app);
    while (q.step()) names.insert(q.text(0));
    return names;
}

bool app_registered(const std::string& app) {
    Query q("SELECT 1 FROM applications WHERE name = ?");
    q.bind(app);
    return q.step();
}

// One attribute write: the argument checks, the map and symbol, the checks that
// need the symbol and 92 when nothing changes, then the update.
template <class Args, class Same, class Update>
int set_attribute(const ZqwMapInfo* map, ZqwSymbolId symbol, Args&& args, Same&& same, Update&& update) {
    return guarded(-1, [&] {
        if (symbol == 0) throw Fail{ZQW_E_BADARG};
        args();
        Transaction t(true);
        uint32_t id = writable_map(map);
        Stored s = stored_symbol(id, symbol);
        if (same(s)) throw Fail{ZQW_E_NOCHANGE};
        update(s);
        log_change(id, symbol, s.object);
        t.commit();
        return 1;
    });
}

}  // namespace

// --- the map store --------------------------------------------------------------

bool list_maps(std::vector<MapRow>& out) {
    out.clear();
    return guarded(false, [&] {
        Transaction t(false);
        std::vector<MapRow> maps;
        {
            Query q("SELECT id, name, read_only FROM maps ORDER BY id");
            while (q.step()) {
                MapRow m;
                m.id = static_cast<uint32_t>(q.integer(0));
                m.name = q.text(1);
                m.read_only = q.integer(2) != 0;
                maps.push_back(std::move(m));
            }
        }
        for (MapRow& m : maps) {
            Query q("SELECT field, value FROM map_filters WHERE map = ? ORDER BY pos");
            q.bind(m.id);
            while (q.step()) m.filter.emplace_back(q.text(0), q.text(1));
        }
        t.commit();
        out = std::move(maps);
        return true;
    });
}

bool find_map(const std::string& name, MapRow& out) {
    return guarded(false, [&] {
        Transaction t(false);
        MapRow m;
        {
            Query q("SELECT id, name, read_only FROM maps WHERE name = ?");
            q.bind(name);
            if (!q.step()) throw Fail{ZQW_E_BADARG};
            m.id = static_cast<uint32_t>(q.integer(0));
            m.name = q.text(1);
            m.read_only = q.integer(2) != 0;
        }
        {
            Query q("SELECT field, value FROM map_filters WHERE map = ? ORDER BY pos");
            q.bind(m.id);
            while (q.step()) m.filter.emplace_back(q.text(0), q.text(1));
        }
        t.commit();
        out = std::move(m);
        return true;
    });
}

uint32_t create_map(const std::string& name, bool read_only,
                    const std::vector<std::pair<std::string, std::string>>& filter) {
    return guarded<uint32_t>(0, [&] {
        if (name.empty() || name.size() > kMaxTypeName || filter.size() > 32) throw Fail{ZQW_E_BADARG};
        Transaction t(true);
        std::vector<Condition> conds;
        for (const auto& [f, v] : filter) conds.push_back(parse_condition(f, v));
        {
            Query q("SELECT 1 FROM maps WHERE name = ?");
            q.bind(name);
            if (q.step()) throw Fail{ZQW_E_EXISTS};
        }
        uint32_t map = 0;
        {
            Query q("INSERT INTO maps(name, read_only) VALUES (?, ?)");
            q.bind(name).bind(read_only ? 1 : 0);
            q.step();
            map = static_cast<uint32_t>(sqlite3_last_insert_rowid(g->db));
        }
        for (size_t i = 0; i < filter.size(); ++i) {
            Query q("INSERT INTO map_filters(map, pos, field, value) VALUES (?, ?, ?, ?)");
            q.bind(map).bind(static_cast<int64_t>(i)).bind(filter[i].first).bind(filter[i].second);
            q.step();
        }
        for (ZqwObjectId object : node_objects()) {
            if (!holds_all(object, conds)) continue;
            insert_symbol(map, object, 0, generic_node_type(object), nullptr, ZQW_SOURCE_OBJECT, 0,
                          ZQW_BEHAVIOR_EXPLODABLE);
        }
        t.commit();
        return map;
    });
}

bool set_map_read_only(uint32_t map, bool read_only) {
    return guarded(false, [&] {
        Transaction t(true);
        if (!map_exists(map)) throw Fail{ZQW_E_BADARG};
        Query q("UPDATE maps SET read_only = ? WHERE id = ?");
        q.bind(read_only ? 1 : 0).bind(map);
        q.step();
        log_change(map, 0, 0);
        t.commit();
        return true;
    });
}

bool delete_map(uint32_t map) {
    return guarded(false, [&] {
        Transaction t(true);
        {
            Query q("SELECT name FROM maps WHERE id = ?");
            q.bind(map);
            if (!q.step() || q.text(0) == "default") throw Fail{ZQW_E_BADARG};
        }
        {
            Query q("SELECT 1 FROM zqw_meta WHERE key = 'applications_map' AND CAST(value AS INTEGER) = ?");
            q.bind(map);
            if (q.step()) throw Fail{ZQW_E_BADARG};
        }
        // Components first, so that no symbol names a deleted parent.
        for (const char* sql :
             {"DELETE FROM symbols WHERE map = ?1 AND parent <> 0", "DELETE FROM symbols WHERE map = ?1",
              "DELETE FROM object_status WHERE map = ?1", "DELETE FROM positions WHERE map = ?1",
              "DELETE FROM app_config WHERE map = ?1", "DELETE FROM map_filters WHERE map = ?1",
              "DELETE FROM maps WHERE id = ?1"}) {
            Query q(sql);
            q.bind(map);
            q.step();
        }
        log_change(map, 0, 0);
        t.commit();
        return true;
    });
}

bool rename_map(uint32_t map, const std::string& name) {
    return guarded(false, [&] {
        if (name.empty() || name.size() > kMaxTypeName) throw Fail{ZQW_E_BADARG};
        Transaction t(true);
        {
            Query q("SELECT name FROM maps WHERE id = ?");
            q.bind(map);
            if (!q.step() || q.text(0) == "default") throw Fail{ZQW_E_BADARG};
        }
        {
            Query q("SELECT 1 FROM maps WHERE name = ? AND id <> ?");
            q.bind(name).bind(map);
            if (q.step()) throw Fail{ZQW_E_EXISTS};
        }
        Query q("UPDATE maps SET name = ? WHERE id = ?");
        q.bind(name).bind(map);
        q.step();
        log_change(map, 0, 0);
        t.commit();
        return true;
    });
}

int check_condition(const std::string& field, const std::string& value) {
    int code = 0;
    bool ok = guarded(false, [&] {
        try {
            parse_condition(field, value);
        } catch (const Fail& f) {
            code = f.code;
        }
        return true;
    });
    return ok ? code : ZqwError();
}

bool object_shown(uint32_t object, ObjectShown& out) {
    out = ObjectShown{};
    return guarded(false, [&] {
        Transaction t(false);
        {
            Query q("SELECT DISTINCT type FROM symbols WHERE object = ?");
            q.bind(object);
            while (q.step()) out.types.push_back(q.text(0));
        }
        {
            Query q("SELECT p.object FROM symbols s JOIN symbols p ON p.id = s.parent "
                    "WHERE s.object = ? AND s.parent <> 0 LIMIT 1");
            q.bind(object);
            if (q.step()) out.node = static_cast<uint32_t>(q.integer(0));
        }
        t.commit();
        return true;
    });
}

bool object_matches(uint32_t object, const std::vector<std::pair<std::string, std::string>>& conds,
                    std::string& failed) {
    failed.clear();
    return guarded(false, [&] {
        Transaction t(false);
        for (const auto& [f, v] : conds) {
            bool ok = false;
            try {
                ok = holds(object, parse_condition(f, v));
            } catch (const Fail&) {
                ok = false;   // a field or value that no longer parses holds nowhere
            }
            if (!ok) {
                failed = f + "=" + v;
                break;
            }
        }
        t.commit();
        return true;
    });
}

uint32_t applications_map() {
    return guarded<uint32_t>(0, [&] {
        Transaction t(false);
        Query q("SELECT m.id FROM zqw_meta k JOIN maps m ON m.id = CAST(k.value AS INTEGER) "
                "WHERE k.key = 'applications_map'");
        uint32_t id = q.step() ? static_cast<uint32_t>(q.integer(0)) : 0;
        if (id == 0) {
            Query d("SELECT id FROM maps WHERE name = 'default'");
            if (d.step()) id = static_cast<uint32_t>(d.integer(0));
        }
        t.commit();
        if (id == 0) throw Fail{ZQW_E_BADARG};
        return id;
    });
}

bool set_applications_map(uint32_t map) {
    return guarded(false, [&] {
        Transaction t(true);
        if (!map_exists(map)) throw Fail{ZQW_E_BADARG};
        Query q("INSERT INTO zqw_meta(key, value) VALUES ('applications_map', ?1) "
                "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
        q.bind(std::to_string(map));
        q.step();
        log_change(map, 0, 0);
        t.commit();
        return true;
    });
}

bool load_symbols(uint32_t map, std::vector<SymbolRow>& out) {
    out.clear();
    return guarded(false, [&] {
        Transaction t(false);
        if (!map_exists(map)) throw Fail{ZQW_E_BADARG};
        std::vector<SymbolRow> rows = symbols_where(kSymbolsOfMap, map, 0);
        add_addresses(rows);
        t.commit();
        out = std::move(rows);
        return true;
    });
}

bool load_symbols(uint32_t map, const std::vector<uint32_t>& ids, std::vector<SymbolRow>& out) {
    out.clear();
    return guarded(false, [&] {
        Transaction t(false);
        if (!map_exists(map)) throw Fail{ZQW_E_BADARG};
        std::vector<uint32_t> sorted(ids);
        std::sort(sorted.begin(), sorted.end());
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
        NodeFields f = node_fields();
        std::vector<Raw> raws;
        for (uint32_t id : sorted) {
            std::vector<Raw> one = read_symbols(kSymbolById, id, map, f);
            for (Raw& r : one) raws.push_back(std::move(r));
        }
        std::vector<SymbolRow> rows = finish(raws, f, false);
        add_addresses(rows);
        t.commit();
        out = std::move(rows);
        return true;
    });
}

bool note_statuses(std::vector<SymbolRow>& rows, int64_t now, bool unknown_first) {
    std::vector<SymbolRow*> changed;
    for (SymbolRow& r : rows)
        if (r.status != r.recorded_status) changed.push_back(&r);
    if (changed.empty()) return true;
    return guarded(false, [&] {
        Transaction t(true);
        for (SymbolRow* r : changed) {
            int64_t since = r->recorded_status == 0 && unknown_first ? 0 : now;
            Query q("UPDATE symbols SET shown_status = ?, status_since = ? WHERE id = ?");
            q.bind(r->status).bind(since).bind(r->id);
            q.step();
        }
        t.commit();
        for (SymbolRow* r : changed) {
            r->since = r->recorded_status == 0 && unknown_first ? 0 : now;
            r->recorded_status = r->status;
        }
        return true;
    });
}

int64_t last_change() {
    return guarded<int64_t>(0, [&] {
        Query q("SELECT seq FROM sqlite_sequence WHERE name = 'changes'");
        return q.step() ? q.integer(0) : int64_t{0};
    });
}

bool changes_since(int64_t seq, size_t limit, std::vector<ChangeRow>& out) {
    out.clear();
    return guarded(false, [&] {
        Transaction t(false);
        {
            Query q("SELECT value FROM zqw_meta WHERE key = 'changes_pruned'");
            if (q.step() && seq < std::atoll(q.text(0).c_str())) throw Fail{ZQW_E_BADARG};
        }
        {
            // Newer than the newest row: a number from another database's log.
            Query q("SELECT seq FROM sqlite_sequence WHERE name = 'changes'");
            if (seq > (q.step() ? q.integer(0) : 0)) throw Fail{ZQW_E_BADARG};
        }
        std::vector<ChangeRow> rows;
        {
            Query q("SELECT seq, map, symbol, object FROM changes WHERE seq > ? ORDER BY seq LIMIT ?");
            q.bind(seq).bind(static_cast<int64_t>(std::min<size_t>(limit, INT64_MAX)));
            while (q.step()) {
                ChangeRow r;
                r.seq = q.integer(0);
                r.map = static_cast<uint32_t>(q.integer(1));
                r.symbol = static_cast<uint32_t>(q.integer(2));
                r.object = static_cast<uint32_t>(q.integer(3));
                rows.push_back(r);
            }
        }
        t.commit();
        out = std::move(rows);
        return true;
    });
}

bool affected_symbols(uint32_t map, const std::vector<ChangeRow>& rows, std::vector<uint32_t>& existing,
                      std::vector<uint32_t>& deleted) {
    existing.clear();
    deleted.clear();
    return guarded(false, [&] {
        Transaction t(false);
        std::set<uint32_t> live, gone;
        auto add_with_parent = [&](uint32_t id, uint32_t parent) {
            live.insert(id);
            if (parent != 0) live.insert(parent);
        };
        for (const ChangeRow& r : rows) {
            if (r.map != 0 && r.map != map) continue;
            if (r.symbol != 0) {
                Query q("SELECT parent FROM symbols WHERE id = ? AND map = ?");
                q.bind(r.symbol).bind(map);
                if (q.step()) add_with_parent(r.symbol, static_cast<uint32_t>(q.integer(0)));
                else gone.insert(r.symbol);
            } else if (r.object != 0) {
                Query q("SELECT id, parent FROM symbols WHERE object = ? AND map = ?");
                q.bind(r.object).bind(map);
                while (q.step())
                    add_with_parent(static_cast<uint32_t>(q.integer(0)), static_cast<uint32_t>(q.integer(1)));
            }
        }
        // A component's status shows on every compound node symbol holding it.
        for (uint32_t id : std::vector<uint32_t>(live.begin(), live.end())) {
            Query q("SELECT parent FROM symbols WHERE id = ? AND parent <> 0");
            q.bind(id);
            if (q.step()) live.insert(static_cast<uint32_t>(q.integer(0)));
        }
        for (uint32_t id : live) gone.erase(id);
        t.commit();
        existing.assign(live.begin(), live.end());
        deleted.assign(gone.begin(), gone.end());
        return true;
    });
}

bool prune_changes(int64_t keep) {
    return guarded(false, [&] {
        if (keep < 0) throw Fail{ZQW_E_BADARG};
        Transaction t(true);
        int64_t last = 0;
        {
            Query q("SELECT seq FROM sqlite_sequence WHERE name = 'changes'");
            if (q.step()) last = q.integer(0);
        }
        int64_t upto = last - keep;
        if (upto > 0) {
            {
                Query q("DELETE FROM changes WHERE seq <= ?");
                q.bind(upto);
                q.step();
            }
            Query q("INSERT INTO zqw_meta(key, value) VALUES ('changes_pruned', ?1) "
                    "ON CONFLICT(key) DO UPDATE SET value = excluded.value "
                    "WHERE CAST(value AS INTEGER) < CAST(excluded.value AS INTEGER)");
            q.bind(std::to_string(upto));
            q.step();
        }
        t.commit();
        return true;
    });
}

uint32_t create_node_symbol(uint32_t map, uint32_t object, const std::string& type) {
    return guarded<uint32_t>(0, [&] {
        if (map == 0 || object == 0 || type.empty() || type.size() > kMaxTypeName) throw Fail{ZQW_E_BADARG};
        Transaction t(true);
        if (!map_exists(map)) throw Fail{ZQW_E_BADARG};
        require_object(object);
        if (node_symbol_of(map, object) != 0) throw Fail{ZQW_E_EXISTS};
        uint32_t id = insert_symbol(map, object, 0, type, nullptr, ZQW_SOURCE_OBJECT, 0, ZQW_BEHAVIOR_EXPLODABLE);
        t.commit();
        return id;
    });
}

bool nodes_without_symbol(uint32_t map, std::vector<uint32_t>& objects) {
    objects.clear();
    return guarded(false, [&] {
        Transaction t(false);
        if (!map_exists(map)) throw Fail{ZQW_E_BADARG};
        bool impossible = false;
        std::vector<Condition> conds = map_filter(map, impossible);
        std::vector<uint32_t> out;
        if (!impossible) {
            for (ZqwObjectId object : node_objects()) {
                if (node_symbol_of(map, object) != 0) continue;
                if (holds_all(object, conds)) out.push_back(object);
            }
        }
        t.commit();
        objects = std::move(out);
        return true;
    });
}

bool stale_node_symbols(uint32_t map, std::vector<uint32_t>& symbols) {
    symbols.clear();
    return guarded(false, [&] {
        Transaction t(false);
        if (!map_exists(map)) throw Fail{ZQW_E_BADARG};
        bool impossible = false;
        std::vector<Condition> conds = map_filter(map, impossible);
        std::vector<std::pair<uint32_t, uint32_t>> nodes;
        {
            Query q("SELECT id, object FROM symbols WHERE map = ? AND parent = 0 ORDER BY id");
            q.bind(map);
            while (q.step())
                nodes.emplace_back(static_cast<uint32_t>(q.integer(0)), static_cast<uint32_t>(q.integer(1)));
        }
        std::vector<uint32_t> out;
        for (const auto& node : nodes) {
            // (clang 14, which builds the fuzzers, cannot capture a structured binding)
            uint32_t object = node.second;
            bool keep = !impossible && is_node(object) && holds_all(object, conds);
            if (!keep) out.push_back(node.first);
        }
        t.commit();
        symbols = std::move(out);
        return true;
    });
}

bool set_symbol_managed(uint32_t map, uint32_t symbol, bool managed) {
    return guarded(false, [&] {
        Transaction t(true);
        if (!map_exists(map)) throw Fail{ZQW_E_BADARG};
        Stored s = stored_symbol(map, symbol);
        if (s.managed != managed) {
            Query q("UPDATE symbols SET managed = ? WHERE id = ?");
            q.bind(managed ? 1 : 0).bind(symbol);
            q.step();
            log_change(map, symbol, s.object);
        }
        t.commit();
        return true;
    });
}

bool set_symbol_position(uint32_t map, uint32_t symbol, double x, double y) {
    return guarded(false, [&] {
        if (!(x == x) || !(y == y) || x > 1e9 || x < -1e9 || y > 1e9 || y < -1e9) throw Fail{ZQW_E_BADARG};
        Transaction t(true);
        if (!map_exists(map)) throw Fail{ZQW_E_BADARG};
        Stored s = stored_symbol(map, symbol);
        if (s.parent != 0) throw Fail{ZQW_E_BADARG};   // components sit inside their node
        {
            Query q("INSERT INTO positions(map, object, x, y) VALUES (?, ?, ?, ?) "
                    "ON CONFLICT(map, object) DO UPDATE SET x = excluded.x, y = excluded.y");
            q.bind(map).bind(s.object).bind_real(x).bind_real(y);
            q.step();
        }
        log_change(map, symbol, s.object);
        t.commit();
        return true;
    });
}

bool store_registrations(const std::vector<AppDef>& apps) {
    return guarded(false, [&] {
        Transaction t(true);
        for (const char* sql : {"DELETE FROM applications", "DELETE FROM actions", "DELETE FROM symbol_types",
                                "DELETE FROM config_fields"})
            run(sql);
        int64_t pos = 0;
        for (const AppDef& a : apps) {
            {
                Query q("INSERT OR REPLACE INTO applications(name, pos, file, command) VALUES (?, ?, ?, ?)");
                q.bind(a.name).bind(pos++).bind(a.file).bind(encode_list(a.command));
                q.step();
            }
            int64_t i = 0;
            for (const ActionDef& d : a.actions) {
                Query q("INSERT OR REPLACE INTO actions(app, name, pos, label, url, args) VALUES (?, ?, ?, ?, ?, ?)");
                q.bind(a.name).bind(d.name).bind(i++).bind(d.label).bind(d.url).bind(encode_list(d.args));
                q.step();
            }
            i = 0;
            for (const SymbolTypeDef& d : a.symbol_types) {
                Query q("INSERT OR REPLACE INTO symbol_types(pattern, app, pos, icon) VALUES (?, ?, ?, ?)");
                q.bind(d.pattern).bind(a.name).bind(i++).bind(d.icon);
                q.step();
            }
            i = 0;
            for (const ConfigFieldDef& d : a.config) {
                Query q("INSERT OR REPLACE INTO config_fields(app, field, pos, label) VALUES (?, ?, ?, ?)");
                q.bind(a.name).bind(d.field).bind(i++).bind(d.label);
                q.step();
            }
        }
        t.commit();
        return true;
    });
}

bool load_registrations(std::vector<AppDef>& apps) {
    apps.clear();
    return guarded(false, [&] {
        Transaction t(false);
        std::vector<AppDef> out;
        {
            Query q("SELECT name, file, command FROM applications ORDER BY pos");
            while (q.step()) {
                AppDef a;
                a.name = q.text(0);
                a.file = q.text(1);
                a.command = decode_list(q.text(2));
                out.push_back(std::move(a));
            }
        }
        for (AppDef& a : out) {
            {
                Query q("SELECT name, label, url, args FROM actions WHERE app = ? ORDER BY pos");
                q.bind(a.name);
                while (q.step()) a.actions.push_back({q.text(0), q.text(1), q.text(2), decode_list(q.text(3))});
            }
            {
                Query q("SELECT pattern, icon FROM symbol_types WHERE app = ? ORDER BY pos");
                q.bind(a.name);
                while (q.step()) a.symbol_types.push_back({q.text(0), q.text(1)});
            }
            Query q("SELECT field, label FROM config_fields WHERE app = ? ORDER BY pos");
            q.bind(a.name);
            while (q.step()) a.config.push_back({q.text(0), q.text(1)});
        }
        t.commit();
        apps = std::move(out);
        return true;
    });
}

std::string symbol_icon(const std::string& type) {
    return guarded<std::string>("", [&] {
        // The exact pattern first, then the longest prefix.
        Query q("SELECT icon FROM symbol_types WHERE pattern = ?1 OR (substr(pattern, -1) = '*' AND "
                "substr(?1, 1, length(pattern) - 1) = substr(pattern, 1, length(pattern) - 1)) "
                "ORDER BY pattern = ?1 DESC, length(pattern) DESC, app, pos LIMIT 1");
        q.bind(type);
        return q.step() ? q.text(0) : std::string();
    });
}

bool store_app_config(uint32_t map, const std::string& app, const ZqwFieldBindList& values) {
    return guarded(false, [&] {
        Transaction t(true);
        if (!map_exists(map)) throw Fail{ZQW_E_BADARG};
        if (!app_registered(app)) throw Fail{ZQW_E_NOAPP};
        put_app_config(map, app, values, nullptr);
        t.commit();
        return true;
    });
}

}  // namespace zq::zqw

using namespace zq::zqw;
using namespace zq::zqw::sql;

extern "C" {

ZqwMapInfo* ZqwCopyMapInfo(const ZqwMapInfo* map) {
    // A copy of the caller's record: no database needed.
    if (map == nullptr) {
        set_error(ZQW_E_BADARG);
        return nullptr;
    }
    auto* copy = static_cast<ZqwMapInfo*>(std::calloc(1, sizeof(ZqwMapInfo)));
    if (copy != nullptr && map->name != nullptr && (copy->name = strdup(map->name)) == nullptr) {
        std::free(copy);
        copy = nullptr;
    }
    if (copy == nullptr) {
        set_error(ZQW_E_CONNLOST);
        return nullptr;
    }
    copy->read_only = map->read_only;
    copy->map_id = map->map_id;
    set_error(ZQW_E_OK);
    return copy;
}

void ZqwFreeMapInfo(ZqwMapInfo* map) {
    if (map == nullptr) return;
    std::free(map->name);
    std::free(map);
}

ZqwSymbolInfo* ZqwGetSymbolInfo(const ZqwMapInfo* map, ZqwSymbolId symbol) {
    return guarded<ZqwSymbolInfo*>(nullptr, [&] {
        Transaction t(false);
        uint32_t id = require_map(map);
        SymbolRow r = symbol_on(id, symbol);
        t.commit();
        auto* info = static_cast<ZqwSymbolInfo*>(std::calloc(1, sizeof(ZqwSymbolInfo)));
        if (info == nullptr) throw std::bad_alloc();
        try {
            fill_info(*info, r);
        } catch (...) {
            ZqwFreeSymbolInfo(info);
            throw;
        }
        return info;
    });
}

void ZqwFreeSymbolInfo(ZqwSymbolInfo* info) {
    if (info == nullptr) return;
    std::free(info->type);
    std::free(info->label);
    std::free(info);
}

ZqwSymbolList* ZqwGetSymbolsByObject(const ZqwMapInfo* map, ZqwObjectId object) {
    return guarded<ZqwSymbolList*>(nullptr, [&] {
        Transaction t(false);
        uint32_t id = require_map(map);
        require_object(object);
        std::vector<SymbolRow> rows = symbols_where(kSymbolsOfObject, object, id);
        if (rows.empty()) throw Fail{ZQW_E_NOSYMBOLONMAP};
        t.commit();
        return make_symbol_list(rows);
    });
}

void ZqwFreeSymbolList(ZqwSymbolList* list) {
    if (list == nullptr) return;
    for (unsigned i = 0; list->entries != nullptr && i < list->count; ++i) {
        std::free(list->entries[i].type);
        std::free(list->entries[i].label);
    }
    std::free(list->entries);
    std::free(list);
}

ZqwObjectList* ZqwListObjectsOnMap(const ZqwMapInfo* map, const ZqwFieldBindList* filter) {
    return guarded<ZqwObjectList*>(nullptr, [&] {
        if (filter != nullptr && filter->count > 0 && (filter->entries == nullptr || filter->count > kMaxConditions))
            throw Fail{ZQW_E_BADARG};
        Transaction t(false);
        uint32_t id = require_map(map);
        std::vector<std::pair<ZqwObjectId, uint32_t>> found;   // object, node symbol
        if (filter == nullptr || filter->count == 0) {
            Query q("SELECT object, id FROM symbols WHERE map = ? AND parent = 0 ORDER BY object");
            q.bind(id);
            while (q.step())
                found.emplace_back(static_cast<ZqwObjectId>(q.integer(0)), static_cast<uint32_t>(q.integer(1)));
        } else {
            std::vector<Condition> conds = conditions_of(*filter);
            // Read along the condition with the fewest matches; probe the others.
            size_t driver = fewest_matches(conds, 128);
            for (ZqwObjectId object : objects_with(conds[driver].field, conds[driver].value)) {
                bool ok = true;
                for (size_t i = 0; ok && i < conds.size(); ++i)
                    if (i != driver) ok = holds(object, conds[i]);
                if (!ok) continue;
                uint32_t sym = node_symbol_of(id, object);
                if (sym != 0) found.emplace_back(object, sym);
            }
        }
        auto* list = static_cast<ZqwObjectList*>(std::calloc(1, sizeof(ZqwObjectList)));
        if (list == nullptr) throw std::bad_alloc();
        if (!found.empty()) {
            list->entries = static_cast<ZqwObjectInfo*>(std::calloc(found.size(), sizeof(ZqwObjectInfo)));
            if (list->entries == nullptr) {
                std::free(list);
                throw std::bad_alloc();
            }
        }
        try {
            for (const auto& [object, sym] : found) {
                ZqwObjectInfo& e = list->entries[list->count++];
                e.object = object;
                e.symbol = sym;
                SymbolRow r = symbol_on(id, sym);
                e.status = r.status;
                Query q("SELECT field, value FROM vals WHERE object = ? AND field IN (1, 2)");
                q.bind(object);
                while (q.step()) (q.integer(0) == 1 ? e.selection_name : e.hostname) = heap_copy(q.text(1));
            }
        } catch (...) {
            ZqwFreeObjectList(list);
            throw;
        }
        t.commit();
        return list;
    });
}

void ZqwFreeObjectList(ZqwObjectList* list) {
    if (list == nullptr) return;
    for (unsigned i = 0; list->entries != nullptr && i < list->count; ++i) {
        std::free(list->entries[i].selection_name);
        std::free(list->entries[i].hostname);
    }
    std::free(list->entries);
    std::free(list);
}

int ZqwBeginMapSync(const ZqwMapInfo* map) {
    bool outermost = false;
    int r = guarded(-1, [&] {
        Transaction t(false);
        require_map(map);
        t.commit();
        outermost = g->syncs == 0;
        if (!outermost) ++g->syncs;
        return 1;
    });
    if (r != 1 || !outermost) return r;
    // The outermost sync is the library's bulk transaction.
    if (!begin_bulk()) return -1;
    g->syncs = 1;
    g->logged.clear();
    g->types.clear();
    return 1;
}

int ZqwEndMapSync(const ZqwMapInfo* map) {
    int r = guarded(-1, [&] {
        if (g->syncs == 0) throw Fail{ZQW_E_BADARG};
        Transaction t(false);
        require_map(map);
        t.commit();
        return 1;
    });
    if (r != 1) return r;
    if (--g->syncs > 0) return 1;
    g->logged.clear();
    g->types.clear();
    return end_bulk(true) ? 1 : -1;
}

ZqwSymbolId ZqwCreateComponentSymbol(const ZqwMapInfo* map, ZqwObjectId parent, ZqwObjectId object,
                                     const char* type, const char* label, int status, int status_source,
                                     int behavior, unsigned int flags) {
    return guarded<ZqwSymbolId>(0, [&] {
        if (parent == 0 || object == 0 || flags != 0 || status < 0 || status > 7 || status_source < 1 ||
            status_source > 3 || behavior < 0 || behavior > 2 || (label != nullptr && std::strlen(label) > kMaxLabel))
            throw Fail{ZQW_E_BADARG};
        check_type_text(type);
        Transaction t(true);
        uint32_t id = writable_map(map);
        require_object(parent);
        require_object(object);
        uint32_t node = node_symbol_of(id, parent);
        if (node == 0) throw Fail{ZQW_E_NOSYMBOLONMAP};
        if (!type_registered(type)) throw Fail{ZQW_E_NOSYMBOLTYPE};
        uint32_t sym = insert_symbol(id, object, node, type, label, status_source,
                                     status_source == ZQW_SOURCE_SYMBOL ? status : 0,
                                     behavior == 0 ? ZQW_BEHAVIOR_EXPLODABLE : behavior);
        if (status != 0) set_object_status(id, object, status);
        t.commit();
        return sym;
    });
}

int ZqwDeleteSymbol(const ZqwMapInfo* map, ZqwSymbolId symbol) {
    return guarded(-1, [&] {
        Transaction t(true);
        uint32_t id = writable_map(map);
        stored_symbol(id, symbol);
        delete_symbol_rows(symbol);
        t.commit();
        return 1;
    });
}

int ZqwSetSymbolType(const ZqwMapInfo* map, ZqwSymbolId symbol, const char* type, int arg) {
    return set_attribute(
        map, symbol,
        [&] {
            check_type_text(type);
            if (arg != 0) throw Fail{ZQW_E_BADARG};
        },
        [&](const Stored& s) {
            if (!type_registered(type)) throw Fail{ZQW_E_NOSYMBOLTYPE};
            return s.type == type;
        },
        [&](const Stored&) {
            Query q("UPDATE symbols SET type = ? WHERE id = ?");
            q.bind(std::string(type)).bind(symbol);
            q.step();
        });
}

int ZqwSetSymbolLabel(const ZqwMapInfo* map, ZqwSymbolId symbol, const char* label) {
    return set_attribute(
        map, symbol,
        [&] {
            if (label != nullptr && std::strlen(label) > kMaxLabel) throw Fail{ZQW_E_BADARG};
        },
        [&](const Stored& s) {
            return label == nullptr ? !s.has_label : (s.has_label && s.label == label);
        },
        [&](const Stored&) {
            Query q("UPDATE symbols SET label = ? WHERE id = ?");
            if (label != nullptr) q.bind(std::string(label));
            else q.bind_null();
            q.bind(symbol);
            q.step();
        });
}

int ZqwSetSymbolStatusSource(const ZqwMapInfo* map, ZqwSymbolId symbol, int source) {
    return set_attribute(
        map, symbol,
        [&] {
            if (source < ZQW_SOURCE_OBJECT || source > ZQW_SOURCE_SYMBOL) throw Fail{ZQW_E_BADARG};
        },
        [&](const Stored& s) {
            return s.source == source;
        },
        [&](const Stored&) {
            Query q("UPDATE symbols SET source = ? WHERE id = ?");
            q.bind(source).bind(symbol);
            q.step();
        });
}

int ZqwSetSymbolStatus(const ZqwMapInfo* map, ZqwSymbolId symbol, int status) {
    return set_attribute(
        map, symbol,
        [&] {
            if (status < 0 || status > 7) throw Fail{ZQW_E_BADARG};
        },
        [&](const Stored& s) {
            return s.status == status;
        },
        [&](const Stored&) {
            Query q("UPDATE symbols SET status = ? WHERE id = ?");
            q.bind(status).bind(symbol);
            q.step();
        });
}

int ZqwSetSymbolBehavior(const ZqwMapInfo* map, ZqwSymbolId symbol, int behavior, const char* app,
                         const char* action, const ZqwObjectIdList* objects) {
    std::string ids;
    return set_attribute(
        map, symbol,
        [&] {
            if (behavior != ZQW_BEHAVIOR_EXPLODABLE && behavior != ZQW_BEHAVIOR_EXECUTABLE) throw Fail{ZQW_E_BADARG};
            if (behavior == ZQW_BEHAVIOR_EXPLODABLE) return;
            if (app == nullptr || action == nullptr) throw Fail{ZQW_E_BADARG};
            if (objects != nullptr && objects->count > 0 && objects->object_ids == nullptr) throw Fail{ZQW_E_BADARG};
            std::vector<uint32_t> list;
            for (unsigned i = 0; objects != nullptr && i < objects->count; ++i) {
                if (objects->object_ids[i] == 0) throw Fail{ZQW_E_BADARG};
                list.push_back(objects->object_ids[i]);
            }
            ids = encode_ids(list);
        },
        [&](const Stored& s) {
            if (behavior == ZQW_BEHAVIOR_EXPLODABLE) return s.behavior == behavior && s.action_app.empty();
            if (!app_registered(app)) throw Fail{ZQW_E_NOAPP};
            Query q("SELECT 1 FROM actions WHERE app = ? AND name = ?");
            q.bind(std::string(app)).bind(std::string(action));
            if (!q.step()) throw Fail{ZQW_E_NOACTION};
            return s.behavior == behavior && s.action_app == app && s.action == action && s.action_objects == ids;
        },
        [&](const Stored&) {
            Query q("UPDATE symbols SET behavior = ?, action_app = ?, action = ?, action_objects = ? WHERE id = ?");
            q.bind(behavior);
            if (behavior == ZQW_BEHAVIOR_EXECUTABLE) q.bind(std::string(app)).bind(std::string(action)).bind(ids);
            else q.bind_null().bind_null().bind_null();
            q.bind(symbol);
            q.step();
        });
}

int ZqwClearSymbolApp(const ZqwMapInfo* map, ZqwSymbolId symbol) {
    return guarded(-1, [&] {
        Transaction t(true);
        uint32_t id = writable_map(map);
        Stored s = stored_symbol(id, symbol);
        if (s.behavior != ZQW_BEHAVIOR_EXPLODABLE || !s.action_app.empty()) {
            Query q("UPDATE symbols SET behavior = 1, action_app = NULL, action = NULL, action_objects = NULL "
                    "WHERE id = ?");
            q.bind(symbol);
            q.step();
            log_change(id, symbol, s.object);
        }
        t.commit();
        return 1;
    });
}

int ZqwSetStatusOnObject(const ZqwMapInfo* map, ZqwObjectId object, int status) {
    return guarded(-1, [&] {
        if (status < 0 || status > 7) throw Fail{ZQW_E_BADARG};
        Transaction t(true);
        uint32_t id = writable_map(map);
        require_object(object);
        set_object_status(id, object, status);
        t.commit();
        return 1;
    });
}

ZqwFieldBindList* ZqwGetAppConfigValues(const ZqwMapInfo* map, const char* app) {
    return guarded<ZqwFieldBindList*>(nullptr, [&] {
        if (app == nullptr) app = current_app_name();
        if (app == nullptr) throw Fail{ZQW_E_NOAPP};
        Transaction t(false);
        uint32_t id = require_map(map);
        if (!app_registered(app)) throw Fail{ZQW_E_NOAPP};
        struct Entry {
            ZqwFieldId field;
            int type;
            bool has;
            Value v;
        };
        std::vector<Entry> entries;
        {
            Query q("SELECT f.id, f.type, c.value FROM config_fields cf JOIN fields f ON f.name = cf.field "
                    "LEFT JOIN app_config c ON c.map = ?1 AND c.app = cf.app AND c.field = f.id "
                    "WHERE cf.app = ?2 ORDER BY cf.pos");
            q.bind(id).bind(std::string(app));
            while (q.step()) {
                Entry e{static_cast<ZqwFieldId>(q.integer(0)), static_cast<int>(q.integer(1)), !q.is_null(2), {}};
                e.v.type = e.type;
                if (e.has) {
                    if (e.type == ZQW_STRING_FIELD) e.v.text = q.text(2);
                    else e.v.number = q.integer(2);
                }
                entries.push_back(std::move(e));
            }
        }
        t.commit();
        auto* list = static_cast<ZqwFieldBindList*>(std::calloc(1, sizeof(ZqwFieldBindList)));
        if (list == nullptr) throw std::bad_alloc();
        try {
            if (!entries.empty()) {
                list->entries = static_cast<ZqwFieldBinding*>(std::calloc(entries.size(), sizeof(ZqwFieldBinding)));
                if (list->entries == nullptr) throw std::bad_alloc();
            }
            for (const Entry& e : entries) {
                auto* v = static_cast<ZqwFieldValue*>(std::calloc(1, sizeof(ZqwFieldValue)));
                if (v == nullptr) throw std::bad_alloc();
                ZqwFieldBinding& b = list->entries[list->count++];
                b.field_id = e.field;
                b.value = v;
                v->field_type = e.type;
                switch (e.type) {
                    case ZQW_STRING_FIELD: v->un.string_val = heap_copy(e.v.text); break;
                    case ZQW_BOOL_FIELD: v->un.bool_val = e.v.number != 0 ? 1 : 0; break;
                    case ZQW_ENUM_FIELD: v->un.enum_val = static_cast<int32_t>(e.v.number); break;
                    default: v->un.int_val = static_cast<int32_t>(e.v.number); break;
                }
            }
        } catch (...) {
            ZqwDbFreeFieldBindList(list);
            throw;
        }
        return list;
    });
}

int ZqwSetAppConfigValues(const ZqwMapInfo* map, const ZqwFieldBindList* values) {
    return guarded(-1, [&] {
        const char* app = current_app_name();
        if (app == nullptr) throw Fail{ZQW_E_NOAPP};
        if (values == nullptr) throw Fail{ZQW_E_BADARG};
        Transaction t(true);
        uint32_t id = require_map(map);
        std::set<std::string> allowed = config_field_names(app);
        put_app_config(id, app, *values, &allowed);
        t.commit();
        return 1;
    });
}

}  // extern "C"
