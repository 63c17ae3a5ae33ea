// SPDX-License-Identifier: Apache-2.0
#include "Client.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace diagctl {

namespace {

// The daemon echoes at most this many characters of a request id.
const std::size_t kEchoedIdLength = 29;

// An fd closed on destruction.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

Outcome Fail(int status, const std::string &message) {
    Outcome o;
    o.status = status;
    o.message = message;
    return o;
}

std::string Errno(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + strerror(errno);
}

// ppsfs refuses a client (EAGAIN) while the server leaves too much unread:
// to the user that is a daemon that does not answer, as a timeout is.
Outcome NotReading(const std::string &path) {
    return Fail(kExitTimeout,
                "qrx_velomar_server is not reading its requests: " + path + " refuses more");
}

// Whether this process has gid among its groups.
bool InGroup(gid_t gid) {
    if (getegid() == gid) return true;
    std::vector<gid_t> groups(static_cast<std::size_t>(sysconf(_SC_NGROUPS_MAX)) + 1);
    int n = getgroups(static_cast<int>(groups.size()), groups.data());
    for (int i = 0; i < n; i++)
        if (groups[static_cast<std::size_t>(i)] == gid) return true;
    return false;
}

// Why a user was refused an object in dir: where the directory is closed
// to others (deployed, it is open to root and a diagnostics group only)
// and the user is not in its group, the group to join; else "".
std::string AccessHint(const std::string &dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) != 0 || InGroup(st.st_gid)) return "";
    struct group *g = getgrgid(st.st_gid);
    std::string group = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
    return " (" + dir + " is open to root and members of group " + group +
           " only; ask to be added to it)";
}

// Opening an object of the daemon: a missing one means the daemon has not
// set up its objects here.
Outcome OpenFailure(const std::string &path) {
    if (errno == EAGAIN) return NotReading(path);
    if (errno == ENOENT)
        return Fail(kExitNoDaemon, path +
                                       " does not exist: qrx_velomar_server is not running "
                                       "(or PPS is not mounted there)");
    const std::string why = Errno("cannot open", path);  // before stat() can change errno
    if (errno == EACCES) return Fail(kExitError, why + AccessHint(path.substr(0, path.rfind('/'))));
    return Fail(kExitError, why);
}

}  // namespace

std::string NextRequestId() {
    // The daemon drops a request whose id, read with atoi(), equals the
    // previous request id of the same command; only atoi(id) == 1 is never
    // taken for a repeat. So every id here reads as 1 for atoi ("1" then a
    // '.'), and is still unique as text: the process id and a counter make
    // each request, of this process or of another diagctl at the same time,
    // distinguishable in the answer, which echoes the first 29 characters.
    static unsigned counter = 0;
    return "1." + std::to_string(getpid()) + "." + std::to_string(++counter);
}

Outcome Exchange(const Paths &paths, const std::string &command, int timeout_ms,
                 const volatile sig_atomic_t *interrupted, Response *response) {
    const std::string path = paths.Control();
    // A plain client open: ?server belongs to the daemon.
    Fd fd(open(path.c_str(), O_RDWR));
    if (fd.get() < 0) return OpenFailure(path);

    const std::string id = NextRequestId();
    // The daemon handles each read of its control object on its own, so the
    // whole request must go in one write.
    const std::string request = "msg::" + command + "\nid::" + id + "\n";
    ssize_t n = write(fd.get(), request.data(), request.size());
    if (n < 0 && errno == EAGAIN) return NotReading(path);
    if (n < 0 && errno == EPIPE)
        return Fail(kExitNoDaemon,
                    "no server holds " + path + ": qrx_velomar_server is not running");
    if (n < 0) return Fail(kExitError, Errno("cannot write to", path));
    if (static_cast<std::size_t>(n) != request.size())
        return Fail(kExitError, "short write to " + path);

    const std::string expected_id = id.substr(0, kEchoedIdLength);
    const long long deadline = NowMs() + timeout_ms;
    std::vector<char> buf(4096);
    for (;;) {
        if (interrupted != nullptr && *interrupted)
            return Fail(kExitInterrupted, "interrupted while waiting for the answer");
        long long left = deadline - NowMs();
        if (left <= 0) {
            char secs[32];
            std::snprintf(secs, sizeof secs, "%.1f", timeout_ms / 1000.0);
            return Fail(kExitTimeout, "no answer to " + command +
                                          " from qrx_velomar_server within " + secs + " s");
        }
        struct pollfd p = {fd.get(), POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return Fail(kExitError, Errno("cannot poll", path));
        if (r == 0) continue;
        if ((p.revents & (POLLERR | POLLNVAL)) != 0)
            return Fail(kExitError, "error on " + path + " while waiting for the answer");
        n = read(fd.get(), buf.data(), buf.size() - 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) return Fail(kExitError, Errno("cannot read", path));
        if (n == 0) {
            // Nothing queued after all; do not spin on a readiness that is
            // not there.
            struct timespec ts = {0, 10 * 1000 * 1000};
            nanosleep(&ts, nullptr);
            continue;
        }
        Response answer;
        if (!ParseResponse(std::string(buf.data(), static_cast<std::size_t>(n)), &answer)) continue;
        if (answer.purged)
            return Fail(kExitNoDaemon, "qrx_velomar_server closed " + path + " before answering");
        // Anything else on the control object (a broadcast, a late answer
        // of another request) is not ours.
        if (answer.res != command || answer.id != expected_id) continue;
        *response = answer;
        return Outcome();
    }
}

Outcome ReadObject(const std::string &path, std::string *text) {
    Fd fd(open(path.c_str(), O_RDONLY));
    if (fd.get() < 0) return OpenFailure(path);
    // One read returns the whole object, or fails with EMSGSIZE (losing
    // nothing) when the buffer is too small for it: then again with more.
    std::vector<char> buf(64 * 1024);
    text->clear();
    for (;;) {
        ssize_t n = read(fd.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EMSGSIZE && buf.size() < (std::size_t{64} << 20)) {
            buf.resize(buf.size() * 4);
            continue;
        }
        if (n < 0) return Fail(kExitError, Errno("cannot read", path));
        text->append(buf.data(), static_cast<std::size_t>(n));
        break;
    }
    if (text->empty()) return Fail(kExitError, path + " returned nothing");
    return Outcome();
}

Outcome WriteObject(const std::string &path, const std::string &lines) {
    Fd fd(open(path.c_str(), O_WRONLY));
    if (fd.get() < 0) return OpenFailure(path);
    ssize_t n = write(fd.get(), lines.data(), lines.size());
    if (n < 0) return Fail(kExitError, Errno("cannot write to", path));
    if (static_cast<std::size_t>(n) != lines.size())
        return Fail(kExitError, "short write to " + path);
    return Outcome();
}

}  // namespace diagctl
