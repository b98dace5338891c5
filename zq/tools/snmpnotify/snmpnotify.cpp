// snmpnotify: sends one event to the local trap daemon.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zqcommon.h"
#include "zqsnmp.h"

namespace {

void usage(FILE* f) {
    fputs("usage: snmpnotify [-a AGENT] [-c COMMUNITY] SERVER EVENT_OID [OID TYPE VALUE]...\n"
          "Sends one event to the trap daemon of the instance ($ZQ_ROOT) on SERVER, which must\n"
          "be this host (localhost, a 127.x.x.x address or the host's own name).\n"
          "  EVENT_OID   the trap identifier: ENTERPRISE.0.SPECIFIC (ENT. and ZENT. prefixes\n"
          "              are expanded; a leading dot is allowed)\n"
          "  -a AGENT    agent address of the event: a name or address (default 127.0.0.1)\n"
          "  -c COMMUNITY  community of the event (default public)\n"
          "  TYPE        integer, octetstring, objectid, ipaddress, counter, gauge, timeticks\n"
          "Exit status 0 when sent; otherwise non-zero with a message on standard error.\n",
          f);
}

int fail(const std::string& msg, int status = 1) {
    fprintf(stderr, "snmpnotify: %s\n", msg.c_str());
    return status;
}

bool is_this_host(const std::string& server) {
    if (strcasecmp(server.c_str(), "localhost") == 0) return true;
    char host[256] = {0};
    if (gethostname(host, sizeof host - 1) == 0 && strcasecmp(server.c_str(), host) == 0) return true;
    auto a = zq::resolve_host(server);
    return a && (ntohl(a->s_addr) >> 24) == 127;
}

bool parse_number(const std::string& s, bool negative_ok, long long lo, long long hi, long long& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(s.c_str(), &end, 10);
    if (errno != 0 || !end || *end != '\0' || (!negative_ok && s[0] == '-') || v < lo || v > hi) return false;
    out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    zq::ignore_sigpipe();
    std::string agent, community = "public";
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "-a" || a == "-c") {
            if (i + 1 >= argc) return fail(a + " needs a value", 2);
            (a == "-a" ? agent : community) = argv[++i];
        } else {
            args.push_back(a);
        }
    }
    if (args.size() < 2 || (args.size() - 2) % 3 != 0) {
        usage(stderr);
        return 2;
    }
    const std::string& server = args[0];
    if (!is_this_host(server))
        return fail("'" + server + "' is not this host: events go only to the local trap daemon", 2);

    std::vector<uint32_t> event_oid;
    if (!zq::parse_oid(args[1], event_oid) || event_oid.size() < 3 || event_oid[event_oid.size() - 2] != 0 ||
        event_oid.back() > 0x7fffffffu)
        return fail("bad EVENT_OID '" + args[1] + "': expected ENTERPRISE.0.SPECIFIC", 2);

    unsigned char agent_addr[4] = {127, 0, 0, 1};
    if (!agent.empty()) {
        auto a = zq::resolve_host(agent);
        if (!a) return fail("cannot resolve agent '" + agent + "'", 2);
        std::memcpy(agent_addr, &a->s_addr, 4);
    }

    ZqPdu* pdu = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    if (pdu == nullptr) return fail("out of memory");
    size_t ent_len = event_oid.size() - 2;
    pdu->enterprise = static_cast<ZqOid*>(ZqsnmpMalloc(ent_len * sizeof(ZqOid)));
    pdu->community = static_cast<unsigned char*>(ZqsnmpMalloc(community.size() + 1));
    if (pdu->enterprise == nullptr || pdu->community == nullptr) {
        ZqsnmpFreePdu(pdu);
        return fail("out of memory");
    }
    std::memcpy(pdu->enterprise, event_oid.data(), ent_len * sizeof(ZqOid));
    pdu->enterprise_length = ent_len;
    std::memcpy(pdu->community, community.data(), community.size());
    pdu->community_len = community.size();
    pdu->trap_type = 6;
    pdu->specific_type = static_cast<int32_t>(event_oid.back());
    std::memcpy(pdu->agent_addr, agent_addr, 4);

    for (size_t i = 2; i < args.size(); i += 3) {
        const std::string &oid_text = args[i], &type = args[i + 1], &value = args[i + 2];
        std::vector<uint32_t> name;
        auto bad = [&](const std::string& why) {
            ZqsnmpFreePdu(pdu);
            return fail("binding " + oid_text + ": " + why, 2);
        };
        if (!zq::parse_oid(oid_text, name)) return bad("bad OID");
        ZqVarBind* vb = nullptr;
        long long n = 0;
        if (type == "integer") {
            if (!parse_number(value, true, INT32_MIN, INT32_MAX, n)) return bad("bad integer '" + value + "'");
            int32_t v = static_cast<int32_t>(n);
            vb = ZqsnmpAddTypedVarBind(pdu, name.data(), name.size(), ZQ_ASN_INTEGER, &v, sizeof v);
        } else if (type == "counter" || type == "gauge" || type == "timeticks") {
            if (!parse_number(value, false, 0, UINT32_MAX, n)) return bad("bad unsigned number '" + value + "'");
            uint32_t v = static_cast<uint32_t>(n);
            int t = type == "counter" ? ZQ_ASN_COUNTER : type == "gauge" ? ZQ_ASN_GAUGE : ZQ_ASN_TIMETICKS;
            vb = ZqsnmpAddTypedVarBind(pdu, name.data(), name.size(), t, &v, sizeof v);
        } else if (type == "octetstring") {
            vb = ZqsnmpAddTypedVarBind(pdu, name.data(), name.size(), ZQ_ASN_OCTET_STR, value.data(), value.size());
        } else if (type == "objectid") {
            std::vector<uint32_t> v;
            if (!zq::parse_oid(value, v)) return bad("bad OID value '" + value + "'");
            vb = ZqsnmpAddTypedVarBind(pdu, name.data(), name.size(), ZQ_ASN_OBJECT_ID, v.data(), v.size());
        } else if (type == "ipaddress") {
            in_addr a{};
            if (inet_pton(AF_INET, value.c_str(), &a) != 1) return bad("bad IPv4 address '" + value + "'");
            vb = ZqsnmpAddTypedVarBind(pdu, name.data(), name.size(), ZQ_ASN_IPADDRESS, &a.s_addr, 4);
        } else {
            return bad("unknown type '" + type + "'");
        }
        if (vb == nullptr) return bad(ZqsnmpErrString(ZqsnmpErrno));
    }

    ZqSession* s = ZqsnmpEventOpen(nullptr, nullptr, nullptr, nullptr, nullptr);
    if (s == nullptr) {
        std::string why = ZqsnmpErrString(ZqsnmpErrno);
        ZqsnmpFreePdu(pdu);
        return fail("cannot reach the trap daemon: " + why);
    }
    if (ZqsnmpEventSend(s, pdu, nullptr, 0) < 0) {
        std::string why = ZqsnmpErrString(ZqsnmpErrno);
        ZqsnmpFreePdu(pdu);
        ZqsnmpClose(s);
        return fail("the event was not sent: " + why);
    }
    ZqsnmpClose(s);
    return 0;
}
