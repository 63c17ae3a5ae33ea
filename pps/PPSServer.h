/* SPDX-License-Identifier: Apache-2.0 */
// PPSServer: serves one PPS object opened in server mode (the control object)
// and any number of further fds, multiplexed with poll on the calling thread.
//
// Text read from the control object is parsed as server-mode PPS: client
// connections (+@name.<id>...) fill a table of credentials, disconnections
// (-@name.<id>) empty it, and a client's message (@name.<id> with msg, id and
// optional dat attributes) is dispatched to the handler registered under the
// 32-bit hash of its msg. A handler answers that one client with
// WriteResponse.
//
// Single-threaded: every operation, and every handler, runs on the thread that
// calls Run; nothing is locked. Not for use from signal handlers.
#ifndef PPS_PPSSERVER_H
#define PPS_PPSSERVER_H

#include <stdint.h>
#include <stdio.h>

#include <map>
#include <vector>

class PPSServer;

// A message handler: the client that sent the message, its msg and id texts,
// and its dat text or null. The texts point into the buffer being processed
// and are valid only during the call. The result is ignored.
typedef int (*MessageHandler)(PPSServer *server, void *user, uint64_t clientId, const char *msg,
                              const char *id, const char *dat);

// An fd handler: called whenever poll reports any event on fd (readable,
// error or hang-up alike). The handler reads the fd itself.
typedef void (*FdHandler)(PPSServer *server, void *user, int fd);

// One registered fd. Created by AddFdHandler, owned by the server.
struct FdHandlerEntry {
    PPSServer *server;
    int fd;
    FdHandler handler;
    void *user;  // not owned
};

// One registered message name. The name is not copied: it must outlive the
// server. Created by AddMessageHandler, owned by the server.
struct MessageHandlerEntry {
    PPSServer *server;
    const char *name;
    uint32_t hash;
    MessageHandler handler;
    void *user;  // not owned
};

// Credentials of one connected client, from the items of its connection line
// (.n<nd>.p<pid>.u<euid>.g<egid>[.g<gid>...]). Fields the line does not carry
// stay 0.
struct ClientInfo {
    uint32_t nd;
    int32_t pid;
    int32_t sid;
    uint32_t flags;
    uint32_t ruid;
    uint32_t euid;
    uint32_t suid;
    uint32_t rgid;
    uint32_t egid;
    uint32_t sgid;
    uint32_t ngroups;  // entries of grouplist in use, at most 8
    uint32_t grouplist[8];
};

// The 32-bit hash under which message names are registered and looked up:
// 5381, then for each character h = h * 33 + c, with c taken as a signed
// 8-bit value (bytes 0x80..0xFF subtract); arithmetic wraps. Names are never
// compared, so two names with one hash share one handler slot.
uint32_t PPSNameHash(const char *name);

class PPSServer {
  public:
    PPSServer();
    // Deletes the handler entries and client records. Does not close the
    // control object: the process end releases it.
    virtual ~PPSServer();

    PPSServer(const PPSServer &) = delete;
    PPSServer &operator=(const PPSServer &) = delete;

    // Opens path (with its ?server qualifier) read-write, created and
    // truncated, mode 0666, close-on-exec, and keeps an "r+" stream over it.
    // When the open fails the path is unlinked and opened once more.
    // Returns 0; ENOENT (2) when the open after a successful unlink fails;
    // EINVAL (22) when unlink fails or the stream or close-on-exec cannot be
    // set up (the fd is closed again).
    int OpenServerObject(const char *path);

    // Adds fd to the fds polled by the next Run. The fd is not checked: -1 is
    // kept and never reported; one fd may be registered more than once.
    // Always true.
    bool AddFdHandler(int fd, FdHandler handler, void *user);

    // Polls the control object and the registered fds without time limit
    // until Stop. A readable control object is read once (ReadPPS) and, unless
    // it would block, the fd handlers whose fds reported events are called in
    // registration order. Returns 0 after Stop, ENOMEM (12) when the poll
    // array cannot be allocated. A fatal read error of the control object
    // ends the process with exit status 1 (err).
    int Run();

    // Makes Run return before its next poll.
    void Stop();

    // Reads fd once (at most 1023 bytes are kept) and processes the text.
    // Returns 0, or EAGAIN when nothing could be read yet. EBADF and every
    // other read error end the process with exit status 1 (err).
    int ReadPPS(int fd);

    // The handler for messages with no registered name; null for none.
    void SetDefaultHandler(MessageHandler handler, void *user);

    // Registers handler under the hash of name, replacing whatever had that
    // hash. Always true.
    bool AddMessageHandler(const char *name, MessageHandler handler, void *user);

    // Parses NUL-terminated server-mode text in place, keeps the client table
    // up to date and dispatches at most one message (the client id, msg, id
    // and dat last seen) when both msg and id were seen under a client id.
    void PPSProcess(char *buffer);

    // Calls the handler registered for msg, or reports "Unhandled message" on
    // standard error and calls the default handler, if one is set.
    void DispatchMessage(uint64_t clientId, const char *msg, const char *id, const char *dat);

    // Copies the record of a connected client into *out. False when out is
    // null or the client has no record.
    bool GetClientInfo(uint64_t clientId, ClientInfo *out);

    // Writes one response to one client, in one write on the control fd:
    // @<objName>.<clientId>, res::<res>, id::<id>, then dat (as dat::text, or
    // dat:json:text when datIsJson) when dat is not null, then
    // err:n:<errCode> when errCode is not 0. Nothing is reported when the
    // text cannot be built or the write fails.
    void WriteResponse(const char *objName, uint64_t clientId, const char *res, const char *id,
                       const char *dat, int errCode, bool datIsJson);

  private:
    MessageHandler defaultHandler_;
    void *defaultHandlerUser_;
    FILE *controlStream_;  // "r+" over controlFd_; no I/O goes through it
    int controlFd_;
    bool running_;
    std::map<uint32_t, MessageHandlerEntry *> messageHandlers_;
    std::vector<FdHandlerEntry *> fdHandlers_;
    std::map<uint64_t, ClientInfo *> clients_;  // records from malloc
};

#endif  // PPS_PPSSERVER_H
