/* SPDX-License-Identifier: Apache-2.0 */
// One refresh of a screen: the request (when the screen makes one), the
// read of its status object, and the time it was made, as --watch, record
// and the one-shot command all take it. Nothing here prints or exits.
#ifndef TOOLS_DIAGCTL_SNAPSHOT_H
#define TOOLS_DIAGCTL_SNAPSHOT_H

#include <signal.h>
#include <time.h>

#include <string>

#include "Client.h"
#include "Screens.h"

namespace diagctl {

struct Snapshot {
    // kExitSuccess, kExitFailure (the daemon answered FAILURE, or nothing
    // is published for a screen without a request), or the error status.
    int status = kExitSuccess;
    std::string error;    // why, for the error statuses
    std::string heading;  // "SUCCESS", "FAILURE (err -1)", ...
    Result result;
    Value own;  // the screen's own attributes (masked when asked)
    Timing timing;
    bool shown() const { return status == kExitSuccess || status == kExitFailure; }
};

// Makes one refresh. interrupted, set by a signal handler, ends a wait for
// the answer (status kExitInterrupted).
Snapshot Take(const Screen &screen, const Paths &paths, int timeout_ms, bool mask,
              const volatile sig_atomic_t *interrupted);

// The snapshot as one JSON line without the newline: the screen's record,
// or the error record when it failed.
std::string RecordLine(const Screen &screen, const Snapshot &snapshot);

// A realtime clock reading as UTC ISO 8601 with milliseconds
// ("2024-05-01T12:00:00.250Z").
std::string UtcTime(const struct timespec &ts);

}  // namespace diagctl

#endif
