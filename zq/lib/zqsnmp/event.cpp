// Event sessions with this instance's trap daemon: open, read, send, close.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "internal.h"
#include "sessionauth.h"
#include "wire.h"
#include "zqcommon.h"

using zq::snmp::set_errno;

namespace {

constexpr int kOpenTimeoutMs = 5000;          // for trapd's acknowledgement
constexpr size_t kReadPerCall = 4u << 20;     // bytes read from one session per ZqsnmpRead

// Open event sessions with a serial number each, so that a session closed (and
// its memory reused) inside a callback is never mistaken for a live one.
std::vector<std::pair<ZqSession*, uint64_t>>& registry() {
    static std::vector<std::pair<ZqSession*, uint64_t>> r;
    return r;
}
uint64_t next_serial = 1;

bool alive(ZqSession* s, uint64_t serial) {
    for (auto& [p, n] : registry())
        if (p == s && n == serial) return true;
    return false;
}

bool is_local_host(const char* host) {
    return host == nullptr || *host == '\0' || std::strcmp(host, "127.0.0.1") == 0 ||
           strcasecmp(host, "localhost") == 0;
}

// Reads exactly n bytes before the deadline (blocking socket, poll for the time-out).
bool read_exact(int fd, char* buf, size_t n, std::chrono::steady_clock::time_point deadline) {
    size_t got = 0;
    while (got < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t k = recv(fd, buf + got, n - got, MSG_DONTWAIT);
        if (k > 0) got += static_cast<size_t>(k);
        else if (k == 0) return false;
        else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    }
    return true;
}

bool write_all(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t w = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (w > 0) off += static_cast<size_t>(w);
        else if (w < 0 && errno == EINTR) continue;
        else return false;
    }
    return true;
}

// One short frame of trapd's greeting, read to its last byte and no further.
bool read_greeting_frame(int fd, std::string& payload, std::chrono::steady_clock::time_point deadline) {
    char head[4];
    if (!read_exact(fd, head, 4, deadline)) return false;
    uint32_t len = (uint32_t{static_cast<uint8_t>(head[0])} << 24) | (uint32_t{static_cast<uint8_t>(head[1])} << 16) |
                   (uint32_t{static_cast<uint8_t>(head[2])} << 8) | uint32_t{static_cast<uint8_t>(head[3])};
    if (len == 0 || len > 1024) return false;
    payload.assign(len, '\0');
    return read_exact(fd, payload.data(), len, deadline);
}

// The acknowledgement of trapd: 1; a refusal: -1; nothing usable: 0.
int await_ack(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string payload, why;
    if (!read_greeting_frame(fd, payload, deadline)) return 0;
    if (zq::wire::decode_refusal(payload, why)) return -1;
    return zq::wire::decode_ack(payload, why) ? 1 : 0;
}

// On the TCP port: trapd proves it holds the key over our nonce before we prove
// the same over its nonce (in the hello's key field).  False when the peer cannot
// prove it: then it learns nothing but a random nonce.
bool challenge_trapd(int fd, zq::wire::Hello& hello, std::chrono::steady_clock::time_point deadline) {
    std::string ours, frame, payload, proof, theirs, why;
    if (hello.key.empty() || !zq::wire::random_nonce(ours)) return false;
    zq::wire::encode_challenge(ours, frame);
    if (!write_all(fd, frame) || !read_greeting_frame(fd, payload, deadline) ||
        !zq::wire::decode_proof(payload, proof, theirs, why) ||
        !zq::wire::same_bytes(proof, zq::wire::key_proof(hello.key, zq::wire::kTrapdProof, ours, theirs)))
        return false;
    hello.key = zq::wire::hex_of(zq::wire::key_proof(hello.key, zq::wire::kSessionProof, theirs, ours));
    return true;
}

// A connection with this instance's trapd: the Unix socket run/trapd.sock, whose
// peer must run as the owner of the key; when the path does not fit a socket
// address, the TCP port.  -1 with ZqsnmpErrno set.
int connect_trapd(uid_t owner, bool& tcp) {
    std::string path = zq::session_socket_path();
    sockaddr_un ua{};
    tcp = path.size() >= sizeof ua.sun_path;
    int fd = socket(tcp ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        zq::snmp::set_sys_errno(errno);
        return -1;
    }
    int rc;
    if (tcp) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(zq::read_instance_conf().event_port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        ua.sun_family = AF_UNIX;
        std::memcpy(ua.sun_path, path.c_str(), path.size() + 1);
        rc = connect(fd, reinterpret_cast<sockaddr*>(&ua), sizeof ua);
        ucred cred{};
        socklen_t len = sizeof cred;
        // Only the owner can make a socket in run/, but whatever answers there must
        // also run as the user who owns the key before it is handed the key.
        if (rc == 0 && (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != owner)) rc = -1;
    }
    if (rc != 0) {
        close(fd);
        zq::snmp::set_errno(ZQSNMP_E_NOTRAPD);
        return -1;
    }
    timeval tv{kOpenTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return fd;
}

// The instance's session key (run/trapd.key) and the user it belongs to.  A key
// that is missing gives the empty key and this process's user (trapd then
// refuses, or is not running); one that exists but cannot be read (another
// user's instance): false with errno set.
bool session_key(std::string& key, uid_t& owner) {
    key.clear();
    owner = geteuid();
    std::string text, why;
    if (!zq::read_regular(zq::session_key_path(), text, &why, 4096)) {
        int e = errno;
        // An odd file in the key's place: the error number alone ("Invalid
        // argument") would not tell the operator which file to look at.
        if (e != ENOENT && e != EACCES && e != EPERM) std::fprintf(stderr, "zqsnmp: session key %s\n", why.c_str());
        errno = e;
        return e == ENOENT;
    }
    struct stat st {};
    if (stat(zq::session_key_path().c_str(), &st) == 0) owner = st.st_uid;
    key = std::string(zq::trim(text));
    return true;
}

// A delivered trap as a new ZqPdu (the callback's); null when memory is short.
ZqPdu* to_pdu(const zq::wire::Event& e) {
    ZqPdu* p = ZqsnmpCreatePdu(ZQSNMP_TRAP);
    if (p == nullptr) return nullptr;
    auto fail = [&]() -> ZqPdu* {
        ZqsnmpFreePdu(p);
        return nullptr;
    };
    p->version = e.version;
    p->community = static_cast<unsigned char*>(ZqsnmpMalloc(e.community.size() + 1));
    if (p->community == nullptr) return fail();
    std::memcpy(p->community, e.community.data(), e.community.size());
    p->community_len = e.community.size();
    if (e.version == 3) {
        p->security_name = static_cast<unsigned char*>(ZqsnmpMalloc(e.user.size() + 1));
        if (p->security_name == nullptr) return fail();
        std::memcpy(p->security_name, e.user.data(), e.user.size());
        p->security_name_len = e.user.size();
        p->security_level = e.level;
    }
    if (!e.enterprise.empty()) {
        p->enterprise = static_cast<ZqOid*>(ZqsnmpMalloc(e.enterprise.size() * sizeof(ZqOid)));
        if (p->enterprise == nullptr) return fail();
        std::memcpy(p->enterprise, e.enterprise.data(), e.enterprise.size() * sizeof(ZqOid));
        p->enterprise_length = e.enterprise.size();
    }
    std::memcpy(p->agent_addr, e.agent.data(), 4);
    p->trap_type = e.generic;
    p->specific_type = e.specific;
    p->time = e.timestamp;
    if (!e.trap_id.empty()) {
        p->trap_id = static_cast<ZqOid*>(ZqsnmpMalloc(e.trap_id.size() * sizeof(ZqOid)));
        if (p->trap_id == nullptr) return fail();
        std::memcpy(p->trap_id, e.trap_id.data(), e.trap_id.size() * sizeof(ZqOid));
        p->trap_id_length = e.trap_id.size();
    }
    for (const auto& b : e.bindings) {
        ZqVarBind* vb = nullptr;
        switch (b.type) {
        case ZQ_ASN_INTEGER:
        case ZQ_ASN_COUNTER:
        case ZQ_ASN_GAUGE:
        case ZQ_ASN_TIMETICKS: {
            uint32_t v = static_cast<uint32_t>(b.number);
            vb = ZqsnmpAddTypedVarBind(p, b.name.data(), b.name.size(), b.type, &v, sizeof v);
            break;
        }
        case ZQ_ASN_COUNTER64: {
            uint64_t v = b.number;
            vb = ZqsnmpAddTypedVarBind(p, b.name.data(), b.name.size(), b.type, &v, sizeof v);
            break;
        }
        case ZQ_ASN_OBJECT_ID:
            vb = ZqsnmpAddTypedVarBind(p, b.name.data(), b.name.size(), b.type, b.objid.data(), b.objid.size());
            break;
        case ZQ_ASN_NULL:
            vb = ZqsnmpAddNullVarBind(p, b.name.data(), b.name.size());
            break;
        default:  // strings, Opaque, IpAddress
            vb = ZqsnmpAddTypedVarBind(p, b.name.data(), b.name.size(), b.type, b.bytes.data(), b.bytes.size());
            break;
        }
        if (vb == nullptr) return fail();
    }
    return p;
}

// The caller's PDU as an event record; false (with ZqsnmpErrno) when it cannot be.
bool from_pdu(const ZqPdu* pdu, const void* address, zq::wire::Event& e) {
    if (pdu->community_len > zq::wire::kMaxString || pdu->enterprise_length > zq::wire::kMaxOid ||
        (pdu->community_len > 0 && pdu->community == nullptr) ||
        (pdu->enterprise_length > 0 && pdu->enterprise == nullptr)) {
        set_errno(ZQSNMP_E_BADLENGTH);
        return false;
    }
    e.version = pdu->version == 1 ? 1 : 0;
    if (pdu->community_len > 0) e.community.assign(reinterpret_cast<const char*>(pdu->community), pdu->community_len);
    e.enterprise.assign(pdu->enterprise, pdu->enterprise + pdu->enterprise_length);
    std::memcpy(e.agent.data(), pdu->agent_addr, 4);
    if (e.agent == std::array<uint8_t, 4>{} && address != nullptr) {
        ZqEventAddr a;
        std::memcpy(&a, address, sizeof a);
        std::memcpy(e.agent.data(), a.addr, 4);
    }
    e.generic = pdu->trap_type;
    e.specific = pdu->specific_type;
    e.timestamp = pdu->time != 0 ? pdu->time : zq::snmp::uptime_hundredths();
    if (!zq::wire::v1_trap_id(e, e.trap_id)) {
        set_errno(ZQSNMP_E_ENCODE);  // generic outside 0-6, or generic 6 without an enterprise
        return false;
    }
    size_t count = 0;
    for (const ZqVarBind* vb = pdu->variables; vb != nullptr; vb = vb->next_variable) {
        if (++count > zq::wire::kMaxBindings || vb->name == nullptr || vb->name_length == 0 ||
            vb->name_length > zq::wire::kMaxOid) {
            set_errno(ZQSNMP_E_BADLENGTH);
            return false;
        }
        zq::wire::Binding b;
        b.name.assign(vb->name, vb->name + vb->name_length);
        b.type = vb->type;
        bool ok = vb->type == ZQ_ASN_NULL || vb->val.raw != nullptr;
        if (ok) switch (vb->type) {
            case ZQ_ASN_INTEGER:
            case ZQ_ASN_COUNTER:
            case ZQ_ASN_GAUGE:
            case ZQ_ASN_TIMETICKS:
                b.number = static_cast<uint32_t>(*vb->val.integer);
                break;
            case ZQ_ASN_COUNTER64:
                b.number = *vb->val.counter64;
                break;
            case ZQ_ASN_OCTET_STR:
            case ZQ_ASN_OPAQUE:
                ok = vb->val_len <= zq::wire::kMaxString;
                if (ok) b.bytes.assign(reinterpret_cast<const char*>(vb->val.string), vb->val_len);
                break;
            case ZQ_ASN_IPADDRESS:
                ok = vb->val_len == 4;
                if (ok) b.bytes.assign(reinterpret_cast<const char*>(vb->val.string), 4);
                break;
            case ZQ_ASN_OBJECT_ID:
                ok = vb->val_len > 0 && vb->val_len <= zq::wire::kMaxOid;
                if (ok) b.objid.assign(vb->val.objid, vb->val.objid + vb->val_len);
                break;
            case ZQ_ASN_NULL:
                break;
            default:
                set_errno(ZQSNMP_E_BADTYPE);
                return false;
            }
        if (!ok) {
            set_errno(ZQSNMP_E_BADLENGTH);
            return false;
        }
        e.bindings.push_back(std::move(b));
    }
    return true;
}

// Marks a session dead after its connection was lost.
void mark_dead(ZqSession* s) {
    if (s->sock_fd >= 0) close(s->sock_fd);
    s->sock_fd = -1;
    s->impl->dead = true;
}

// Reads what the socket has (up to kReadPerCall); true when the connection is gone.
bool fill(ZqSession* s) {
    char buf[64 * 1024];
    size_t total = 0;
    while (total < kReadPerCall) {
        ssize_t r = recv(s->sock_fd, buf, sizeof buf, MSG_DONTWAIT);
        if (r > 0) {
            s->impl->rxbuf.append(buf, static_cast<size_t>(r));
            total += static_cast<size_t>(r);
            continue;
        }
        if (r == 0) {
            // trapd closed the connection: that, not a stale EAGAIN, is what a
            // caller reporting the loss should see in errno.
            s->impl->lost_errno = ECONNRESET;
            return true;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
        s->impl->lost_errno = errno;
        return true;
    }
    return false;
}

}  // namespace

namespace zq::snmp {

int event_close(ZqSession* session) {
    auto& r = registry();
    for (auto it = r.begin(); it != r.end(); ++it)
        if (it->first == session) {
            r.erase(it);
            break;
        }
    if (session->sock_fd >= 0) close(session->sock_fd);
    delete session->impl;
    std::free(session);
    set_errno(ZQSNMP_E_OK);
    return 0;
}

namespace {

// The process's send-only session for traps addressed to this instance, kept
// between sends (a fork gets a session of its own, so that two processes never
// write into one stream).
struct LocalSender {
    ZqSession* session = nullptr;
    pid_t pid = 0;
};
LocalSender local_sender;

// A send-only session receives nothing after the acknowledgement: anything
// readable is trapd's end of the connection.
bool stale(int fd) {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    return poll(&p, 1, 0) != 0;
}

void drop_local_sender() {
    if (local_sender.session != nullptr) ZqsnmpClose(local_sender.session);
    local_sender.session = nullptr;
}

}  // namespace

bool local_only_trap(const ZqPdu* pdu) {
    zq::wire::Event e;
    e.enterprise.assign(pdu->enterprise, pdu->enterprise + (pdu->enterprise != nullptr ? pdu->enterprise_length : 0));
    e.generic = pdu->trap_type;
    e.specific = pdu->specific_type;
    zq::wire::Oid trap_id;
    zq::wire::v1_trap_id(e, trap_id);
    for (const auto& arc : zq::read_instance_conf().local_only_enterprises)
        if (zq::wire::filter_matches(arc, e.enterprise) || zq::wire::filter_matches(arc, trap_id)) return true;
    return false;
}

int send_local_trap(ZqPdu* pdu) {
    if (local_sender.session != nullptr && local_sender.pid != getpid()) drop_local_sender();
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (local_sender.session != nullptr &&
            (local_sender.session->sock_fd < 0 || stale(local_sender.session->sock_fd)))
            drop_local_sender();
        if (local_sender.session == nullptr) {
            local_sender.session = ZqsnmpEventOpen(nullptr, nullptr, nullptr, nullptr, nullptr);
            if (local_sender.session == nullptr) return 0;
            local_sender.pid = getpid();
        }
        if (ZqsnmpEventSend(local_sender.session, pdu, nullptr, 0) == 0) return 1;
        if (ZqsnmpErrno != ZQSNMP_E_SENDFAIL && ZqsnmpErrno != ZQSNMP_E_CLOSED) return -1;
        drop_local_sender();
    }
    return 0;
}

}  // namespace zq::snmp

extern "C" {

ZqSession* ZqsnmpEventOpen(const char* host, const char* name, ZqsnmpCallback callback, void* data,
                           const char* filter) {
    if (!is_local_host(host)) {
        set_errno(ZQSNMP_E_NOTLOCAL);
        return nullptr;
    }
    zq::wire::Hello hello;
    if (name != nullptr && *name != '\0') {
        hello.name = name;
        hello.filter = filter != nullptr ? filter : ".*";
        zq::wire::Oid prefix;
        if (hello.name.size() > zq::wire::kMaxName) {
            set_errno(ZQSNMP_E_BADARG);
            return nullptr;
        }
        if (hello.filter.size() > zq::wire::kMaxName || !zq::wire::parse_filter(hello.filter, prefix)) {
            set_errno(ZQSNMP_E_BADFILTER);
            return nullptr;
        }
    }
    uid_t owner = 0;
    if (!session_key(hello.key, owner)) {
        // Not this user's instance: say so rather than "not reachable".
        zq::snmp::set_sys_errno(errno == ENOENT ? EACCES : errno);
        return nullptr;
    }
    // The programs the instance runs itself: their sessions keep a queue of their own in trapd.
    const char* pm = getenv("ZQS_NAME");
    const char* app = getenv("ZQW_APP");
    if ((pm != nullptr && *pm != '\0') || (app != nullptr && *app != '\0')) hello.flags = zq::wire::kManaged;
    bool tcp = false;
    int fd = connect_trapd(owner, tcp);
    if (fd < 0) return nullptr;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kOpenTimeoutMs);
    std::string frame;
    int acked = 0;
    if (!tcp || challenge_trapd(fd, hello, deadline)) {
        zq::wire::encode_hello(hello, frame);
        if (write_all(fd, frame)) acked = await_ack(fd, deadline);
    }
    if (acked <= 0) {
        close(fd);
        if (acked < 0) zq::snmp::set_sys_errno(EACCES);  // trapd refused the key
        else set_errno(ZQSNMP_E_NOTRAPD);
        return nullptr;
    }
    auto* s = static_cast<ZqSession*>(std::calloc(1, sizeof(ZqSession)));
    if (s == nullptr) {
        close(fd);
        set_errno(ZQSNMP_E_NOMEM);
        return nullptr;
    }
    auto* impl = new ZqSessionImpl;
    impl->kind = ZqSessionImpl::kEvent;
    impl->callback = callback;
    impl->data = data;
    impl->name = hello.name;
    impl->filter = hello.filter;
    s->impl = impl;
    s->sock_fd = fd;
    s->flags = ZQSNMP_FLAG_V1_FORM;
    registry().emplace_back(s, next_serial++);
    set_errno(ZQSNMP_E_OK);
    return s;
}

ZqSession* ZqsnmpTrapOpen(ZqsnmpCallback callback, void* data) {
    return ZqsnmpEventOpen(nullptr, "zqtrap", callback, data, ".*");
}

int ZqsnmpRead(fd_set* readset) {
    if (readset == nullptr) {
        set_errno(ZQSNMP_E_BADARG);
        return -1;
    }
    std::vector<std::pair<ZqSession*, uint64_t>> ready;
    for (auto& [s, serial] : registry())
        if (s->sock_fd >= 0 && s->sock_fd < FD_SETSIZE && FD_ISSET(s->sock_fd, readset)) ready.emplace_back(s, serial);
    int calls = 0;
    for (auto& [s, serial] : ready) {
        if (!alive(s, serial) || s->sock_fd < 0) continue;
        bool lost = fill(s);
        // Callbacks may close the session: everything needed afterwards is copied
        // first, and the buffer is trimmed once at the end.
        size_t off = 0;
        while (alive(s, serial)) {
            ZqsnmpCallback cb = s->impl->callback;
            void* data = s->impl->data;
            std::string_view payload;
            size_t used = 0;
            auto sp = zq::wire::next_frame(std::string_view(s->impl->rxbuf).substr(off), payload, used);
            if (sp == zq::wire::Split::kNeed) break;
            if (sp == zq::wire::Split::kBad) {
                // The stream cannot be followed past a broken length: report it, then the loss.
                off = s->impl->rxbuf.size();
                lost = true;
                if (cb) {
                    ++calls;
                    cb(ZQSNMP_REASON_ERROR, s, nullptr, data);
                }
                break;
            }
            off += used;
            zq::wire::Event e;
            std::string why;
            uint8_t kind = static_cast<uint8_t>(payload[0]);
            bool ok = kind == zq::wire::kEvent && zq::wire::decode_event(payload, e, why);
            if ((!ok && kind == zq::wire::kAck) || cb == nullptr) continue;
            ZqPdu* pdu = ok ? to_pdu(e) : nullptr;
            ++calls;
            if (pdu != nullptr) cb(ZQSNMP_REASON_TRAP, s, pdu, data);
            else cb(ZQSNMP_REASON_ERROR, s, nullptr, data);
        }
        if (alive(s, serial)) s->impl->rxbuf.erase(0, off);
        if (lost && alive(s, serial) && !s->impl->dead) {
            mark_dead(s);
            if (s->impl->callback) {
                ++calls;
                errno = s->impl->lost_errno != 0 ? s->impl->lost_errno : ECONNRESET;
                s->impl->callback(ZQSNMP_REASON_LOST, s, nullptr, s->impl->data);
            }
        }
    }
    set_errno(ZQSNMP_E_OK);
    return calls;
}

int ZqsnmpEventSend(ZqSession* session, ZqPdu* pdu, const void* address, int flags) {
    (void)flags;
    if (session == nullptr || session->impl == nullptr || pdu == nullptr) {
        set_errno(ZQSNMP_E_BADARG);
        return -1;
    }
    if (session->impl->kind != ZqSessionImpl::kEvent) {
        set_errno(ZQSNMP_E_BADSESSION);
        return -1;
    }
    if (session->impl->dead || session->sock_fd < 0) {
        set_errno(ZQSNMP_E_CLOSED);
        return -1;
    }
    if (pdu->command != ZQSNMP_TRAP) {
        set_errno(ZQSNMP_E_BADPDUTYPE);
        return -1;
    }
    zq::wire::Event e;
    if (!from_pdu(pdu, address, e)) return -1;
    std::string frame;
    if (!zq::wire::encode_event(e, frame)) {
        set_errno(ZQSNMP_E_ENCODE);
        return -1;
    }
    if (!write_all(session->sock_fd, frame)) {
        // Part of a record may have gone out: the stream is no longer usable.  The
        // reading side now sees the end of the connection (reason 57).
        shutdown(session->sock_fd, SHUT_RDWR);
        set_errno(ZQSNMP_E_SENDFAIL);
        return -1;
    }
    ZqsnmpFreePdu(pdu);
    set_errno(ZQSNMP_E_OK);
    return 0;
}

}  // extern "C"
