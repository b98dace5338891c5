// trvmapbench: the helper of bench/trvmap/run.
//
//   trvmapbench populate N    adds N vendor servers (not yet marked
//   isTrvVantor),
//                             each with one WEB_ENABLED subsystem object, and
//                             the running marker, to the database of $ZQ_ROOT
//   trvmapbench nodes N       waits until the map "default" has N node symbols
//   trvmapbench pass N [R]    marks the nodes isTrvVantor; then R times (3):
//   takes
//                             the chips and node types away, sends
//                             EVT_NODE_CHANGED without values and times
//                             trvmap's pass until the last node's chip is there
//                             (creation pass); sets every subsystem Marginal,
//                             sends it again and times until the last chip
//                             shows it (update pass)
//   trvmapbench baseline N [R]  with the map program stopped, R times: takes
//   the
//                             chips and node types away, then makes the same
//                             map calls as trvmap's creation pass, directly in
//                             this process
//
// The best time of the rounds is printed in seconds, one line each: "creation
// S", "update S", "baseline S".
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "trvlib.h"
#include "zqw_internal.h"

namespace {

const char kUsage[] =
    "usage: trvmapbench populate N | nodes N | pass N "
    "[ROUNDS] | baseline N [ROUNDS]\n";

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void sleep_ms(int ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "trvmapbench: %s: %s\n", what, ZqwErrorMsg(ZqwError()));
    exit(1);
}

ZqwFieldId field(const char* name) {
    ZqwFieldId id = ZqwDbFieldNameToFieldId(name);
    if (id == 0) fail(name);
    return id;
}

// The benchmark's nodes and their subsystem objects, in id order.
struct Nodes {
    std::vector<ZqwObjectId> nodes, subsystems;
};

Nodes load(int n) {
    Nodes out;
    for (int i = 0; i < n; ++i) {
        std::string host = "vb" + std::to_string(i);
        ZqwObjectId node = ZqwDbHostnameToObjectId(host.c_str());
        if (node == 0) fail(host.c_str());
        ZqwFieldValue id{};
        id.field_type = ZQW_INT_FIELD;
        id.un.int_val = static_cast<int32_t>(node);
        ZqwObjectIdList* subs = ZqwDbListObjectsByFieldValue(field("trvNodeObjId"), &id);
        if (subs == nullptr || subs->count != 1) fail("subsystem");
        out.nodes.push_back(node);
        out.subsystems.push_back(subs->object_ids[0]);
        ZqwDbFreeObjectIdList(subs);
    }
    return out;
}

ZqwMapInfo map_record(std::string& name) {
    zq::zqw::MapRow row;
    name = "default";
    if (!zq::zqw::find_map(name, row)) fail("map default");
    ZqwMapInfo m{};
    m.name = name.data();
    m.map_id = row.id;
    return m;
}

int populate(int n) {
    if (!zq::zqw::begin_bulk()) fail("bulk");
    ZqwFieldValue yes = stBoolValue(1), no = stBoolValue(0);
    ZqwFieldId is_node = field("isNode"), is_computer = field("isComputer"), is_server = field("isServer"),
               is_device = field("isDevice"), vantor = field("isTrvVantor"), host = field("IP Hostname"),
               status = field("IP Status"), sys = field("trvSysType"), os = field("trvOsType"),
               sub_type = field("trvSubSysType"), dev_status = field("trvDeviceStatus"),
               node_id = field("trvNodeObjId");
    for (int i = 0; i < n; ++i) {
        std::string name = "vb" + std::to_string(i);
        ZqwFieldValue h{}, s{}, c{}, o{};
        h.field_type = ZQW_STRING_FIELD;
        h.un.string_val = name.data();
        s.field_type = ZQW_ENUM_FIELD;
        s.un.enum_val = ZqwDbGetEnumValue(status, "Normal");
        c.field_type = ZQW_ENUM_FIELD;
        c.un.enum_val = ZqwDbGetEnumValue(sys, "TrvServer");
        char ntsrvr[] = "ntsrvr";
        o.field_type = ZQW_STRING_FIELD;
        o.un.string_val = ntsrvr;
        ZqwFieldBinding b[] = {{is_node, &yes}, {is_computer, &yes}, {is_server, &yes}, {vantor, &no},
                               {host, &h},      {status, &s},        {sys, &c},         {os, &o}};
        ZqwFieldBindList list = {8, b};
        ZqwObjectId node = ZqwDbCreateObject(&list);
        if (node == 0) fail("node");
        ZqwFieldValue t{}, d{}, id{};
        t.field_type = ZQW_ENUM_FIELD;
        t.un.enum_val = ZqwDbGetEnumValue(sub_type, "WEB_ENABLED");
        d.field_type = ZQW_ENUM_FIELD;
        d.un.enum_val = ZqwDbGetEnumValue(dev_status, "Normal");
        id.field_type = ZQW_INT_FIELD;
        id.un.int_val = static_cast<int32_t>(node);
        ZqwFieldBinding sb[] = {
            {is_computer, &no}, {is_device, &yes}, {sub_type, &t}, {dev_status, &d}, {node_id, &id}};
        ZqwFieldBindList slist = {5, sb};
        if (ZqwDbCreateObject(&slist) == 0) fail("subsystem");
    }
    if (ZqwDbCreateObjectBySelectionName(TRV_RUNNING_MARKER) == 0 && ZqwError() != ZQW_E_EXISTS) fail("marker");
    if (!zq::zqw::end_bulk(true)) fail("commit");
    return 0;
}

int wait_nodes(int n) {
    std::string name;
    ZqwMapInfo map = map_record(name);
    ZqwFieldValue yes = stBoolValue(1);
    ZqwFieldBinding b = {field("isNode"), &yes};
    ZqwFieldBindList filter = {1, &b};
    for (int i = 0; i < 6000; ++i) {
        ZqwObjectList* l = ZqwListObjectsOnMap(&map, &filter);
        unsigned count = l ? l->count : 0;
        ZqwFreeObjectList(l);
        if (count >= static_cast<unsigned>(n)) return 0;
        sleep_ms(50);
    }
    fprintf(stderr, "trvmapbench: the map program did not draw the nodes\n");
    return 1;
}

void send_node_changed() {
    ZqPdu* pdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    const TrvEventDef* def = pGetEventDef(EVT_NODE_CHANGED);
    if (iSendInternalEvent(pdu, def->aEnterprise, TRV_EVENT_OID_LEN, 6, EVT_NODE_CHANGED) != 1) fail("event");
    ZqsnmpFreePdu(pdu);
}

// Waits until the chip of the subsystem satisfies done; false after 10 minutes.
template <typename Done>
bool wait_chip(const ZqwMapInfo& map, ZqwObjectId subsystem, Done done) {
    for (int i = 0; i < 600000; ++i) {
        ZqwSymbolList* l = ZqwGetSymbolsByObject(&map, subsystem);
        bool ok = l != nullptr && l->count > 0 && done(l->entries[0]);
        ZqwFreeSymbolList(l);
        if (ok) return true;
        sleep_ms(1);
    }
    return false;
}

// Back to the state before a creation pass: no chips, the map program's node
// types, every subsystem Normal (not timed).
void reset(ZqwMapInfo& map, const Nodes& ids) {
    ZqwFieldId dev_status = field("trvDeviceStatus");
    ZqwBeginMapSync(&map);
    for (size_t i = 0; i < ids.nodes.size(); ++i) {
        ZqwSymbolList* l = ZqwGetSymbolsByObject(&map, ids.subsystems[i]);
        for (unsigned k = 0; l != nullptr && k < l->count; ++k) ZqwDeleteSymbol(&map, l->entries[k].symbol);
        ZqwFreeSymbolList(l);
        ZqwSetStatusOnObject(&map, ids.subsystems[i], 0);
        l = ZqwGetSymbolsByObject(&map, ids.nodes[i]);
        for (unsigned k = 0; l != nullptr && k < l->count; ++k) {
            ZqwSetSymbolType(&map, l->entries[k].symbol, "Server:Generic", 0);
            ZqwSetSymbolStatusSource(&map, l->entries[k].symbol, 1);
        }
        ZqwFreeSymbolList(l);
        ZqwDbSetFieldEnumByName(ids.subsystems[i], dev_status, "Normal");
    }
    ZqwEndMapSync(&map);
}

int pass(int n, int rounds) {
    Nodes ids = load(n);
    std::string name;
    ZqwMapInfo map = map_record(name);
    ZqwFieldId vantor = field("isTrvVantor"), dev_status = field("trvDeviceStatus");
    if (!zq::zqw::begin_bulk()) fail("bulk");
    for (ZqwObjectId node : ids.nodes)
        if (ZqwDbSetFieldBooleanValue(node, vantor, 1) != 1) fail("isTrvVantor");
    if (!zq::zqw::end_bulk(true)) fail("commit");

    // The best of a few rounds: the machine is shared.
    double creation = 1e9, update = 1e9;
    for (int round = 0; round < rounds; ++round) {
        reset(map, ids);
        double t0 = now();
        send_node_changed();
        if (!wait_chip(map, ids.subsystems.back(), [](const ZqwSymbolInfo& s) { return s.behavior == 2; }))
            fail("creation pass");
        creation = std::min(creation, now() - t0);

        if (!zq::zqw::begin_bulk()) fail("bulk");
        for (ZqwObjectId sub : ids.subsystems)
            if (ZqwDbSetFieldEnumByName(sub, dev_status, "Marginal") != 1) fail("trvDeviceStatus");
        if (!zq::zqw::end_bulk(true)) fail("commit");
        t0 = now();
        send_node_changed();
        if (!wait_chip(map, ids.subsystems.back(), [](const ZqwSymbolInfo& s) { return s.status == 3; }))
            fail("update pass");
        update = std::min(update, now() - t0);
    }
    printf("creation %.3f\nupdate %.3f\n", creation, update);
    return 0;
}

// The managed test as the integration makes it: the symbol's information.
bool managed(const ZqwMapInfo* map, ZqwSymbolId symbol) {
    ZqwSymbolInfo* info = ZqwGetSymbolInfo(map, symbol);
    bool yes = info != nullptr && info->status != 5;
    ZqwFreeSymbolInfo(info);
    return yes;
}

int baseline(int n, int rounds) {
    Nodes ids = load(n);
    std::string name;
    ZqwMapInfo map = map_record(name);
    ZqwFieldId status = field("IP Status"), sys = field("trvSysType"), os = field("trvOsType"),
               is_server = field("isServer"), is_client = field("isClient"), is_computer = field("isComputer"),
               sub_type = field("trvSubSysType"), dev_status = field("trvDeviceStatus"),
               node_id = field("trvNodeObjId"), vantor = field("isTrvVantor");

    double best = 1e9;
    for (int round = 0; round < rounds; ++round) {
        reset(map, ids);
        double t0 = now();
        ZqwBeginMapSync(&map);
        ZqwFieldValue yes = stBoolValue(1);
        ZqwFieldBinding b = {vantor, &yes};
        ZqwFieldBindList filter = {1, &b};
        ZqwObjectList* on_map = ZqwListObjectsOnMap(&map, &filter);
        if (on_map == nullptr) fail("list");
        for (unsigned i = 0; i < on_map->count; ++i) {
            ZqwObjectId node = on_map->entries[i].object;
            free(ZqwDbGetFieldEnumByName(node, status));
            free(ZqwDbObjectIdToHostname(node));
            ZqwSymbolList* syms = ZqwGetSymbolsByObject(&map, node);
            if (syms == nullptr) continue;
            char* cls = ZqwDbGetFieldEnumByName(node, sys);
            char* tag = ZqwDbGetFieldStringValue(node, os);
            int server = ZqwDbGetFieldBooleanValue(node, is_server);
            ZqwDbGetFieldBooleanValue(node, is_client);
            ZqwDbGetFieldBooleanValue(node, is_computer);
            std::string type = std::string(server == 1 ? "Server" : "Computer") + ":" + cls + "-" + tag;
            free(cls);
            free(tag);
            for (unsigned k = 0; k < syms->count; ++k) {
                if (!managed(&map, syms->entries[k].symbol)) continue;
                ZqwSetSymbolType(&map, syms->entries[k].symbol, type.c_str(), 0);
                ZqwSetSymbolStatusSource(&map, syms->entries[k].symbol, 2);
            }
            ZqwFreeSymbolList(syms);

            char* host = ZqwDbObjectIdToHostname(node);
            ZqwObjectId by_name = ZqwDbHostnameToObjectId(host);
            free(host);
            ZqwFieldValue id{};
            id.field_type = ZQW_INT_FIELD;
            id.un.int_val = static_cast<int32_t>(by_name);
            ZqwObjectIdList* subs = ZqwDbListObjectsByFieldValue(node_id, &id);
            for (unsigned s = 0; subs != nullptr && s < subs->count; ++s) {
                ZqwObjectId sub = subs->object_ids[s];
                ZqwSymbolList* sub_syms = ZqwGetSymbolsByObject(&map, sub);
                char* kind = ZqwDbGetFieldEnumByName(sub, sub_type);
                char* cond = ZqwDbGetFieldEnumByName(sub, dev_status);
                int code = iStatusNameToCode(cond);
                free(cond);
                std::string chip = std::string("TrvDevice:") + kind, action = std::string("Action_") + kind;
                ZqwSymbolList* node_syms = ZqwGetSymbolsByObject(&map, node);
                ZqwSymbolId node_sym = node_syms->entries[0].symbol;
                managed(&map, node_sym);
                ZqwCreateComponentSymbol(&map, node, sub, chip.c_str(), "Vantor Agents", code, 1, 0, 0);
                ZqwFreeSymbolList(sub_syms);
                sub_syms = ZqwGetSymbolsByObject(&map, sub);
                ZqwFreeSymbolInfo(ZqwGetSymbolInfo(&map, node_sym));
                free(ZqwDbGetFieldStringValue(node, os));
                ZqwFreeSymbolList(node_syms);
                ZqwObjectId pair[2] = {node, sub};
                ZqwObjectIdList objects = {2, pair};
                for (unsigned k = 0; sub_syms != nullptr && k < sub_syms->count; ++k) {
                    if (!managed(&map, sub_syms->entries[k].symbol)) continue;
                    ZqwSetSymbolBehavior(&map, sub_syms->entries[k].symbol, 2, "Velm Sub-system Summary",
                                         action.c_str(), &objects);
                    ZqwSetSymbolLabel(&map, sub_syms->entries[k].symbol, "Vantor Agents");
                }
                ZqwFreeSymbolList(sub_syms);
                free(kind);
            }
            ZqwDbFreeObjectIdList(subs);
        }
        ZqwFreeObjectList(on_map);
        ZqwEndMapSync(&map);
        best = std::min(best, now() - t0);

        ZqwSymbolList* last = ZqwGetSymbolsByObject(&map, ids.subsystems.back());
        bool ok = last != nullptr && last->count == 1 && last->entries[0].behavior == 2;
        ZqwFreeSymbolList(last);
        if (!ok) fail("baseline did not draw the last chip");
    }
    printf("baseline %.3f\n", best);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        fputs(kUsage, stderr);
        return 2;
    }
    int n = atoi(argv[2]);
    if (n <= 0) {
        fputs(kUsage, stderr);
        return 2;
    }
    int rounds = argc == 4 ? atoi(argv[3]) : 3;
    if (rounds <= 0) rounds = 1;
    szProgramName = "trvmapbench";
    if (ZqwDbInit() != 0) fail("database");
    std::string mode = argv[1];
    if (mode != "populate" && iGetFieldIds() != 1) fail("fields");
    if (mode == "populate") return populate(n);
    if (mode == "nodes") return wait_nodes(n);
    if (mode == "pass") return pass(n, rounds);
    if (mode == "baseline") return baseline(n, rounds);
    fputs(kUsage, stderr);
    return 2;
}
