/* SPDX-License-Identifier: Apache-2.0 */
// Test support: a private mount namespace for the whole test process (the
// host's mounts are never touched), and child processes (the FUSE stand-ins,
// the daemon) started and stopped around a test.
#ifndef TESTS_SUPPORT_SANDBOX_H
#define TESTS_SUPPORT_SANDBOX_H

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Moves this process into a new mount namespace with every mount private;
// "" or why not (for GTEST_SKIP). Calling it again is harmless.
std::string EnterPrivateMountNamespace();

// Gives the namespace its own /dev (a tmpfs with the host's device nodes,
// pts and shm bound in), so that what a test makes there (the tech-mode
// device's mount point, a syslog socket) exists in the namespace only; ""
// or why not. Calling it again is harmless.
std::string EnterPrivateDev();

// The syslog daemon of a namespace: a datagram socket at /dev/log, open to
// every user, whose messages are kept as sent, one a line. A thread drains
// it all the time, so a chatty program never blocks on a full queue.
class SyslogSink {
  public:
    ~SyslogSink();  // (not copyable: it holds a thread and a mutex)

    // Binds /dev/log (replacing whatever is there); "" or why not.
    std::string Start();
    // Every message received so far, including any still queued.
    std::string Text();
    // Forgets the messages received so far.
    void Clear();

  private:
    void Drain(int timeout_ms);

    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;  // text_ and reading fd_
    std::string text_;
};

// Makes a fresh empty directory under /tmp and returns its path.
std::string MakeTempDir(const std::string &prefix);

// A child process running a program; killed (SIGTERM, then SIGKILL) and
// reaped when destroyed unless already waited for.
class Child {
  public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child();

    // The next Start runs the program as uid and gid with these groups.
    void RunAs(uid_t uid, gid_t gid, const std::vector<gid_t> &groups = {}) {
        as_user_ = true;
        uid_ = uid;
        gid_ = gid;
        groups_ = groups;
    }
    // Starts argv[0]; stdout and stderr go to the files given ("" keeps the
    // test's own). False if fork failed; status 126 if RunAs's identity fails.
    bool Start(const std::vector<std::string> &argv, const std::string &out_path = "",
               const std::string &err_path = "");
    pid_t pid() const { return pid_; }
    // False once the child has ended; its exit status is kept for Wait.
    bool running();
    // Sends sig and waits up to timeout_ms for the exit; returns the wait
    // status, or -1 on timeout (the child is then killed).
    int Stop(int sig, int timeout_ms = 5000);
    // Waits up to timeout_ms for the child to exit on its own; -1 on timeout.
    int Wait(int timeout_ms);

  private:
    // Collects the exit status once; true when the child has ended.
    bool Reap(int options);

    pid_t pid_ = -1;
    bool exited_ = false;  // reaped: pid_ names no process any more
    int status_ = 0;
    bool as_user_ = false;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    std::vector<gid_t> groups_;
};

// Runs fn in a child process as that user: its exit status, 100 when the
// identity could not be taken, 200 when the child did not exit normally.
int AsUser(uid_t uid, gid_t gid, const std::function<int()> &fn,
           const std::vector<gid_t> &groups = {});

// Waits until a mount appears at path; false after timeout_ms.
bool WaitForMount(const std::string &path, int timeout_ms = 5000);

// A log in the programs' shared format with each line's time and pid taken
// out ("NAME: LEVEL: TEXT"); a line in another format is kept whole behind
// "unformatted: ", so a test that compares the result checks the format too.
std::string WithoutLogStamps(const std::string &log);

// Reads a whole file ("" if it cannot be read).
std::string ReadFile(const std::string &path);

}  // namespace testsupport

#endif
