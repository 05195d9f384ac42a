/* Loop detection for other daemons: a connection to coild's client message
 * server, the requests (register, start poll, stop poll, deregister) and the
 * loop reports that come back. Usable from C and C++.
 *
 * A service is keyed by a client identifier and a VLAN instance. It belongs
 * to the connection that registered it and is removed when that connection
 * closes. Register leaves it idle; a Start Poll starts it. A service's run
 * stops at its first loop (the report says so) and needs a new Start Poll.
 * No request is answered: results arrive only as reports.
 *
 * A connection is not thread-safe; use it from one thread. Functions that
 * can fail return 0 on success and -1 on failure, with the reason in
 * coilClientError(). */
#ifndef COIL_CLIENT_H
#define COIL_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The message: 1172 bytes, big-endian, requests and reports alike ---- */

enum { COIL_CLIENT_MESSAGE_SIZE = 1172, COIL_CLIENT_TEXT_SIZE = 32 };

/* msgType of a request */
enum {
    COIL_CLIENT_REGISTER = 1,
    COIL_CLIENT_START_POLL = 2,
    COIL_CLIENT_STOP_POLL = 3,
    COIL_CLIENT_DEREGISTER = 4
};
/* msgType of a report */
enum { COIL_CLIENT_REPORT_NO_LOOP = 1, COIL_CLIENT_REPORT_LOOP = 2 };
/* target pollType */
enum { COIL_CLIENT_POLL_COUNTED = 1, COIL_CLIENT_POLL_CONTINUOUS = 2 };

/* The switch's port list: a first word, then 32 groups of eight words, one
 * group per slot (group (slot - first slot) mod 32); port p of a slot is bit
 * p-1 of its group counted from the most significant bit of the first word. */
typedef struct coilClientPortList {
    uint32_t word0;
    uint32_t group[32][8];
} coilClientPortList;

/* Every field of the message, in host form. Texts are terminated. */
typedef struct coilClientMessage {
    char clientId[COIL_CLIENT_TEXT_SIZE]; /*    0 */
    uint32_t vlanIfInstance;              /*   32 service key */
    uint8_t clientType;                   /*   36 */
    uint8_t reserved[3];                  /*   37 */
    uint32_t msgType;                     /*   40 opcode, or report 1/2 */
    uint32_t vr;                          /*   44 echoed */
    uint32_t seq;                         /*   48 echoed */
    uint32_t statusFlag;                  /*   52 echoed */
    uint32_t targetVlanIfInstance;        /*   56 instance the probes carry */
    uint32_t numPorts;                    /*   60 0 = every port of the VLAN */
    coilClientPortList ports;             /*   64 */
    uint32_t pollType;                    /* 1092 */
    uint32_t count;                       /* 1096 polls of a counted run */
    uint32_t timeout;                     /* 1100 poll interval, seconds */
    uint32_t action;                      /* 1104 */
    uint32_t disablePort;                 /* 1108 */
    uint32_t disablePortDuration;         /* 1112 */
    uint8_t reserved1[4];                 /* 1116 */
    char vlan[COIL_CLIENT_TEXT_SIZE];     /* 1120 VLAN name */
    uint8_t noVpifs;                      /* 1152 */
    uint8_t reserved2;                    /* 1153 */
    uint16_t extTag;                      /* 1154 VLAN tag */
    uint16_t inPifSlot, inPifPort;        /* 1156 ingress port of the loop */
    uint16_t inLifSlot, inLifPort;        /* 1160 ingress logical port */
    uint32_t txVlanId;                    /* 1164 instance the returned probe carried */
    uint32_t txPortId;                    /* 1168 port the returned probe left by */
} coilClientMessage;

/* Writes exactly COIL_CLIENT_MESSAGE_SIZE bytes. */
void coilClientEncode(const coilClientMessage* msg, uint8_t* out);
/* Reads a whole message; -1 (and *msg untouched) unless length is
 * COIL_CLIENT_MESSAGE_SIZE. Texts come out terminated. */
int coilClientDecode(const uint8_t* data, size_t length, coilClientMessage* msg);

/* ---- Ports ----------------------------------------------------------------- */

typedef struct coilClientPort {
    uint16_t slot;
    uint16_t port;
} coilClientPort;

/* Adds a port to a list whose slots are numbered from firstSlot; -1 when the
 * slot is below firstSlot or the port is outside 1..256. */
int coilClientPortListAdd(coilClientPortList* list, uint16_t firstSlot, coilClientPort port);
/* Parses "1:1,1:3-1:5,2:7-8" (slot:port entries and ranges within a slot);
 * stores at most max ports and returns how many the text names, or -1 when
 * it does not parse. */
int coilClientParsePorts(const char* text, coilClientPort* out, size_t max);

/* ---- Requests ---------------------------------------------------------------- */

/* Fills *msg for a request. clientId has 1 to 31 characters. ports/numPorts
 * name the ports to probe (none: every port of the VLAN), numbered from
 * firstSlot. For Start Poll, count 0 asks for a continuous poll and 1 or more
 * for a counted one; interval is in seconds (at least 1). -1 with a reason in
 * error (which may be null) when an argument is out of range. */
int coilClientBuildRequest(coilClientMessage* msg, uint32_t msgType, const char* clientId, uint32_t vlanIfInstance,
                           const coilClientPort* ports, size_t numPorts, uint16_t firstSlot, uint32_t count,
                           uint32_t interval, char* error, size_t errorSize);

/* ---- Reports -------------------------------------------------------------------- */

typedef struct coilClientReport {
    int loop;                             /* 1: loop detected (msgType 2); 0: no loop (msgType 1) */
    char clientId[COIL_CLIENT_TEXT_SIZE];
    uint32_t vlanIfInstance;              /* the service's VLAN instance */
    char vlan[COIL_CLIENT_TEXT_SIZE];     /* its name */
    /* Where the loop was seen: the port the probe came back in by, its
     * logical port (a trunk for a trunk member), the port it had left by,
     * and the VLAN instance it carried. A no-loop report carries what the
     * service recorded at its last loop (zero if none). */
    coilClientPort ingress;
    coilClientPort ingressLogical;
    coilClientPort egress;
    uint32_t probeVlanInstance;
    coilClientMessage message;            /* everything that came */
} coilClientReport;

/* Reads a report out of a decoded message; -1 when msgType is not 1 or 2. */
int coilClientReportFrom(const coilClientMessage* msg, coilClientReport* report);

/* ---- Connection ----------------------------------------------------------------- */

typedef struct coilClient coilClient;

/* The run directory coild uses by default: /run/coil for root (the system
 * service), else $XDG_RUNTIME_DIR/coil, else /tmp/coil-UID. Written into out
 * (terminated, cut to size). */
void coilClientDefaultRunDir(char* out, size_t size);

/* Connects to the message server that coild publishes in runDir (null: the
 * default run directory). Null on failure, with the reason in error. */
coilClient* coilClientConnect(const char* runDir, char* error, size_t errorSize);
/* Connects to a message server's socket path. */
coilClient* coilClientConnectSocket(const char* socketPath, char* error, size_t errorSize);
/* Closes the connection: the server removes every service it registered. */
void coilClientClose(coilClient* client);

/* The connection's descriptor, readable when a report may be waiting: for
 * a caller's own event loop (then call coilClientReceive with timeout 0). */
int coilClientFd(const coilClient* client);
/* The reason of the last failure on this connection. */
const char* coilClientError(const coilClient* client);
/* How the switch numbers its slots (default 1), for port lists. */
void coilClientSetFirstSlot(coilClient* client, uint16_t firstSlot);

int coilClientRegister(coilClient* client, const char* clientId, uint32_t vlanIfInstance,
                       const coilClientPort* ports, size_t numPorts);
/* The Start Poll's port list replaces the registered one; count 0 polls
 * continuously. */
int coilClientStartPoll(coilClient* client, const char* clientId, uint32_t vlanIfInstance, uint32_t count,
                        uint32_t interval, const coilClientPort* ports, size_t numPorts);
int coilClientStopPoll(coilClient* client, const char* clientId, uint32_t vlanIfInstance);
int coilClientDeregister(coilClient* client, const char* clientId, uint32_t vlanIfInstance);
/* Sends any message as it stands. */
int coilClientSend(coilClient* client, const coilClientMessage* msg);

/* Waits up to timeoutMs (0: do not wait; negative: no limit) for the next
 * report. 1: *report filled; 0: none came in time; -1: the connection
 * ended, broke, or carried a frame too large to be a message (it is then
 * closed for good). Messages that are not reports are skipped. */
int coilClientReceive(coilClient* client, coilClientReport* report, int timeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* COIL_CLIENT_H */
