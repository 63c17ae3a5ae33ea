/* SPDX-License-Identifier: Apache-2.0 */
// CellularBase_PPS: the abstract base of a cellular PPS service. It holds the
// PPSServer that runs the service's control object and poll loop, up to three
// PPS objects of its own, and a table of pending requests, and offers what
// every service needs to talk PPS: open a table of objects, publish
// attributes and status objects as PPS text, answer a client, stop.
//
// The publishing operations take the fd explicitly, so a derived service can
// publish into objects it opened itself. A failed write is not detected.
// Single-threaded: everything runs on the thread of the poll loop.
#ifndef PPS_CELLULARBASE_PPS_H
#define PPS_CELLULARBASE_PPS_H

#include <stdint.h>
#include <sys/pps.h>

#include <list>

#include "pps/PPSServer.h"

// One row of a table of PPS objects for OpenObjects.
struct PPSObjDesc {
    uint32_t type;         // 0, 1 or 2: which object slot receives the fd
    const char *path;      // PPS path with its qualifiers ("...?nopersist,critical")
    int32_t oflags;        // open flags
    uint32_t mode;         // creation mode
    uint32_t serviceType;  // the service the object belongs to; only logged
};

// The reply context of one client request, copied by value. msg and id are
// the request's msg and id texts, at most 29 characters each.
struct Transaction {
    int32_t opCode;
    uint64_t clientId;
    char msg[30];
    char id[30];
};

// Writes what the encoder built to fd in one write (so PPS applies it as
// one change); false when the encoder could not build its text. A failed
// write is not detected.
bool WriteEncoded(int fd, pps_encoder_t *encoder);

// Opens one row of an object table (path, flags, mode) with close-on-exec
// set; on failure logs why and returns -1 with nothing left open.
int OpenObjectRow(const PPSObjDesc &row);

// One string attribute for PublishStatus.
struct AttrPair {
    const char *name;
    const char *value;
};

class CellularBase_PPS {
  public:
    // The object fds start at -1; the transaction table starts empty.
    CellularBase_PPS();
    // Frees the transaction table, then the server. Does not close the
    // object fds (CloseObjects or RequestExit does).
    virtual ~CellularBase_PPS();

    CellularBase_PPS(const CellularBase_PPS &) = delete;
    CellularBase_PPS &operator=(const CellularBase_PPS &) = delete;

    // Sets the service up; -1 on failure, anything else on success.
    virtual int Init() = 0;
    virtual void ServiceHook() = 0;

    // Runs the server's poll loop until it ends.
    void Run();
    // Makes the poll loop return before its next poll.
    void Stop();

    // Opens every row of table (at most 255 rows) with its path, flags and
    // mode, close-on-exec, into object 0, 1 or 2 by its type; a row of any
    // other type is closed again and skipped. Returns 0, or EINVAL (22) at
    // the first row that cannot be opened; earlier rows stay open.
    int OpenObjects(const PPSObjDesc *table, int count);
    // Closes object 1, object 0 and object 2, those that are open.
    void CloseObjects();

    // Writes the line name:n:value to fd.
    void WriteAttribute(int fd, const char *name, int value);
    // Writes an object line (objName, e.g. "@status_data") with no attributes.
    void FlushStatus(int fd, const char *objName);
    // Writes an object line and the first count pairs as name::value lines.
    void PublishStatus(int fd, const char *objName, const AttrPair *pairs, int count);
    // Writes the line name::value to fd.
    void PublishAttribute(int fd, const char *name, const char *value);

    // Answers request through the server's control object: res is its msg,
    // id its id, dat (null for none) as text, err only when not 0.
    void SendResponse(const char *objName, Transaction request, const char *dat, int err);
    // Logs reason; unless exitOutNow is 0, closes the objects and stops the
    // poll loop after its current pass.
    void RequestExit(const char *reason, int exitOutNow);

    // Stores a request's reply context under opCode, newest last. An older
    // record of the same opCode and client is replaced; one of another client
    // stays. Always 0.
    int AddTransaction(int opCode, const char *msg, uint64_t clientId, const char *id);
    // Copies the oldest record of opCode into out: 0, or -1 (out untouched).
    int LocateTransaction(int opCode, Transaction &out);
    // Removes the oldest record of opCode, if any.
    void RemoveTransaction(int opCode);

  protected:
    PPSServer server_;
    std::list<Transaction> transactions_;  // oldest first
    int object0_;
    int object1_;
    int object2_;
};

#endif  // PPS_CELLULARBASE_PPS_H
