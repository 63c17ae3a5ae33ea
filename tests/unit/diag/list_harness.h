// Harness and expected texts of the list commands (gsmopinfo, umtsopinfo,
// radionwinfo).
#ifndef TESTS_UNIT_DIAG_LIST_HARNESS_H
#define TESTS_UNIT_DIAG_LIST_HARNESS_H

#include <stdio.h>

#include <algorithm>
#include <initializer_list>
#include <sstream>
#include <string>

#include "diag_harness.h"

// One line per format (printed with the index, then suffix; a format may use
// the index twice) for every index from first to last, all lines of one
// index before those of the next.
inline std::string IndexedLines(std::initializer_list<const char *> formats, int first, int last,
                                const std::string &suffix = "") {
    std::string out;
    char line[64];
    for (int i = first; i <= last; i++)
        for (const char *f : formats) {
            snprintf(line, sizeof line, f, i, i);
            out += line + suffix + "\n";
        }
    return out;
}

// The lines a command itself printed: standard output without the fetchers'
// and the transport's progress and error lines.
inline std::string OwnLines(const std::string &out) {
    std::istringstream in(out);
    std::string line, own;
    while (std::getline(in, line))
        if (line.rfind("Getting ", 0) != 0 && line.rfind("Received ", 0) != 0 &&
            line.rfind("Could not ", 0) != 0 && line.rfind("TLVTM_", 0) != 0 &&
            line != "Device error from RRM")
            own += line + "\n";
    return own;
}

// The diagnostic harness with what the list command tests share.
class ListHarness : public DiagHarness {
  protected:
    static sim::Scenario &S() { return testsupport::FakeTechmode::scenario(); }
    // A fresh scenario (no faults) and request counts, for one case of a table.
    static void Reset() {
        testsupport::FakeTechmode::SetScenario("{\"drift\":{\"enabled\":false}}");
        testsupport::FakeTechmode::ResetCounts();
    }
    // Sends msg with an id that no earlier request of this process used (a
    // direct run of the binary keeps every handler's last request id).
    // Returns "SUCCESS" or "FAILURE" for those exact responses, else the
    // response itself; *own receives what the command itself printed.
    std::string Run(const std::string &msg, std::string *own = nullptr) {
        static int last = 100;
        std::string id = std::to_string(++last);
        testing::internal::CaptureStdout();
        std::string response = Request(msg, id);
        std::string out = OwnLines(testing::internal::GetCapturedStdout());
        if (own != nullptr) *own = out;
        return response == Success(msg, id)   ? "SUCCESS"
               : response == Failure(msg, id) ? "FAILURE"
                                              : response;
    }
    // Makes every structure of types fail except those in ok.
    static void FailAllBut(std::initializer_list<int> types, std::initializer_list<int> ok) {
        for (int t : types)
            if (std::find(ok.begin(), ok.end(), t) == ok.end()) FailStructure(t);
    }
};

#endif  // TESTS_UNIT_DIAG_LIST_HARNESS_H
