// What a request session with a host would use, for tools that show it (the
// address conf/hosts or the resolver gives, and conf/snmp.conf's settings).
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "internal.h"
#include "zqcommon.h"

using namespace zq::snmp;

extern "C" {

int ZqsnmpAgentSettings(const char* host, ZqAgentSettings* settings) {
    if (settings == nullptr) {
        set_errno(ZQSNMP_E_BADARG);
        return -1;
    }
    *settings = ZqAgentSettings{};
    std::string name;
    int host_port = -1;
    zq::split_host_port(host != nullptr && *host != '\0' ? host : "127.0.0.1", name, host_port);
    std::optional<in_addr> addr;
    if (!name.empty()) addr = zq::resolve_host(name);
    if (!addr) {
        set_errno(ZQSNMP_E_BADHOST);
        return -1;
    }
    zq::AgentConf conf = zq::agent_conf(zq::instance_path("conf/snmp.conf"), name, addr);
    inet_ntop(AF_INET, &*addr, settings->address, sizeof settings->address);
    // As ZqsnmpOpen: "name:port" wins over the configured port.
    settings->port = static_cast<unsigned int>(host_port > 0 ? host_port : conf.port);
    std::snprintf(settings->community, sizeof settings->community, "%s", conf.community.c_str());
    settings->timeout_ms = static_cast<int>(conf.timeout * 1000.0 + 0.5);
    if (settings->timeout_ms <= 0) settings->timeout_ms = 1;
    settings->retries = conf.retries;
    set_errno(ZQSNMP_E_OK);
    return 0;
}

}  // extern "C"

extern "C" int ZqsnmpHostsAddress(const char* name, char* address, size_t size) {
    if (name == nullptr || address == nullptr || size < 16) {
        set_errno(ZQSNMP_E_BADARG);
        return -1;
    }
    std::optional<in_addr> addr = zq::hosts_file_address(zq::instance_path("conf/hosts"), name);
    if (!addr) {
        set_errno(ZQSNMP_E_BADHOST);
        return -1;
    }
    inet_ntop(AF_INET, &*addr, address, static_cast<socklen_t>(size));
    set_errno(ZQSNMP_E_OK);
    return 0;
}
