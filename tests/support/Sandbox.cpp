// SPDX-License-Identifier: Apache-2.0
#include "Sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

namespace testsupport {

namespace {

long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

std::string EnterPrivateMountNamespace() {
    static std::string result = [] {
        if (geteuid() != 0) return std::string("needs root (mount namespaces and FUSE)");
        if (access("/dev/fuse", R_OK | W_OK) != 0) return std::string("no /dev/fuse");
        if (unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + strerror(errno);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("mount --make-rprivate /: ") + strerror(errno);
        return std::string();
    }();
    return result;
}

std::string EnterPrivateDev() {
    static std::string result = []() -> std::string {
        std::string why = EnterPrivateMountNamespace();
        if (!why.empty()) return why;
        // The host's /dev stays reachable here while the nodes are bound.
        const std::string host = MakeTempDir("hostdev");
        if (host.empty()) return "no temporary directory";
        auto done = [&host](const std::string &error) {
            umount2(host.c_str(), MNT_DETACH);
            rmdir(host.c_str());
            return error;
        };
        if (mount("/dev", host.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return done(std::string("bind /dev: ") + strerror(errno));
        if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0)
            return done(std::string("tmpfs on /dev: ") + strerror(errno));
        for (const char *node :
             {"fuse", "null", "zero", "full", "random", "urandom", "tty", "ptmx"}) {
            std::string from = host + "/" + node, to = std::string("/dev/") + node;
            if (access(from.c_str(), F_OK) != 0 && strcmp(node, "fuse") != 0) continue;
            int fd = open(to.c_str(), O_WRONLY | O_CREAT, 0600);
            if (fd >= 0) close(fd);
            if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
                return done("bind " + to + ": " + strerror(errno));
        }
        for (const char *dir : {"pts", "shm"}) {
            std::string from = host + "/" + dir, to = std::string("/dev/") + dir;
            mkdir(to.c_str(), 0755);
            mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr);  // optional
        }
        (void)!symlink("/proc/self/fd", "/dev/fd");
        (void)!symlink("/proc/self/fd/0", "/dev/stdin");
        (void)!symlink("/proc/self/fd/1", "/dev/stdout");
        (void)!symlink("/proc/self/fd/2", "/dev/stderr");
        return done("");
    }();
    return result;
}

SyslogSink::~SyslogSink() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
}

std::string SyslogSink::Start() {
    if (fd_ >= 0) return "";
    // Only ever on the namespace's own /dev: never replace the host's socket.
    std::string why = EnterPrivateDev();
    if (!why.empty()) return why;
    const char path[] = "/dev/log";
    unlink(path);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string("socket: ") + strerror(errno);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return std::string("bind /dev/log: ") + strerror(errno);
    }
    fd_ = fd;
    chmod(path, 0666);  // the daemon logs after switching to an unprivileged user
    thread_ = std::thread([this] {
        while (!stop_) Drain(50);
    });
    return "";
}

void SyslogSink::Drain(int timeout_ms) {
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    static char buf[65536];  // the largest datagram syslog(3) sends is smaller
    ssize_t n;
    while ((n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
        while (n > 0 && (buf[n - 1] == '\0' || buf[n - 1] == '\n')) n--;
        text_.append(buf, static_cast<size_t>(n));
        text_ += '\n';
    }
}

std::string SyslogSink::Text() {
    if (fd_ >= 0) Drain(0);
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

void SyslogSink::Clear() {
    if (fd_ >= 0) Drain(0);
    std::lock_guard<std::mutex> lock(mutex_);
    text_.clear();
}

std::string MakeTempDir(const std::string &prefix) {
    std::string tmpl = "/tmp/" + prefix + "XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return "";
    return buf.data();
}

Child::~Child() {
    if (pid_ > 0) Stop(SIGTERM, 3000);
}

bool Child::Start(const std::vector<std::string> &argv, const std::string &out_path,
                  const std::string &err_path) {
    exited_ = false;
    // Everything the child needs is made before fork: other threads (a
    // syslog sink) may hold the allocator's locks at that moment.
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    auto create = [](const std::string &path) {
        return path.empty() ? -1
                            : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    };
    const int out = create(out_path), err = create(err_path);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        if (out >= 0) dup2(out, STDOUT_FILENO);
        if (err >= 0) dup2(err, STDERR_FILENO);
        if (as_user_ && (setgroups(groups_.size(), groups_.data()) != 0 ||
                         setresgid(gid_, gid_, gid_) != 0 || setresuid(uid_, uid_, uid_) != 0))
            _exit(126);
        // A test killed mid-run takes what it started with it (set after the
        // change of user, which clears it).
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(125);
        execv(args[0], args.data());
        _exit(127);
    }
    if (out >= 0) close(out);
    if (err >= 0) close(err);
    return pid_ > 0;
}

bool Child::Reap(int options) {
    if (exited_) return true;
    if (pid_ <= 0) return false;
    int status;
    if (waitpid(pid_, &status, options) != pid_) return false;
    exited_ = true;
    status_ = status;
    return true;
}

bool Child::running() {
    return pid_ > 0 && !Reap(WNOHANG);
}

int Child::Wait(int timeout_ms) {
    if (pid_ <= 0) return -1;
    long end = NowMs() + timeout_ms;
    while (!Reap(WNOHANG)) {
        if (NowMs() >= end) return -1;
        usleep(5000);
    }
    pid_ = -1;
    exited_ = false;
    return status_;
}

int Child::Stop(int sig, int timeout_ms) {
    if (pid_ <= 0) return -1;
    if (!exited_) kill(pid_, sig);  // never signal a pid already reaped
    int status = Wait(timeout_ms);
    if (status == -1 && pid_ > 0) {
        kill(pid_, SIGKILL);
        Reap(0);
        pid_ = -1;
        exited_ = false;
    }
    return status;
}

int AsUser(uid_t uid, gid_t gid, const std::function<int()> &fn, const std::vector<gid_t> &groups) {
    pid_t pid = fork();
    if (pid == 0 && setgroups(groups.size(), groups.data()) == 0 && setresgid(gid, gid, gid) == 0 &&
        setresuid(uid, uid, uid) == 0)
        _exit(fn());
    if (pid == 0) _exit(100);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

bool WaitForMount(const std::string &path, int timeout_ms) {
    std::string parent = path.substr(0, path.find_last_of('/'));
    if (parent.empty()) parent = "/";
    long end = NowMs() + timeout_ms;
    for (;;) {
        struct stat a, b;
        if (stat(path.c_str(), &a) == 0 && stat(parent.c_str(), &b) == 0 && a.st_dev != b.st_dev)
            return true;
        if (NowMs() >= end) return false;
        usleep(5000);
    }
}

std::string WithoutLogStamps(const std::string &log) {
    static const std::regex line(
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d ([^ \[]+)\[\d+\]: ([a-z]+: .*))");
    std::string out, l;
    std::istringstream in(log);
    while (std::getline(in, l)) {
        std::smatch m;
        out += std::regex_match(l, m, line) ? m[1].str() + ": " + m[2].str() : "unformatted: " + l;
        out += "\n";
    }
    return out;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace testsupport
