// Test harness for the diagnostic commands: a VelomarPPS whose status
// objects are pipes, whose control object is a socketpair played by the
// test (one message per read, as PPS delivers them), and whose tech-mode
// device is the in-process fake answered from a simulator scenario. A
// request goes through the real PPSServer intake and dispatch.
#ifndef TESTS_UNIT_DIAG_DIAG_HARNESS_H
#define TESTS_UNIT_DIAG_DIAG_HARNESS_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "FakeTechmode.h"
#include "VelomarPPS.h"
#include "slog_capture.h"

class TestService : public VelomarPPS {
  public:
    PPSServer &server() { return server_; }
    using VelomarPPS::InitializeControlMessage;
};

// Every slogf line as "<severity> <text>" while it lives.
class LogCapture {
  public:
    LogCapture() { slog_set_capture(&LogCapture::Add, this); }
    ~LogCapture() { slog_set_capture(nullptr, nullptr); }
    std::vector<std::string> lines;
    bool Has(const std::string &line) const {
        for (const auto &l : lines)
            if (l == line) return true;
        return false;
    }

  private:
    static void Add(void *ctx, int, int severity, const char *text) {
        static_cast<LogCapture *>(ctx)->lines.push_back(std::to_string(severity) + " " + text);
    }
};

class DiagHarness : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::FakeTechmode::SetScenario("{\"drift\":{\"enabled\":false}}");
        testsupport::FakeTechmode::ResetCounts();
        g_service = &svc;
        char tmpl[] = "/tmp/diag_test.XXXXXX";
        dir = mkdtemp(tmpl);
        std::string path = dir + "/control";
        ASSERT_EQ(svc.InitializeControlMessage(path.c_str()), 0);
        control = FdOf(path);
        ASSERT_GE(control, 0);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, sv), 0);
        ASSERT_EQ(dup2(sv[0], control), control);
        close(sv[0]);
        peer = sv[1];
        for (int *fd : {&svc.m_statusUtraFd, &svc.m_statusGeranFd, &svc.m_statusDataFd}) {
            int p[2];
            ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
            *fd = p[1];
            readers.push_back(p[0]);
        }
        svc.m_techmodeFd = testsupport::kFakeTechmodeFd;
    }
    void TearDown() override {
        svc.m_techmodeFd = -1;  // not a real fd: never closed
        for (int fd : readers) close(fd);
        close(peer);
        (void)!system(("rm -rf " + dir).c_str());
        g_service = nullptr;
    }

    // Sends one request as client 12 (or clientId) and lets the server read
    // and dispatch it. Returns the response the client receives ("" if none).
    std::string Request(const std::string &msg, const std::string &id, uint64_t clientId = 12) {
        std::string text =
            "@control." + std::to_string(clientId) + "\nmsg::" + msg + "\nid::" + id + "\n";
        EXPECT_EQ(write(peer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        EXPECT_EQ(svc.server().ReadPPS(control), 0);
        return Drain(peer);
    }
    // What the last runs wrote to a status object.
    std::string Utra() { return Drain(readers[0]); }
    std::string Geran() { return Drain(readers[1]); }
    std::string Data() { return Drain(readers[2]); }

    static std::string Drain(int fd) {
        std::string out;
        char buf[65536];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        return out;
    }
    static int FdOf(const std::string &path) {
        struct stat want, have;
        if (stat(path.c_str(), &want) != 0) return -1;
        for (int fd = 0; fd < 1024; fd++)
            if (fstat(fd, &have) == 0 && have.st_dev == want.st_dev && have.st_ino == want.st_ino)
                return fd;
        return -1;
    }
    static std::string Success(const std::string &msg, const std::string &id,
                               uint64_t client = 12) {
        return "@control." + std::to_string(client) + "\nres::" + msg + "\nid::" + id + "\n";
    }
    static std::string Failure(const std::string &msg, const std::string &id,
                               uint64_t client = 12) {
        return Success(msg, id, client) + "err:n:-1\n";
    }
    // Makes every fetch of a structure fail with a device error.
    static void FailStructure(int type) {
        testsupport::FakeTechmode::scenario().faults[type].device_error = 5;
    }

    TestService svc;
    std::string dir;
    int control = -1, peer = -1;
    std::vector<int> readers;
};

#endif
