// Harness and expected texts of the list commands (gsmopinfo, umtsopinfo,
// radionwinfo).
#ifndef TESTS_UNIT_DIAG_LIST_HARNESS_H
#define TESTS_UNIT_DIAG_LIST_HARNESS_H

#include <stdio.h>

#include <initializer_list>
#include <sstream>
#include <string>

#include "diag_harness.h"

// "name::text" lines for every format and every index from first to last,
// all names of one index before those of the next.
inline std::string IndexedLines(std::initializer_list<const char *> formats, int first, int last,
                                const std::string &text) {
    std::string out;
    char name[64];
    for (int i = first; i <= last; i++)
        for (const char *f : formats) {
            snprintf(name, sizeof name, f, i);
            out += std::string(name) + "::" + text + "\n";
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

// How often needle occurs in text.
inline int Occurrences(const std::string &text, const std::string &needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
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
    // A request id that no earlier request of this process used: a direct
    // run of the binary keeps every handler's last request id.
    static std::string NextId() {
        static int last = 100;
        return std::to_string(++last);
    }
    // One request; the response it gets, and in *own what the command
    // itself printed.
    std::string Run(const std::string &msg, const std::string &id, std::string *own = nullptr) {
        testing::internal::CaptureStdout();
        std::string response = Request(msg, id);
        std::string out = OwnLines(testing::internal::GetCapturedStdout());
        if (own != nullptr) *own = out;
        return response;
    }
};

#endif  // TESTS_UNIT_DIAG_LIST_HARNESS_H
