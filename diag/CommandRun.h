/* SPDX-License-Identifier: Apache-2.0 */
// The common request cycle of every diagnostic command, shared by the
// command files: duplicate-id check, one encoder per run, one write to the
// command's status object, and the SUCCESS/FAILURE response.
#ifndef DIAG_COMMANDRUN_H
#define DIAG_COMMANDRUN_H

#include <stddef.h>
#include <stdint.h>
#include <sys/pps.h>

#include "VelomarPPS.h"

struct VelomarPPS::CommandRun {
    // prefix starts every log and standard-output line of the run;
    // last_id is the handler's last request id (process-wide, starts at -1).
    CommandRun(const char *prefix, int *last_id) : prefix(prefix), last_id(last_id) {}

    const char *prefix;
    int *last_id;
    Transaction reply{};  // client id, msg and id of the request
    pps_encoder_t enc{};  // the run's one encoder, PPS text

    // Adds "N/A" for each of the names (a section whose fetch failed).
    template <size_t N>
    void NotAvailable(const char *const (&names)[N]) {
        AddEach(names, N, "N/A");
    }
    // Adds "NOT SUPPORTED" for each of the names.
    template <size_t N>
    void NotSupported(const char *const (&names)[N]) {
        AddEach(names, N, "NOT SUPPORTED");
    }

  private:
    // The lists are taken as arrays so that their length is never counted
    // by hand.
    void AddEach(const char *const *names, size_t count, const char *text);
};

#endif
