/* SPDX-License-Identifier: Apache-2.0 */
// The screens' figures as Prometheus metrics, in the text exposition
// format (version 0.0.4, which OpenMetrics scrapers also read), written by
// hand: the figures are already records, so a registry of our own would
// only copy them.
//
// Every number of a screen's latest record is a gauge named after its
// field with its unit in base units (velomar_scell_rscp_dbm,
// velomar_dch_tx_pwr_dbm, velomar_datarate_ul_bytes_per_second), labelled with
// the cell it belongs to (uarfcn, arfcn, sc, bsic, cell_id, lac, and for
// LTE and NR earfcn, nr_arfcn, pci, tac, as the row or section gives them;
// row for a table without them) and, in a fleet, host. A cell that leaves
// its list is gone from the next scrape, so Prometheus ends its series
// there and cardinality stays that of the latest records. Identities never
// appear, neither as values nor as labels. Beside them, per command:
// requests, failures by reason, the answer latency as a histogram and the
// time of the last answer.
#ifndef TOOLS_DIAGCTL_METRICS_H
#define TOOLS_DIAGCTL_METRICS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Screens.h"

namespace diagctl {

// The answers to one screen's requests, counted as they come.
struct Tally {
    static constexpr double kBuckets[] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                          0.1,   0.25,   0.5,   1,    2.5,   5};
    static constexpr std::size_t kBucketCount = sizeof kBuckets / sizeof kBuckets[0];
    uint64_t requests = 0;
    std::map<std::string, uint64_t> failures;  // by reason
    uint64_t buckets[kBucketCount] = {};       // answers at or under each bound
    double latency_sum_s = 0;
    double last_answer_s = 0;  // Unix time of the last answer, 0: none

    // One refresh: status as Snapshot::status, the latency, the record's
    // time ("2026-01-01T00:00:00.000Z"; ignored when not one).
    void Count(int status, double latency_ms, const std::string &time);
};

// The reason a failure is counted under, from a snapshot's status.
const char *FailureReason(int status);

// One host's latest records (a JSON line, unmasked, or "" / "null" for none)
// and tallies, in the order of the screens given.
struct HostFigures {
    std::string host;  // "" in the local mode: no host label
    std::vector<std::string> records;
    std::vector<Tally> tallies;
};

// The exposition of every host's figures for these screens.
std::string Exposition(const std::vector<const Screen *> &screens,
                       const std::vector<HostFigures> &hosts);

// A label value as the format writes it: backslash, quote and line end
// escaped, bytes that are not printable ASCII as '?', at most 64 bytes.
std::string LabelValue(const std::string &text);

}  // namespace diagctl

#endif
