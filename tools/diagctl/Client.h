/* SPDX-License-Identifier: Apache-2.0 */
// diagctl's conversation with the daemon over PPS: one request on the
// control object and its answer, a plain read of a status object, and a
// write to the configuration object. Every operation returns an Outcome
// that carries the process exit status and, on error, a message for the
// user; nothing here prints or exits.
#ifndef TOOLS_DIAGCTL_CLIENT_H
#define TOOLS_DIAGCTL_CLIENT_H

#include <signal.h>

#include <string>

#include "PpsValue.h"

namespace diagctl {

// Exit statuses of diagctl (listed in --help).
enum ExitStatus {
    kExitSuccess = 0,        // SUCCESS, or the request made
    kExitFailure = 1,        // the daemon answered FAILURE (or nothing to show)
    kExitUsage = 2,          // bad command line
    kExitNoDaemon = 3,       // no control object, or no server holds it
    kExitTimeout = 4,        // no answer within the timeout
    kExitError = 5,          // any other error (I/O, permissions, bad text)
    kExitInterrupted = 130,  // SIGINT or SIGTERM while waiting
};

struct Outcome {
    int status = kExitSuccess;
    std::string message;  // for standard error; empty on success
    bool ok() const { return status == kExitSuccess; }
};

// Where the objects are, under a PPS mount ("/pps" normally).
struct Paths {
    std::string root;
    std::string Diag() const { return root + "/services/radioctrl/modem0/diag"; }
    std::string Control() const { return Diag() + "/control"; }
    std::string Config() const { return Diag() + "/config"; }
    std::string Status(const std::string &object) const { return Diag() + "/" + object; }
};

// A request id that the daemon never takes for a repeat (see Client.cpp);
// each call returns a new one.
std::string NextRequestId();

// Sends "msg::<command>" with a fresh id in one write to the control object
// and waits up to timeout_ms for the answer to that id. *response is the
// daemon's answer (err 0 for SUCCESS); the outcome is kExitSuccess whenever
// an answer came, whatever it says. interrupted, when set by a signal
// handler, ends the wait with kExitInterrupted.
Outcome Exchange(const Paths &paths, const std::string &command, int timeout_ms,
                 const volatile sig_atomic_t *interrupted, Response *response);

// Reads a whole object with a plain open and read.
Outcome ReadObject(const std::string &path, std::string *text);

// Writes attribute lines to an existing object in one write.
Outcome WriteObject(const std::string &path, const std::string &lines);

}  // namespace diagctl

#endif
