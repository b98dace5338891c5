/*
 * zqsnmp.h - the platform's SNMP and event library.
 *
 * Requests to SNMP agents (SNMPv1 Get/GetNext over UDP), SNMPv1 traps sent to a
 * trap daemon, and event sessions with this instance's trap daemon (trapd).
 * The records below are zq's own; the library converts them to and from its
 * transport internally.
 *
 * Configuration (below $ZQ_ROOT, default /var/opt/zq):
 *   conf/snmp.conf   PATTERN [community=C] [timeout=SECONDS] [retries=N] [port=P]
 *                    first matching pattern wins, then a line "*", then the defaults
 *                    community public, timeout 0.8 s, retries 3, port 161.
 *   conf/hosts       hosts(5) lines, consulted before the system resolver.
 *   conf/zq.conf     trap_port, event_port, local_only_enterprises of this instance.
 *   run/trapd.sock   trapd's socket for event sessions; run/trapd.key its key.
 *
 * OWNERSHIP RULES
 *   - Every pointer member of a ZqPdu and a ZqVarBind (community, enterprise,
 *     trap_id, names, values) is allocated with ZqsnmpMalloc and belongs to the
 *     record; ZqsnmpFreePdu frees the PDU with everything it holds.  A caller that
 *     stores an array into a PDU (enterprise, community) hands it over: the PDU
 *     owns it afterwards and frees it.  Replace a member only after freeing the
 *     old one with ZqsnmpFree.
 *   - ZqsnmpAddNullVarBind / ZqsnmpAddTypedVarBind copy the name and the value;
 *     the caller's buffers stay the caller's.  An INTEGER (type 2) value is read
 *     as a full 32-bit int whatever length the caller passes (callers pass 1).
 *   - ZqsnmpBlockingSend of a GetRequest / GetNextRequest:
 *       response returned      -> the request was consumed (freed by the library);
 *                                  the response is the caller's (ZqsnmpFreePdu).
 *       null, ZqsnmpErrno == 6 -> no response; the library has freed the request.
 *       null, other error      -> the request is still the caller's; ZqsnmpErrno
 *                                  is nonzero.
 *   - ZqsnmpBlockingSend of a Trap PDU (164):
 *       null                   -> sent; the library consumed (freed) the PDU.
 *       non-null               -> not sent: the returned pointer IS the request,
 *                                  still the caller's, ZqsnmpErrno set.  Free it once.
 *                                  A trap under local_only_enterprises for this
 *                                  host that cannot go through an event session
 *                                  is not sent (error 10), never sent over UDP.
 *   - ZqsnmpEventSend: >= 0 sent, the library owns (has freed) the PDU; negative:
 *     the PDU is still the caller's.  The address record stays the caller's.
 *   - PDUs delivered to a callback by ZqsnmpRead belong to the callback, which
 *     frees them with ZqsnmpFreePdu (null for reasons other than 167).
 *   - ZqsnmpFixPdu returns a new PDU (the caller's) or null; its argument is
 *     untouched.
 *   - ZqsnmpFreePdu(NULL) and ZqsnmpClose(NULL) do nothing.
 *
 * ERROR NUMBERS (ZqsnmpErrno, text from ZqsnmpErrString)
 *   0 no error, 6 no response, 22 unknown host, 23 no socket, 1-49 library
 *   errors (ZQSNMP_E_*), 50 and above: a system call failed with errno = n - 50.
 *   Every call sets ZqsnmpErrno: 0 on success; ZqsnmpFree, ZqsnmpFreePdu and
 *   ZqsnmpErrString leave it alone (a caller may free a request, then look).
 *   An OID that BER cannot carry as written (fewer than 2 sub-identifiers, first
 *   above 2, second 40 or more under 0 or 1) is refused when sent (error 5).
 *
 * Not thread-safe: one thread per process uses the library, as every program of
 * the system does.
 */
#ifndef ZQSNMP_H
#define ZQSNMP_H

#include <stddef.h>
#include <stdint.h>
#include <sys/select.h>
#include "zqoid.h"

#ifdef __cplusplus
extern "C" {
#endif

/* PDU types (SNMPv1 tags). */
#define ZQSNMP_GET_REQ       160
#define ZQSNMP_GETNEXT_REQ   161
#define ZQSNMP_RESPONSE      162
#define ZQSNMP_SET_REQ       163
#define ZQSNMP_TRAP          164

/* ASN.1 / SMI value types. */
#define ZQ_ASN_INTEGER       2
#define ZQ_ASN_OCTET_STR     4
#define ZQ_ASN_NULL          5
#define ZQ_ASN_OBJECT_ID     6
#define ZQ_ASN_IPADDRESS     0x40
#define ZQ_ASN_COUNTER       0x41
#define ZQ_ASN_GAUGE         0x42
#define ZQ_ASN_TIMETICKS     0x43
#define ZQ_ASN_OPAQUE        0x44
#define ZQ_ASN_COUNTER64     0x46

/* RFC 1157 error status values carried by a response. */
#define ZQ_ERR_NOERROR       0
#define ZQ_ERR_TOOBIG        1
#define ZQ_ERR_NOSUCHNAME    2
#define ZQ_ERR_BADVALUE      3
#define ZQ_ERR_READONLY      4
#define ZQ_ERR_GENERR        5

/* Library error numbers (ZqsnmpErrno). */
#define ZQSNMP_E_OK          0
#define ZQSNMP_E_GENERR      1   /* generic library error */
#define ZQSNMP_E_BADARG      2   /* null or invalid argument */
#define ZQSNMP_E_NOMEM       3   /* out of memory */
#define ZQSNMP_E_BADPDUTYPE  4   /* PDU type not supported by the call */
#define ZQSNMP_E_ENCODE      5   /* the PDU cannot be encoded */
#define ZQSNMP_E_TIMEOUT     6   /* no response within the time-out and retries */
#define ZQSNMP_E_BADTYPE     7   /* value type not supported */
#define ZQSNMP_E_BADLENGTH   8   /* value or OID length out of range */
#define ZQSNMP_E_DECODE      9   /* a received message cannot be decoded */
#define ZQSNMP_E_NOTRAPD     10  /* the trap daemon of this instance is not reachable */
#define ZQSNMP_E_BADFILTER   11  /* event filter is not ".*" or ".OID.*" */
#define ZQSNMP_E_CLOSED      12  /* the session is closed or dead */
#define ZQSNMP_E_SENDFAIL    13  /* the message could not be sent */
#define ZQSNMP_E_NOTLOCAL    14  /* an event session needs a local host */
#define ZQSNMP_E_BADSESSION  15  /* the call does not apply to this kind of session */
#define ZQSNMP_E_FIX         16  /* the PDU cannot be fixed */
#define ZQSNMP_E_CONFIG      17  /* the instance configuration cannot be read */
#define ZQSNMP_E_BADHOST     22  /* the host name cannot be resolved */
#define ZQSNMP_E_NOSOCKET    23  /* no socket can be opened for the session */
/* SNMPv3 hosts (a conf/snmp.conf line with version=3): what the agent's report
 * (or net-snmp's own check of the answer) said, each its own number. */
#define ZQSNMP_E_V3USER      24  /* the agent does not know the user name */
#define ZQSNMP_E_V3AUTH      25  /* authentication failed: wrong key or protocol */
#define ZQSNMP_E_V3ENGINE    26  /* unknown engine ID: discovery failed or was refused */
#define ZQSNMP_E_V3TIME      27  /* outside the agent's time window */
#define ZQSNMP_E_V3DECRYPT   28  /* decryption failed: wrong privacy key or protocol */
#define ZQSNMP_E_V3LEVEL     29  /* the security level is not supported for the user */
#define ZQSNMP_E_V3CONF      30  /* the SNMPv3 settings or the users file cannot be used;
                                    the text names the file and the reason */
#define ZQSNMP_E_SYSBASE     50  /* 50 + errno: a system call failed */

/* Callback reasons. */
#define ZQSNMP_REASON_ERROR      6    /* an unreadable record arrived; pdu is null */
#define ZQSNMP_REASON_LOST       57   /* the connection with trapd is lost; the session is dead */
#define ZQSNMP_REASON_TRAP       167  /* a trap or event arrived; the callback owns the pdu */
#define ZQSNMP_REASON_RESPONSE   162  /* ZqsnmpAsyncSend: the answer; the callback owns the pdu */
#define ZQSNMP_REASON_NORESPONSE 60   /* ZqsnmpAsyncSend: no answer within the time-out and
                                         retries; pdu is a copy of the request (the callback's) */
#define ZQSNMP_REASON_SENDFAILED 61   /* ZqsnmpAsyncSend: a retry could not be sent; pdu as for 60 */

/* Session flags word: deliver every event in SNMPv1 form (also the default). */
#define ZQSNMP_FLAG_V1_FORM      8

typedef struct ZqVarBind {
    struct ZqVarBind *next_variable;
    ZqOid           *name;         /* owned */
    size_t           name_length;  /* sub-identifiers */
    unsigned char    type;         /* ZQ_ASN_* */
    union {
        int32_t       *integer;    /* INTEGER, Counter32, Gauge32, TimeTicks (one 32-bit value) */
        unsigned char *string;     /* OCTET STRING, IpAddress (4 bytes), Opaque; NUL-terminated extra byte */
        ZqOid         *objid;      /* OBJECT IDENTIFIER */
        uint64_t      *counter64;  /* Counter64 */
        void          *raw;
    } val;                         /* owned; null for NULL values */
    size_t           val_len;      /* bytes for strings, sub-identifiers for OIDs, 4 for integers */
} ZqVarBind;

typedef struct ZqPdu {
    int              command;          /* ZQSNMP_* PDU type */
    int              version;          /* 0 SNMPv1, 1 SNMPv2c, 3 SNMPv3 (as received) */
    int32_t          reqid;
    int32_t          errstat;          /* RFC 1157 error status of a response */
    int32_t          errindex;
    unsigned char   *community;        /* owned; not necessarily NUL-terminated */
    size_t           community_len;
    ZqOid           *enterprise;       /* owned (traps) */
    size_t           enterprise_length;
    unsigned char    agent_addr[4];    /* IPv4 address, network order; zero = not set */
    int32_t          trap_type;        /* generic trap 0-6 */
    int32_t          specific_type;    /* specific trap */
    uint32_t         time;             /* time stamp, hundredths of a second; 0 = not set */
    ZqVarBind       *variables;        /* bindings, in order */
    ZqOid           *trap_id;          /* owned; delivered traps: the trap identifier */
    size_t           trap_id_length;
    /* SNMPv3 traps and informs (version 3): the user that sent it and the security
     * level it came with (1 noAuthNoPriv, 2 authNoPriv, 3 authPriv); community is
     * then empty.  Null and 0 for every other PDU. */
    unsigned char   *security_name;    /* owned, NUL-terminated */
    size_t           security_name_len;
    int              security_level;
} ZqPdu;

struct ZqSession;
typedef void (*ZqsnmpCallback)(int reason, struct ZqSession *session, ZqPdu *pdu, void *data);

typedef struct ZqSession {
    int              sock_fd;   /* descriptor to select on (-1 when dead) */
    unsigned int     flags;     /* ZQSNMP_FLAG_* */
    struct ZqSessionImpl *impl; /* the library's own */
} ZqSession;

/* The destination record of ZqsnmpEventSend (16 bytes, a struct sockaddr_in image). */
typedef struct ZqEventAddr {
    uint16_t      family;   /* 2 */
    uint16_t      port;     /* 162, stored without byte-order conversion */
    unsigned char addr[4];  /* IPv4 address, network order */
    unsigned char zero[8];
} ZqEventAddr;

/* The last error number of the calling process. */
extern int ZqsnmpErrno;
/* Static text of an error number (library numbers below 50, system errors from 50). */
const char *ZqsnmpErrString(int code);

void *ZqsnmpMalloc(size_t size);   /* zero-filled; null (errno 3) when size is 0 or memory is short */
void  ZqsnmpFree(void *ptr);

/* Request session with an agent.  community null: the configured one.  retries -1
 * and timeout -1 (milliseconds): the configured values (any negative retries, and a
 * timeout of 0 or below, too).  remote_port 0xFFFF (or 0): the port of "name:port",
 * else the configured port; an explicit port wins over both.  local_port 0xFFFF or
 * 0: any.  host null: 127.0.0.1.  Callback and data receive the answers of
 * ZqsnmpAsyncSend (below); ZqsnmpBlockingSend does not use them. */
ZqSession *ZqsnmpOpen(const char *community, const char *host, int retries, int timeout,
                      unsigned int remote_port, unsigned int local_port,
                      ZqsnmpCallback callback, void *data);
/* 0 on success, -1 on failure.  Null does nothing (returns 0). */
int        ZqsnmpClose(ZqSession *session);

/* What ZqsnmpOpen(NULL, host, -1, -1, 0xFFFF, ...) would use: the dotted address
 * the host resolves to (conf/hosts, then the system resolver), the port
 * ("name:port", else conf/snmp.conf), the community, the time-out in
 * milliseconds and the retries of conf/snmp.conf.  0 on success; -1 with 22 when
 * the host cannot be resolved, 2 for a null record.  For tools that show how they
 * asked; no request is sent. */
typedef struct ZqAgentSettings {
    char         address[16];
    unsigned int port;
    char         community[256];   /* cut to 255 characters */
    int          timeout_ms;
    int          retries;
} ZqAgentSettings;
int        ZqsnmpAgentSettings(const char *host, ZqAgentSettings *settings);
/* The dotted address conf/hosts gives a name (or a dotted address itself), into
 * address (16 bytes or more); the system resolver is not asked.  0, or -1 with
 * 22 when conf/hosts does not name it, 2 for bad arguments. */
int        ZqsnmpHostsAddress(const char *name, char *address, size_t size);

ZqPdu     *ZqsnmpCreatePdu(int type);  /* 160, 161, 162, 163, 164 */
void       ZqsnmpFreePdu(ZqPdu *pdu);
ZqVarBind *ZqsnmpAddNullVarBind(ZqPdu *pdu, const ZqOid *name, size_t name_length);
ZqVarBind *ZqsnmpAddTypedVarBind(ZqPdu *pdu, const ZqOid *name, size_t name_length,
                                 int type, const void *value, size_t length);
/* Get/GetNext/Set: SNMPv1 with the session's community.  Trap (164): one SNMPv1
 * Trap message to the host's trap port (this instance's trap_port for a local host,
 * 162 otherwise); on an event session, through its connection with trapd.  An
 * unset agent address becomes the sender's address, an unset time stamp the
 * process's up-time, a missing enterprise ZENT. */
ZqPdu     *ZqsnmpBlockingSend(ZqSession *session, ZqPdu *pdu);
/* Requests that do not wait, for a program that serves many agents from one
 * loop.  ZqsnmpAsyncSend sends a Get or GetNext on a request session and returns
 * at once: the request id (above 0) when sent, and the library has freed the
 * request; -1 when not sent, the request still the caller's, ZqsnmpErrno set.
 * Any number of requests may wait on one session.  The program then adds the
 * descriptors of the sessions that wait to its own wait: ZqsnmpAsyncSelectInfo
 * puts them into readset, raises *width to cover them and lowers *timeout to the
 * time left until the next retry or time-out (the caller sets it to its own
 * limit first); it returns the number of sessions waiting.  After the wait,
 * ZqsnmpAsyncRead(readset) reads the answers that came, sends the retries that
 * are due and gives up on requests past their time-out and retries (the
 * session's, as for ZqsnmpBlockingSend), calling the session's callback once
 * per request: ZQSNMP_REASON_RESPONSE with the response, or
 * ZQSNMP_REASON_NORESPONSE with a copy of the request (ZQSNMP_REASON_SENDFAILED
 * when a retry could not even be sent; for an SNMPv3 host whose agent reported a
 * security failure, NORESPONSE with the report, its reqid the request's, and
 * ZqsnmpErrno 24 to 29 saying which); the PDU's reqid is the id
 * ZqsnmpAsyncSend returned, and the callback frees the PDU.  ZqsnmpAsyncRead
 * returns the number of callbacks made (it may be called with an empty set, to
 * handle the time-outs alone).  A callback must not close its session; closing a
 * session after ZqsnmpAsyncRead returns drops its waiting requests without a
 * callback.  Sockets: one per session, as for blocking requests. */
int        ZqsnmpAsyncSend(ZqSession *session, ZqPdu *pdu);
int        ZqsnmpAsyncSelectInfo(int *width, fd_set *readset, struct timeval *timeout);
int        ZqsnmpAsyncRead(fd_set *readset);
/* A copy of a noSuchName response as a new request of `command` without the failed
 * binding; null when the response is not noSuchName or nothing would remain. */
ZqPdu     *ZqsnmpFixPdu(const ZqPdu *response, int command);

/* Event session with the local trap daemon, over its Unix socket run/trapd.sock
 * (TCP event_port with a challenge when that path is too long for a socket
 * address).  The instance key goes only to a peer that proves to be trapd: on the
 * socket one running as the key's owner, on TCP one that answers the challenge;
 * otherwise error 10.  A process with ZQS_NAME or ZQW_APP set (started by zqspmd or
 * hosted by the map program) marks its session managed: trapd keeps its queue
 * apart.  host must be local ("127.0.0.1", "localhost" or null).  name null: a send-only session (no callback, no filter).
 * filter: ".*" or ".1.3.6...*" (a dotted prefix followed by ".*"); null with a
 * name means ".*". */
ZqSession *ZqsnmpEventOpen(const char *host, const char *name, ZqsnmpCallback callback,
                           void *data, const char *filter);
ZqSession *ZqsnmpTrapOpen(ZqsnmpCallback callback, void *data);
/* Reads every event session whose descriptor is in the set and calls its callback
 * once per record received.  Returns the number of callbacks made, -1 on bad args. */
int        ZqsnmpRead(fd_set *readset);
/* Hands an event (a Trap PDU) to the trap daemon, which treats it as a trap received
 * from the network.  address may be null; its agent address is used when the PDU
 * has none. */
int        ZqsnmpEventSend(ZqSession *session, ZqPdu *pdu, const void *address, int flags);

#ifdef __cplusplus
}
#endif

#endif /* ZQSNMP_H */
