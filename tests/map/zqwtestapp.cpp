// A small map application for the tests: connects, registers callbacks and
// actions, and writes one line per thing it receives to standard output (which
// the map program sends to log/APP.out).
//
//   zqwtestapp              every event, the actions of its registration
//   zqwtestapp --hang       connects, registers for event 3, then never reads
//   zqwtestapp --refuse     answers configuration queries with a refusal
#include <sys/select.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zqw.h"

namespace {

bool g_refuse = false;

std::string values_text(const ZqwFieldBindList* v) {
    std::string s;
    for (unsigned i = 0; v != nullptr && i < v->count; ++i) {
        const ZqwFieldValue* val = v->entries[i].value;
        if (i) s += ",";
        s += std::to_string(v->entries[i].field_id) + "=";
        if (val == nullptr) continue;
        switch (val->field_type) {
        case ZQW_STRING_FIELD: s += val->un.string_val ? val->un.string_val : ""; break;
        case ZQW_BOOL_FIELD: s += val->un.bool_val ? "TRUE" : "FALSE"; break;
        default: s += std::to_string(val->un.int_val); break;
        }
    }
    return s;
}

void on_event(void* data, int event, ZqwMapInfo* map, void* ev) {
    std::string line = "event " + std::to_string(event);
    if (data != nullptr) line += " reg=" + std::string(static_cast<const char*>(data));
    line += " map=" + std::string(map && map->name ? map->name : "?");
    switch (event) {
    case ZQW_EVENT_QUERY_APP_CONFIG:
    case ZQW_EVENT_CONFIRM_APP_CONFIG:
        line += " values=" + values_text(static_cast<ZqwFieldBindList*>(ev));
        break;
    case ZQW_EVENT_DELETE_OBJECTS:
    case ZQW_EVENT_CONFIRM_MANAGE_OBJECTS: {
        auto* l = static_cast<ZqwObjectList*>(ev);
        line += " objects=";
        for (unsigned i = 0; i < l->count; ++i)
            line += (i ? "," : "") + std::to_string(l->entries[i].object) + ":" +
                    (l->entries[i].hostname ? l->entries[i].hostname : "") + ":" + std::to_string(l->entries[i].state);
        break;
    }
    case ZQW_EVENT_CONFIRM_CREATE_SYMBOLS: {
        auto* l = static_cast<ZqwSymbolList*>(ev);
        line += " objects=";
        for (unsigned i = 0; i < l->count; ++i)
            line += (i ? "," : "") + std::to_string(l->entries[i].object) + ":" + l->entries[i].type;
        break;
    }
    default: break;
    }
    printf("%s\n", line.c_str());
    fflush(stdout);
    if (event == ZQW_EVENT_QUERY_APP_CONFIG) {
        std::string msg = g_refuse ? "refused" : "checked " + values_text(static_cast<ZqwFieldBindList*>(ev));
        ZqwVerifyAppConfigChange(map, static_cast<ZqwFieldBindList*>(ev), g_refuse ? 0 : 1, msg.c_str());
    }
    if (event == ZQW_EVENT_EXIT) {
        ZqwDone();
        exit(0);
    }
}

void on_action(void*, const char* action, const char* item, ZqwObjectIdList* sel, int argc, char** argv,
               ZqwMapInfo*) {
    std::string line = std::string("action ") + action + " item=" + item + " sel=";
    for (unsigned i = 0; i < sel->count; ++i) line += (i ? "," : "") + std::to_string(sel->object_ids[i]);
    line += " args=";
    for (int i = 0; i < argc; ++i) line += (i ? "," : "") + std::string(argv[i]);
    printf("%s\n", line.c_str());
    fflush(stdout);
}

ZqwFieldBindList* filter_on(const char* field) {
    static ZqwFieldValue yes{0, ZQW_BOOL_FIELD, {1}};
    auto* l = static_cast<ZqwFieldBindList*>(calloc(1, sizeof(ZqwFieldBindList)));
    l->count = 1;
    l->entries = static_cast<ZqwFieldBinding*>(calloc(1, sizeof(ZqwFieldBinding)));
    l->entries[0].field_id = ZqwDbFieldNameToFieldId(field);
    l->entries[0].value = &yes;
    return l;
}

void free_filter(ZqwFieldBindList* l) {
    free(l->entries);
    free(l);
}

}  // namespace

int main(int argc, char** argv) {
    bool hang = argc > 1 && strcmp(argv[1], "--hang") == 0;
    g_refuse = argc > 1 && strcmp(argv[1], "--refuse") == 0;
    if (_ZqwInit(7) < 0) {
        printf("init failed %d\n", ZqwError());
        return 4;
    }
    if (hang) {
        ZqwAddCallback(ZQW_EVENT_MAP_OPEN, nullptr, on_event, nullptr);
        printf("ready hang\n");
        fflush(stdout);
        for (;;) pause();
    }
    for (int e : {ZQW_EVENT_EXIT, ZQW_EVENT_MAP_OPEN, ZQW_EVENT_QUERY_APP_CONFIG, ZQW_EVENT_CONFIRM_APP_CONFIG,
                  ZQW_EVENT_DELETE_OBJECTS, ZQW_EVENT_CONFIRM_MANAGE_OBJECTS})
        if (ZqwAddCallback(e, nullptr, on_event, nullptr) != 0) printf("register %d failed %d\n", e, ZqwError());
    // Two filtered registrations: servers, and computers (servers are computers too).
    static char servers[] = "servers", computers[] = "computers";
    ZqwFieldBindList* f1 = filter_on("isServer");
    ZqwFieldBindList* f2 = filter_on("isComputer");
    if (ZqwAddCallback(ZQW_EVENT_CONFIRM_CREATE_SYMBOLS, f1, on_event, servers) != 0 ||
        ZqwAddCallback(ZQW_EVENT_CONFIRM_CREATE_SYMBOLS, f2, on_event, computers) != 0)
        printf("register 17 failed %d\n", ZqwError());
    free_filter(f1);
    free_filter(f2);
    if (ZqwAddActionCallback("Test Action", on_action, nullptr) != 0) printf("action failed %d\n", ZqwError());
    // Not in the registration: refused with 32.
    if (ZqwAddActionCallback("No Such Action", on_action, nullptr) == 0 || ZqwError() != ZQW_E_NOACTION)
        printf("unregistered action accepted\n");
    ZqwMapInfo* m = ZqwGetMapInfo();
    printf("ready app=%s map=%s ro=%d\n", ZqwGetAppName(), m ? m->name : "?", m ? m->read_only : -1);
    fflush(stdout);
    ZqwFreeMapInfo(m);
    int fd = ZqwFileDescriptor();
    for (;;) {
        fd_set rs;
        FD_ZERO(&rs);
        FD_SET(fd, &rs);
        if (select(fd + 1, &rs, nullptr, nullptr, nullptr) < 0) continue;
        if (ZqwProcessEvent() < 0) {
            printf("gone %d\n", ZqwError());
            fflush(stdout);
            ZqwDone();
            return 3;
        }
    }
}
