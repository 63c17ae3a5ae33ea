// SPDX-License-Identifier: Apache-2.0
// A crowd of waiting readers of one large object, and what it costs ppsfs
// and another user: ppsfs's resident memory (VmRSS) before the crowd, while
// it waits, at its peak and after it has gone, and the latency of another
// user's small read (open, read, close of a small object) meanwhile.
//
// An unprivileged user (nobody) opens the large object N times with
// ?wait, one thread each: every thread reads the whole object, then reads
// again and waits. Root then writes a change to the object CHANGES times
// (each answers N reads and the readers wait again); then the crowd goes,
// killed while its reads wait (--leave kill) or after one more change that
// each reader takes before it closes (--leave change). Root meanwhile reads
// a small object every 10 ms. Mounts its own ppsfs in a private mount
// namespace (run as root); nothing outside the namespace is touched but
// the fuse module's enable_uring with --io-uring, set back after.
//
//   ppsfs_crowd [--readers N] [--size BYTES] [--changes N] [--leave kill|change]
//               [--io-uring] [--ppsfs PATH]
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "proc_stats.h"
#include "velomar_version.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

bool Mounted(const std::string &dir) {
    struct stat a, b;
    return stat(dir.c_str(), &a) == 0 && stat((dir + "/..").c_str(), &b) == 0 &&
           a.st_dev != b.st_dev;
}

// A field of /proc/PID/status in KiB (VmRSS, VmHWM), or -1.
long StatusKiB(pid_t pid, const std::string &field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::atol(line.c_str() + field.size() + 1);
    return -1;
}

double MiB(long kib) {
    return kib / 1024.0;
}

// The crowd, in a child process of its own as nobody: `readers` threads,
// each with a ?wait open of `object`. Each reads the whole object, reports
// a byte on `report`, reads again and waits; each change it gets is another
// byte ('r', or 'x' for a read that is not the object whole: one fill
// byte throughout its value). With `last` > 0 a thread closes its open
// after that many changes.
struct Crowd {
    std::string object;
    std::size_t size = 0;
    int report = -1;
    long last = 0;
};
Crowd g_crowd;

// "@big\nv::" + size fill bytes + "\n"
bool Whole(const char *buf, ssize_t n) {
    const std::size_t head = 8;
    if (n != static_cast<ssize_t>(head + g_crowd.size + 1) ||
        std::memcmp(buf, "@big\nv::", head) != 0)
        return false;
    for (std::size_t i = head; i < head + g_crowd.size; i++)
        if (buf[i] != buf[head]) return false;
    return buf[n - 1] == '\n';
}

void *Reader(void *) {
    int fd = open(g_crowd.object.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::perror("a reader's open");
        return nullptr;
    }
    std::vector<char> buf(g_crowd.size + 4096);
    for (long changes = 0;; changes++) {
        ssize_t n = read(fd, buf.data(), buf.size());
        const char got = Whole(buf.data(), n) ? 'r' : 'x';
        if (n <= 0 || write(g_crowd.report, &got, 1) != 1) break;
        if (g_crowd.last > 0 && changes == g_crowd.last) break;
    }
    close(fd);
    return nullptr;
}

[[noreturn]] void RunCrowd(long readers, int go) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Room for the opens and threads before the identity is given up.
    const rlim_t room = static_cast<rlim_t>(readers + 256);
    const struct rlimit files = {room, room};
    struct rlimit tasks;
    getrlimit(RLIMIT_NPROC, &tasks);
    tasks.rlim_cur = tasks.rlim_max;
    char c;
    if (setrlimit(RLIMIT_NOFILE, &files) != 0 || setrlimit(RLIMIT_NPROC, &tasks) != 0 ||
        setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0 ||
        read(go, &c, 1) != 1)
        _exit(100);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    std::vector<pthread_t> threads(static_cast<std::size_t>(readers));
    for (pthread_t &t : threads)
        if (pthread_create(&t, &attr, Reader, nullptr) != 0) _exit(101);
    for (pthread_t &t : threads) pthread_join(t, nullptr);
    _exit(0);
}

// Another user's small reads, every 10 ms, each timed; `phase` names the
// part of the run a read started in.
struct Probe {
    std::string path;
    std::atomic<int> phase{0};
    std::atomic<bool> stop{false};
    std::mutex mu;
    std::vector<std::vector<double>> ms;  // per phase
    long failed = 0;
    void Run() {
        char buf[4096];
        while (!stop) {
            const int at = phase;
            const auto t = Clock::now();
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            const bool ok = fd >= 0 && read(fd, buf, sizeof buf) > 0;
            if (fd >= 0) close(fd);
            const double took = Ms(t, Clock::now());
            {
                std::lock_guard<std::mutex> lock(mu);
                if (ok) {
                    ms[static_cast<std::size_t>(at)].push_back(took);
                } else {
                    failed++;
                }
            }
            usleep(10000);
        }
    }
};

// ppsfs's largest resident memory while sampling, every 10 ms.
struct Sampler {
    pid_t pid;
    std::atomic<bool> stop{false};
    std::atomic<long> peak{0};
    void Run() {
        while (!stop) {
            const long kb = procstats::RssKiB(pid);
            if (kb > peak) peak = kb;
            usleep(10000);
        }
    }
};

long g_torn = 0;  // reads that were not the object whole

// Counts bytes from the crowd until `want` came or `ms` passed.
long Await(int report, long have, long want, int ms) {
    char buf[4096];
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (have < want && Clock::now() < until) {
        struct timeval tv = {0, 100000};
        fd_set set;
        FD_ZERO(&set);
        FD_SET(report, &set);
        if (select(report + 1, &set, nullptr, nullptr, &tv) <= 0) continue;
        ssize_t n = read(report, buf, sizeof buf);
        if (n <= 0) break;
        have += n;
        g_torn += std::count(buf, buf + n, 'x');
    }
    return have;
}

std::string Latency(std::vector<double> v) {
    if (v.empty()) return "no read";
    std::sort(v.begin(), v.end());
    char text[128];
    std::snprintf(text, sizeof text, "p50 %.1f ms, max %.1f ms (%zu reads)", v[v.size() / 2],
                  v.back(), v.size());
    return text;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{
        "A crowd of waiting readers of one large object through a real ppsfs mount: "
        "ppsfs's resident memory before, during and after, and another user's small "
        "read meanwhile",
        "ppsfs_crowd"};
    app.set_version_flag("--version", VELOMAR_VERSION_TEXT("ppsfs_crowd"));
    long readers = 3000, changes = 3;
    std::size_t size = 60000;
    std::string leave = "kill", ppsfs = PPSFS_BIN;
    bool uring = false;
    app.add_option("--readers", readers, "Waiting readers (default 3000)")
        ->check(CLI::Range(1L, 100000L));
    app.add_option("--size", size, "Bytes of the large object (default 60000)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}));
    app.add_option("--changes", changes, "Changes the crowd takes while it waits (default 3)")
        ->check(CLI::Range(0L, 100000L));
    app.add_option("--leave", leave,
                   "How the crowd goes: kill (while its reads wait) or change (after one more "
                   "change, each reader closing its open)")
        ->check(CLI::IsMember({"kill", "change"}));
    app.add_flag("--io-uring", uring,
                 "Run ppsfs --io-uring; the fuse module's enable_uring is turned on for the run "
                 "if it is off, and set back after");
    app.add_option("--ppsfs", ppsfs, "The ppsfs binary");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;  // 2: a bad command line
    }

    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
        std::perror("ppsfs_crowd: a private mount namespace (run as root)");
        return 1;
    }
    const char *const kUringParam = "/sys/module/fuse/parameters/enable_uring";
    std::string uring_was;
    if (uring) {
        std::ifstream(kUringParam) >> uring_was;
        if (uring_was != "Y" && !(std::ofstream(kUringParam) << "Y\n")) {
            std::fprintf(stderr, "ppsfs_crowd: cannot turn on %s\n", kUringParam);
            return 1;
        }
    }
    char tmpl[] = "/tmp/ppsfs-crowd.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    chmod(tmpl, 0755);
    const std::string tmp = tmpl, mnt = tmp + "/mnt", log = tmp + "/log", stats = tmp + "/stats";
    mkdir(mnt.c_str(), 0755);
    pid_t fs = fork();
    if (fs == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        std::vector<const char *> args = {ppsfs.c_str(), "-f",      "--log",
                                          log.c_str(),   "--stats", stats.c_str()};
        if (uring) args.push_back("--io-uring");
        args.push_back(mnt.c_str());
        args.push_back(nullptr);
        execv(args[0], const_cast<char *const *>(args.data()));
        _exit(127);
    }
    for (int i = 0; i < 500 && !Mounted(mnt); i++) usleep(10000);
    int status = 1;
    bool fs_ended = false;
    auto end_fs = [&] {
        if (fs_ended) return;
        umount2(mnt.c_str(), MNT_DETACH);
        kill(fs, SIGTERM);
        waitpid(fs, nullptr, 0);
        fs_ended = true;
    };
    auto finish = [&] {
        end_fs();
        if (uring && uring_was != "Y") std::ofstream(kUringParam) << uring_was << "\n";
        if (system(("rm -rf '" + tmp + "'").c_str()) != 0) status = 1;
        return status;
    };
    if (!Mounted(mnt)) {
        std::fprintf(stderr, "ppsfs_crowd: %s did not mount\n", ppsfs.c_str());
        return finish();
    }
    const std::string big = mnt + "/big", small = mnt + "/small";
    int w = open(big.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    auto publish = [&](char fill) {
        const std::string text = "v::" + std::string(size, fill) + "\n";
        return write(w, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    };
    int s = open(small.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (w < 0 || s < 0 || !publish('a') || write(s, "a::1\n", 5) != 5) {
        std::perror("ppsfs_crowd: the objects");
        return finish();
    }
    close(s);
    std::string how = "/dev/fuse";
    if (uring) {
        std::string text;
        for (int i = 0; i < 200 && text.find("FUSE over io_uring: ") == std::string::npos; i++) {
            usleep(10000);
            std::ifstream in(log);
            text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        how = text.find(" queues, ") != std::string::npos ? "io_uring" : "/dev/fuse (no io_uring)";
    }

    // The crowd waits for its go, before the memory is looked at.
    int go[2], report[2];
    if (pipe2(go, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) return finish();
    g_crowd.object = big + "?wait";
    g_crowd.size = size;
    g_crowd.report = report[1];
    g_crowd.last = leave == "change" ? changes + 1 : 0;
    pid_t crowd = fork();
    if (crowd == 0) {
        close(go[1]);
        close(report[0]);
        RunCrowd(readers, go[0]);
    }
    close(go[0]);
    close(report[1]);

    std::printf("machine: %u cores, kernel %s\n", std::thread::hardware_concurrency(),
                [] {
                    std::string r;
                    std::ifstream("/proc/sys/kernel/osrelease") >> r;
                    return r;
                }()
                    .c_str());
    std::printf(
        "ppsfs over %s: %ld readers (nobody, ?wait) of a %zu-byte object, %ld changes, "
        "leaving by %s\n",
        how.c_str(), readers, size, changes, leave.c_str());
    usleep(500 * 1000);
    const long before = procstats::RssKiB(fs);
    std::ofstream("/proc/" + std::to_string(fs) + "/clear_refs") << "5\n";  // VmHWM from here
    Probe probe;
    probe.path = small;
    probe.ms.resize(3);
    Sampler sampler;
    sampler.pid = fs;
    std::thread probing([&] { probe.Run(); }), sampling([&] { sampler.Run(); });

    // 0: the crowd arrives, each reads the whole object and waits.
    auto t = Clock::now();
    if (write(go[1], "g", 1) != 1) return finish();
    close(go[1]);
    long have = Await(report[0], 0, readers, 120000);
    const double arrive_s = Ms(t, Clock::now()) / 1000;
    usleep(1000 * 1000);  // their second reads park
    const long waiting = procstats::RssKiB(fs);
    // 1: changes, each taken by every reader.
    probe.phase = 1;
    t = Clock::now();
    const double cpu0 = procstats::CpuUs(fs);
    long want = readers;
    for (long i = 0; i < changes && have == want; i++) {
        publish(static_cast<char>('b' + i % 20));
        want += readers;
        have = Await(report[0], have, want, 120000);
    }
    const double change_s = Ms(t, Clock::now()) / 1000;
    const double change_cpu_ms = (procstats::CpuUs(fs) - cpu0) / 1000;
    usleep(500 * 1000);
    const long after_changes = procstats::RssKiB(fs);
    // 2: the crowd goes.
    probe.phase = 2;
    if (leave == "change") {
        publish('z');
        want += readers;
        have = Await(report[0], have, want, 120000);
    } else {
        kill(crowd, SIGKILL);
    }
    int crowd_status = 0;
    waitpid(crowd, &crowd_status, 0);
    const auto gone = Clock::now();
    std::vector<std::pair<double, long>> after;
    for (double at : {0.1, 0.5, 1.0, 3.0}) {
        std::this_thread::sleep_until(gone + std::chrono::duration<double>(at));
        after.emplace_back(at, procstats::RssKiB(fs));
    }
    const long peak = StatusKiB(fs, "VmHWM"), tables = StatusKiB(fs, "VmPTE");
    probe.stop = true;
    sampler.stop = true;
    probing.join();
    sampling.join();

    std::printf(
        "the crowd: %ld of %ld reads answered; arrived in %.2f s, %ld changes in %.2f s "
        "(ppsfs CPU %.1f ms a change)\n",
        have, want, arrive_s, changes, change_s,
        changes > 0 ? change_cpu_ms / static_cast<double>(changes) : 0.0);
    std::printf(
        "ppsfs RSS: before %.1f MiB, crowd waiting %.1f MiB, after the changes %.1f MiB, "
        "peak %.1f MiB (VmHWM; %.1f MiB seen every 10 ms)\n",
        MiB(before), MiB(waiting), MiB(after_changes), MiB(peak), MiB(sampler.peak));
    std::printf("ppsfs RSS after the crowd went:");
    for (const auto &a : after) std::printf(" %.1f s %.1f MiB;", a.first, MiB(a.second));
    std::printf(" (%+.1f MiB from before; page tables %.1f MiB)\n",
                MiB(after.back().second - before), MiB(tables));
    std::printf("root's small read (open, read, close), every 10 ms:\n");
    std::printf("  while the crowd arrives    %s\n", Latency(probe.ms[0]).c_str());
    std::printf("  while the changes go out   %s\n", Latency(probe.ms[1]).c_str());
    std::printf("  while the crowd goes       %s\n", Latency(probe.ms[2]).c_str());
    if (probe.failed > 0) std::printf("  (%ld small reads failed)\n", probe.failed);
    if (g_torn > 0) std::printf("%ld reads of the crowd were not the object whole\n", g_torn);
    close(w);
    status = (have == want || leave == "kill") && g_torn == 0 ? 0 : 1;
    end_fs();  // --stats are written at the end
    std::ifstream in(stats);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 4, "Ring") == 0) std::printf("ppsfs %s\n", line.c_str());
    return finish();
}
