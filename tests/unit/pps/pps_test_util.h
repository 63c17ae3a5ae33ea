/* SPDX-License-Identifier: Apache-2.0 */
// Helpers for the pps/ and diag/ tests: a temporary directory, and a control
// object played by the test over a real socketpair.
#ifndef TESTS_UNIT_PPS_PPS_TEST_UTIL_H
#define TESTS_UNIT_PPS_PPS_TEST_UTIL_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "pps/PPSServer.h"
#include "support/SlogCapture.h"

using Lines = std::vector<std::string>;
using testsupport::SlogCapture;

// A fresh temporary directory, removed with its files at the end.
struct TempDir {
    ~TempDir() { (void)!system(("rm -rf " + path).c_str()); }
    std::string File(const char *name) const { return path + "/" + name; }
    char tmpl[21] = "/tmp/pps_test.XXXXXX";
    const std::string path = mkdtemp(tmpl);
};

// The fd of this process that refers to path, or -1.
inline int FdOf(const std::string &path) {
    struct stat want, have;
    for (int fd = 0; stat(path.c_str(), &want) == 0 && fd < 1024; fd++) {
        if (fstat(fd, &have) == 0 && have.st_dev == want.st_dev && have.st_ino == want.st_ino)
            return fd;
    }
    return -1;
}

// Has a server open its control object on a file (open gets the path), then
// puts a non-blocking SOCK_SEQPACKET end (one message per read, as PPS
// delivers them) in place of that fd; the test plays PPS at the other end.
class ControlPeer {
  public:
    explicit ControlPeer(const std::function<int(const char *)> &open) {
        std::string path = dir_.File("control?server");
        EXPECT_EQ(open(path.c_str()), 0);
        control = FdOf(path);
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, sv), 0);
        dup2(sv[0], control);
        close(sv[0]);
        peer = sv[1];
    }
    explicit ControlPeer(PPSServer &server)
        : ControlPeer([&server](const char *path) { return server.OpenServerObject(path); }) {}
    ~ControlPeer() {
        close(control);
        close(peer);
    }
    void Send(const std::string &text) {
        EXPECT_EQ(write(peer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // The next message the server wrote, "" when none is queued.
    std::string Receive() {
        char buf[2048];
        ssize_t n = read(peer, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

    int control = -1, peer = -1;

  private:
    TempDir dir_;
};

// The calls the handlers of a test saw, "<client> <msg> <id> <dat or
// (null)>" or the fd; the server is stopped at stopAt calls.
struct Recorder {
    explicit Recorder(PPSServer &s, int stopAt = 0) : server(&s), stopAfter(stopAt) {}
    void Add(PPSServer *from, const std::string &call) {
        calls.push_back(from == server ? call : "wrong server: " + call);
        if (static_cast<int>(calls.size()) == stopAfter) from->Stop();
    }
    PPSServer *server;
    int stopAfter;
    Lines calls;
};

inline int RecordCall(PPSServer *server, void *user, uint64_t client, const char *msg,
                      const char *id, const char *dat) {
    static_cast<Recorder *>(user)->Add(server, std::to_string(client) + " " + msg + " " + id + " " +
                                                   (dat != nullptr ? dat : "(null)"));
    return 0;
}

#endif  // TESTS_UNIT_PPS_PPS_TEST_UTIL_H
