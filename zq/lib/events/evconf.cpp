#include "evconf.h"

#include <cerrno>
#include <cstring>
#include <map>

#include "zqcommon.h"

namespace zq::ev {

namespace {

constexpr size_t kMaxText = 4096;
const char* const kSeverities[] = {"", "Normal", "Warning", "Minor", "Major", "Critical"};

std::string where(const std::string& file, int line) { return file + ":" + std::to_string(line) + ": "; }

// Words separated by blanks; double quotes group (\" and \\ inside).  False on
// an unclosed quote.
bool split_words(std::string_view line, std::vector<std::string>& words) {
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string w;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char c = line[i++];
                if (c == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\')) {
                    w += line[i++];
                } else if (c == '"') {
                    closed = true;
                    break;
                } else {
                    w += c;
                }
            }
            if (!closed) return false;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') w += line[i++];
        }
        words.push_back(w);
    }
    return true;
}

bool name_word(const std::string& s) {
    if (s.empty() || s.size() > 64) return false;
    for (unsigned char c : s)
        if (!std::isalnum(c) && c != '_' && c != '-' && c != '.') return false;
    return true;
}

bool printable_text(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

// Strictly below: "X.*" is what lies under X, not X itself.
bool starts_with(const std::vector<uint32_t>& oid, const std::vector<uint32_t>& prefix) {
    if (prefix.size() >= oid.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (oid[i] != prefix[i]) return false;
    return true;
}

}  // namespace

const char* severity_name(int s) { return s >= kNormal && s <= kCritical ? kSeverities[s] : ""; }

bool parse_severity(std::string_view text, int& out) {
    for (int s = kNormal; s <= kCritical; ++s)
        if (text.size() == std::strlen(kSeverities[s]) && strncasecmp(text.data(), kSeverities[s], text.size()) == 0) {
            out = s;
            return true;
        }
    return false;
}

const Entry* Conf::match(const std::vector<uint32_t>& trap_id) const {
    const Entry* best = nullptr;
    for (const auto& e : entries) {
        if (!e.prefix) {
            if (e.oid == trap_id) return &e;  // an exact entry wins over every prefix
            continue;
        }
        if (starts_with(trap_id, e.oid) && (best == nullptr || e.oid.size() > best->oid.size())) best = &e;
    }
    return best;
}

bool parse_events_conf(std::string_view text, const std::string& file, Conf& out, std::vector<std::string>& errors) {
    size_t first_error = errors.size();
    out.entries.clear();
    std::map<std::pair<std::vector<uint32_t>, bool>, int> seen;
    ConfLines lines(text);
    for (std::string_view line; lines.next(line);) {
        int lineno = lines.lineno();
        auto bad = [&](const std::string& why) { errors.push_back(where(file, lineno) + why); };
        std::vector<std::string> w;
        if (!split_words(line, w)) {
            bad("a double quote is not closed");
            continue;
        }
        if (w.size() < 5) {
            bad("expected PATTERN NAME CATEGORY SEVERITY [log-only|ignore] [clears=NAME,...] \"TEXT\"");
            continue;
        }
        Entry e;
        e.line = lineno;
        std::string pat = w[0];
        if (pat == "*" || pat == ".*") {
            e.prefix = true;
        } else {
            if (pat.size() > 2 && pat.compare(pat.size() - 2, 2, ".*") == 0) {
                e.prefix = true;
                pat.resize(pat.size() - 2);
            }
            if (!parse_oid(expand_arcs(pat), e.oid) || e.oid.empty()) {
                bad("'" + w[0] + "' is not a trap identifier (dotted, ENT. or ZENT. allowed) or a prefix ending in .*");
                continue;
            }
        }
        if (!name_word(w[1])) {
            bad("the name '" + w[1] + "' must be 1 to 64 letters, digits, '_', '-' or '.'");
            continue;
        }
        if (!name_word(w[2])) {
            bad("the category '" + w[2] + "' must be 1 to 64 letters, digits, '_', '-' or '.'");
            continue;
        }
        e.name = w[1];
        e.category = w[2];
        if (!parse_severity(w[3], e.severity)) {
            bad("unknown severity '" + w[3] + "' (Normal, Warning, Minor, Major or Critical)");
            continue;
        }
        bool ok = true;
        for (size_t i = 4; i + 1 < w.size() && ok; ++i) {
            const std::string& o = w[i];
            if (o == "log-only" || o == "ignore") {
                if (e.action != kAlarm) {
                    bad("log-only and ignore exclude each other");
                    ok = false;
                }
                e.action = o == "ignore" ? kIgnore : kLogOnly;
            } else if (o.rfind("clears=", 0) == 0) {
                for (auto& n : list_items(std::string_view(o).substr(7))) {
                    if (!name_word(n)) {
                        bad("clears= wants event names, not '" + n + "'");
                        ok = false;
                    }
                    e.clears.push_back(n);
                }
                if (ok && e.clears.empty()) {
                    bad("clears= wants event names");
                    ok = false;
                }
            } else {
                bad("unknown option '" + o + "' (log-only, ignore, clears=NAME,...; the text goes last, in quotes)");
                ok = false;
            }
        }
        if (!ok) continue;
        if (!e.clears.empty() && e.severity != kNormal) {
            bad("only a Normal event clears alarms (clears= with severity " + w[3] + ")");
            continue;
        }
        e.text = w.back();
        if (e.text.size() > kMaxText || !printable_text(e.text)) {
            bad("the text must be printable and at most 4096 bytes");
            continue;
        }
        auto key = std::make_pair(e.oid, e.prefix);
        if (auto s = seen.find(key); s != seen.end()) {
            bad("'" + w[0] + "' is given twice (also on line " + std::to_string(s->second) + ")");
            continue;
        }
        seen[key] = lineno;
        out.entries.push_back(std::move(e));
    }
    return errors.size() == first_error;
}

bool load_events_conf(const std::string& file, Conf& out, std::vector<std::string>& errors) {
    std::string text, why;
    out.entries.clear();
    if (!read_regular(file, text, &why)) {
        if (errno == ENOENT) return true;
        errors.push_back(why);
        return false;
    }
    return parse_events_conf(text, file, out, errors);
}

void classify(const Conf& conf, Event& ev) {
    const Entry* e = conf.match(ev.trap_oid);
    if (e == nullptr) {
        ev.name = "Trap";
        ev.category = "Other";
        ev.severity = kNormal;
        ev.action = kAlarm;
        ev.clears.clear();
        ev.text = expand_text("$O from $A: $*", ev);
        return;
    }
    ev.name = e->name;
    ev.category = e->category;
    ev.severity = e->severity;
    ev.action = e->action;
    ev.clears = e->clears;
    ev.text = expand_text(e->text, ev);
}

const char* type_name(unsigned char t) {
    switch (t) {
        case ZQ_ASN_INTEGER: return "INTEGER";
        case ZQ_ASN_OCTET_STR: return "OCTET STRING";
        case ZQ_ASN_NULL: return "NULL";
        case ZQ_ASN_OBJECT_ID: return "OBJECT IDENTIFIER";
        case ZQ_ASN_IPADDRESS: return "IpAddress";
        case ZQ_ASN_COUNTER: return "Counter32";
        case ZQ_ASN_GAUGE: return "Gauge32";
        case ZQ_ASN_TIMETICKS: return "TimeTicks";
        case ZQ_ASN_OPAQUE: return "Opaque";
        case ZQ_ASN_COUNTER64: return "Counter64";
        default: return "unknown";
    }
}

namespace {

std::string hex_of(const unsigned char* s, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string h;
    for (size_t i = 0; s && i < n; ++i) {
        h += digits[s[i] >> 4];
        h += digits[s[i] & 15];
    }
    return h;
}

}  // namespace

void event_from_pdu(const ZqPdu* p, Event& ev) {
    ev.version = p->version;
    ev.community.assign(p->community ? reinterpret_cast<const char*>(p->community) : "", p->community ? p->community_len : 0);
    ev.enterprise = p->enterprise ? oid_to_string(p->enterprise, p->enterprise_length) : "";
    ev.trap_oid.assign(p->trap_id, p->trap_id ? p->trap_id + p->trap_id_length : p->trap_id);
    ev.trap_id = oid_to_string(ev.trap_oid);
    ev.agent = addr_to_string(p->agent_addr);
    ev.generic = p->trap_type;
    ev.specific = p->specific_type;
    ev.timestamp = p->time;
    ev.bindings.clear();
    for (const ZqVarBind* vb = p->variables; vb; vb = vb->next_variable) {
        Binding b;
        b.oid = vb->name ? oid_to_string(vb->name, vb->name_length) : "";
        b.type = type_name(vb->type);
        switch (vb->type) {
            case ZQ_ASN_INTEGER: b.value = std::to_string(vb->val.integer ? *vb->val.integer : 0); break;
            case ZQ_ASN_COUNTER:
            case ZQ_ASN_GAUGE:
            case ZQ_ASN_TIMETICKS:
                b.value = std::to_string(vb->val.integer ? static_cast<uint32_t>(*vb->val.integer) : 0u);
                break;
            case ZQ_ASN_COUNTER64: b.value = std::to_string(vb->val.counter64 ? *vb->val.counter64 : 0u); break;
            case ZQ_ASN_NULL: break;
            case ZQ_ASN_OBJECT_ID: b.value = vb->val.objid ? oid_to_string(vb->val.objid, vb->val_len) : ""; break;
            case ZQ_ASN_IPADDRESS:
                b.value = vb->val.string && vb->val_len == 4 ? addr_to_string(vb->val.string) : "";
                break;
            case ZQ_ASN_OCTET_STR: {
                bool text = true;
                for (size_t i = 0; vb->val.string && i < vb->val_len && text; ++i) {
                    unsigned char c = vb->val.string[i];
                    text = (c >= 0x20 && c <= 0x7e) || c == '\t' || c == '\n' || c == '\r';
                }
                if (text && vb->val.string) b.value.assign(reinterpret_cast<const char*>(vb->val.string), vb->val_len);
                else if (!text) b.value = hex_of(vb->val.string, vb->val_len), b.hex = true;
                break;
            }
            default: b.value = hex_of(vb->val.string, vb->val_len), b.hex = true;
        }
        ev.bindings.push_back(std::move(b));
    }
}

std::string expand_text(std::string_view t, const Event& ev) {
    std::string out;
    auto binding_text = [](const Binding& b) { return b.hex ? "0x" + b.value : b.value; };
    for (size_t i = 0; i < t.size() && out.size() < kMaxText; ++i) {
        char c = t[i];
        if (c != '$' || i + 1 >= t.size()) {
            out += c;
            continue;
        }
        char n = t[i + 1];
        if (n >= '0' && n <= '9') {
            size_t j = i + 1;
            int k = 0;
            while (j < t.size() && j < i + 3 && t[j] >= '0' && t[j] <= '9') k = k * 10 + (t[j++] - '0');
            if (k >= 1 && static_cast<size_t>(k) <= ev.bindings.size()) out += binding_text(ev.bindings[k - 1]);
            i = j - 1;
            continue;
        }
        ++i;
        switch (n) {
            case 'A': out += ev.agent; break;
            case 'N': out += ev.node_name.empty() ? ev.agent : ev.node_name; break;
            case 'O': out += ev.trap_id; break;
            case 'E': out += ev.enterprise; break;
            case 'G': out += std::to_string(ev.generic); break;
            case 'S': out += std::to_string(ev.specific); break;
            case 'C': out += ev.community; break;
            case '$': out += '$'; break;
            case '*':
                for (size_t k = 0; k < ev.bindings.size(); ++k) {
                    if (k) out += ' ';
                    out += ev.bindings[k].oid + "=" + binding_text(ev.bindings[k]);
                }
                break;
            default:
                out += '$';
                out += n;
        }
    }
    if (out.size() > kMaxText) out.resize(kMaxText);
    return out;
}

}  // namespace zq::ev
