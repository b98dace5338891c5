// conf/events.conf: what the map program's event store makes of each trap (a
// name, a category, a severity, a text, whether it makes an alarm), and the
// records the store keeps.  The format is described in zq/README.md ("Event
// configuration"); zqcheck reads the file with parse_events_conf.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zqsnmp.h"

namespace zq::ev {

// Severities, in rising order; 0 is not one.
enum Severity { kNormal = 1, kWarning, kMinor, kMajor, kCritical };
const char* severity_name(int severity);   // "Normal" .. "Critical"; "" for others
// A name, any case; false for anything else.
bool parse_severity(std::string_view text, int& out);

enum Action { kAlarm = 0, kLogOnly = 1, kIgnore = 2 };

struct Entry {
    std::vector<uint32_t> oid;       // the trap identifier, or the prefix
    bool prefix = false;             // "OID.*" (or "*": every trap)
    std::string name, category;
    int severity = kNormal;
    int action = kAlarm;
    std::vector<std::string> clears; // names of the alarms a Normal event of this entry clears
    std::string text;                // the text template ($1, $A, $*, ...)
    int line = 0;
};

struct Conf {
    std::vector<Entry> entries;
    // The entry for a trap identifier: the exact one, else the longest prefix;
    // null when none matches.
    const Entry* match(const std::vector<uint32_t>& trap_id) const;
};

// Parses the text of an events.conf; file names the errors ("FILE:LINE: ...").
// Lines in error are left out; false when errors is not empty.
bool parse_events_conf(std::string_view text, const std::string& file, Conf& out, std::vector<std::string>& errors);
// Reads and parses a file.  A missing file is an empty configuration (true).
bool load_events_conf(const std::string& file, Conf& out, std::vector<std::string>& errors);

// One variable binding as the store keeps it: the value as text, or hex for
// bytes that are not printable text.
struct Binding {
    std::string oid, type, value;
    bool hex = false;
};

// One event, as received and as classified.
struct Event {
    int64_t id = 0;
    int64_t time_ms = 0;             // when the map program received it (UTC, ms)
    int version = 0;                 // 0 SNMPv1, 1 SNMPv2c
    std::string trap_id, enterprise, agent, community;
    std::vector<uint32_t> trap_oid;
    int generic = 0, specific = 0;
    uint32_t timestamp = 0;
    std::vector<Binding> bindings;   // as received; events read from the store have bindings_json instead
    std::string bindings_json;
    // Filled by the store.
    uint32_t node = 0;
    std::string node_name;
    std::string name, category, text;
    int severity = kNormal;
    int action = kAlarm;
    std::vector<std::string> clears;
    int64_t alarm = 0;
};

// "INTEGER", "OCTET STRING", ... for a ZQ_ASN_* type; "unknown" for others.
const char* type_name(unsigned char type);

// The received part of an event from a delivered trap (time_ms is left alone).
// An OCTET STRING is text when every byte is printable ASCII, tab, CR or LF,
// else hex; Opaque is always hex.
void event_from_pdu(const ZqPdu* p, Event& ev);

// Fills name, category, severity, action, clears and text from the entry that
// matches (defaults when none: name "Trap", category "Other", Normal, the text
// "$O from $A: $*").
void classify(const Conf& conf, Event& ev);
// Expands a text template: $1..$99 a binding's value, $A the agent address, $N
// the node's name (the agent address when the node is unknown), $O the trap
// identifier, $E the enterprise, $G and $S generic and specific, $C the
// community, $* every binding as OID=VALUE, $$ a dollar.  Cut at 4 KiB.
std::string expand_text(std::string_view tmpl, const Event& ev);

}  // namespace zq::ev
