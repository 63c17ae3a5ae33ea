/* SPDX-License-Identifier: Apache-2.0 */
// Test harness for the diagnostic service: a VelomarPPS whose status objects
// are pipes, whose control object is a socketpair played by the test (one
// message per read, as PPS delivers them), and whose tech-mode device is the
// in-process fake answered from a simulator scenario. A request goes through
// the real PPSServer intake and dispatch.
#ifndef TESTS_UNIT_DIAG_DIAG_HARNESS_H
#define TESTS_UNIT_DIAG_DIAG_HARNESS_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

#include "ExpectedText.h"
#include "FakeTechmode.h"
#include "VelomarPPS.h"
#include "techmode/techmode_structs.h"
#include "unit/pps/pps_test_util.h"

class TestService : public VelomarPPS {
  public:
    PPSServer &server() { return server_; }
    using VelomarPPS::InitializeControlMessage;
};

using testsupport::IndexedLines;
using testsupport::NA;
using testsupport::NS;
using testsupport::Same;

class DiagHarness : public ::testing::Test {
  protected:
    DiagHarness() {
        Reset();
        g_service = &svc;
        for (int *fd : {&svc.m_statusUtraFd, &svc.m_statusGeranFd, &svc.m_statusDataFd}) {
            int p[2];
            EXPECT_EQ(pipe2(p, O_NONBLOCK), 0);
            *fd = p[1];
            readers.push_back(p[0]);
        }
        svc.m_techmodeFd = testsupport::kFakeTechmodeFd;
    }
    ~DiagHarness() override {
        svc.m_techmodeFd = -1;  // not a real fd: never closed
        for (int fd : readers) close(fd);
        g_service = nullptr;
    }

    static sim::Scenario &S() { return testsupport::FakeTechmode::scenario(); }
    // A fresh scenario (no faults) and fresh request counts.
    static void Reset() {
        testsupport::FakeTechmode::SetScenario("{\"drift\":{\"enabled\":false}}");
        testsupport::FakeTechmode::ResetCounts();
    }
    // Makes every fetch of a structure fail with a device error.
    static void Fail(std::initializer_list<int> types) {
        for (int t : types) S().faults[t].device_error = 5;
    }
    // Sends one request as client 12 and lets the server read and dispatch
    // it. Returns the response the client receives ("" if none); what the
    // run prints on standard output is dropped.
    std::string Request(const std::string &msg, const std::string &id) {
        testing::internal::CaptureStdout();
        peer.Send("@control.12\nmsg::" + msg + "\nid::" + id + "\n");
        EXPECT_EQ(svc.server().ReadPPS(peer.control), 0);
        testing::internal::GetCapturedStdout();
        return peer.Receive();
    }
    static std::string Success(const std::string &msg, const std::string &id) {
        return "@control.12\nres::" + msg + "\nid::" + id + "\n";
    }
    static std::string Failure(const std::string &msg, const std::string &id) {
        return Success(msg, id) + "err:n:-1\n";
    }
    // Request with an id no earlier request of this process used (handlers
    // keep their last id for the life of the process): "SUCCESS" or
    // "FAILURE" for those exact responses, else the response itself.
    std::string Run(const std::string &msg) {
        static int last = 1000;
        std::string id = std::to_string(++last), response = Request(msg, id);
        return response == Success(msg, id)   ? "SUCCESS"
               : response == Failure(msg, id) ? "FAILURE"
                                              : response;
    }

    // What the runs since the last call wrote to a status object.
    std::string Utra() { return Drain(readers[0]); }
    std::string Geran() { return Drain(readers[1]); }
    std::string Data() { return Drain(readers[2]); }
    static std::string Drain(int fd) {
        std::string out;
        char buf[65536];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
        return out;
    }

    TestService svc;
    ControlPeer peer{[this](const char *path) { return svc.InitializeControlMessage(path); }};
    std::vector<int> readers;
};

#endif  // TESTS_UNIT_DIAG_DIAG_HARNESS_H
