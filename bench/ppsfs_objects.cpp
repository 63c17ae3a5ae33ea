// SPDX-License-Identifier: Apache-2.0
// ppsfs at scale: creates many objects in one directory through a real
// mount, then lists and stats them, and prints the time of each step and
// ppsfs's memory per object. Then follows changes to 1,000 objects at
// random through one .all delta open, beside changes to one object through
// its own delta open, and prints ppsfs's CPU time per change delivered to
// each. Mounts its own ppsfs in a private mount namespace (run as root);
// nothing outside the namespace is touched.
//
//   ppsfs_objects [--objects N] [--changes N] [--ppsfs PATH]
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "proc_stats.h"
#include "velomar_version.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool Mounted(const std::string &dir) {
    struct stat a, b;
    return stat(dir.c_str(), &a) == 0 && stat((dir + "/..").c_str(), &b) == 0 &&
           a.st_dev != b.st_dev;
}

// Writes `changes` single-attribute changes, to objects picked at random
// among names, while one delta open of `follow` reads them as they come;
// returns ppsfs's CPU microseconds per change delivered (every change
// delivered is checked by counting its group line).
double FollowCost(pid_t ppsfs, const std::string &follow, const std::vector<std::string> &names,
                  long changes, double *wall_us) {
    int r = open(follow.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (r < 0) {
        std::perror(follow.c_str());
        return -1;
    }
    std::vector<char> buf(1 << 20);
    while (read(r, buf.data(), buf.size()) > 0) {
    }
    std::vector<int> fds;
    for (const std::string &n : names) fds.push_back(open(n.c_str(), O_WRONLY | O_CLOEXEC));
    const double cpu0 = procstats::CpuUs(ppsfs);
    auto t = std::chrono::steady_clock::now();
    std::thread writer([&] {
        std::mt19937 rng(7);
        for (long i = 0; i < changes; i++) {
            const std::string line = "v:n:" + std::to_string(i) + "\n";
            if (write(fds[rng() % fds.size()], line.data(), line.size()) < 0) std::abort();
        }
    });
    long seen = 0;
    struct pollfd p = {r, POLLIN, 0};
    while (seen < changes && poll(&p, 1, 10000) > 0) {
        ssize_t n = read(r, buf.data(), buf.size());
        for (ssize_t i = 0; i < n; i++) seen += buf[i] == '@' && (i == 0 || buf[i - 1] == '\n');
    }
    writer.join();
    *wall_us = Seconds(t) * 1e6 / changes;
    const double cpu = procstats::CpuUs(ppsfs) - cpu0;
    for (int fd : fds) close(fd);
    close(r);
    if (seen != changes)
        std::fprintf(stderr, "%s: %ld of %ld changes seen\n", follow.c_str(), seen, changes);
    return cpu / changes;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{
        "ppsfs at scale: N objects created, listed and stat'ed in one directory "
        "through a real mount; prints seconds per step and ppsfs's memory per object",
        "ppsfs_objects"};
    app.set_version_flag("--version", VELOMAR_VERSION_TEXT("ppsfs_objects"));
    long objects = 100000, changes = 20000, subscribers = 10000;
    std::string ppsfs = PPSFS_BIN;
    app.add_option("--objects", objects, "How many objects (default 100000)")
        ->check(CLI::Range(1L, 10000000L));
    app.add_option("--changes", changes, "Changes followed through .all and one object (20000)")
        ->check(CLI::Range(1L, 100000000L));
    app.add_option("--subscribers", subscribers, "Delta opens held, one per object (10000)")
        ->check(CLI::Range(0L, 1000000L));
    app.add_option("--ppsfs", ppsfs, "The ppsfs binary");
    bool uring = false;
    app.add_flag("--io-uring", uring,
                 "Run ppsfs --io-uring (the fuse module's enable_uring must be on)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;  // 2: a bad command line
    }

    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
        std::perror("ppsfs_objects: a private mount namespace (run as root)");
        return 1;
    }
    char dir_template[] = "/tmp/ppsfs-objects.XXXXXX";
    const std::string dir = mkdtemp(dir_template) != nullptr ? dir_template : "";
    if (dir.empty()) return 1;
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execl(ppsfs.c_str(), ppsfs.c_str(), "-f", "--log", "/dev/null", dir.c_str(),
              uring ? "--io-uring" : static_cast<char *>(nullptr), static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 500 && !Mounted(dir); i++) usleep(10000);
    if (!Mounted(dir)) {
        std::fprintf(stderr, "ppsfs_objects: %s did not mount\n", ppsfs.c_str());
        return 1;
    }
    const std::string sub = dir + "/d";
    mkdir(sub.c_str(), 0755);
    const long base_kib = procstats::PrivateKiB(pid);

    auto t = std::chrono::steady_clock::now();
    for (long i = 0; i < objects; i++) {
        const std::string path = sub + "/o" + std::to_string(i);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, "a::1\n", 5) != 5) {
            std::perror(path.c_str());
            return 1;
        }
        close(fd);
    }
    const double create_s = Seconds(t);
    const long objects_kib = procstats::PrivateKiB(pid);

    t = std::chrono::steady_clock::now();
    long listed = 0;
    DIR *d = opendir(sub.c_str());
    while (struct dirent *de = d != nullptr ? readdir(d) : nullptr) listed += de->d_name[0] != '.';
    if (d != nullptr) closedir(d);
    const double list_s = Seconds(t);

    t = std::chrono::steady_clock::now();
    struct stat st;
    for (long i = 0; i < objects; i++) stat((sub + "/o" + std::to_string(i)).c_str(), &st);
    const double stat_s = Seconds(t);

    // Subscribers: a ?delta open of each of the first objects, read once.
    struct rlimit nofile = {static_cast<rlim_t>(subscribers + 1024),
                            static_cast<rlim_t>(subscribers + 1024)};
    setrlimit(RLIMIT_NOFILE, &nofile);
    std::vector<int> opens;
    char one[4096];
    for (long i = 0; i < subscribers && i < objects; i++) {
        int fd = open((sub + "/o" + std::to_string(i) + "?delta").c_str(),
                      O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            std::perror("a subscriber's open");
            break;
        }
        if (read(fd, one, sizeof one) <= 0) std::perror("a subscriber's first read");
        opens.push_back(fd);
    }
    const long opens_kib = procstats::PrivateKiB(pid);
    for (int fd : opens) close(fd);

    std::printf("objects                      %ld in one directory (%ld listed)\n", objects,
                listed);
    std::printf("create + write + close       %.2f s  (%.1f us each)\n", create_s,
                create_s * 1e6 / objects);
    std::printf("list (readdir)               %.3f s\n", list_s);
    std::printf("stat each                    %.2f s  (%.1f us each)\n", stat_s,
                stat_s * 1e6 / objects);
    std::printf("ppsfs private memory         %ld KiB -> %ld KiB (%.0f bytes per object)\n",
                base_kib, objects_kib, (objects_kib - base_kib) * 1024.0 / objects);
    if (!opens.empty())
        std::printf("%zu delta opens held         %ld KiB more (%.0f bytes per open)\n",
                    opens.size(), opens_kib - objects_kib,
                    (opens_kib - objects_kib) * 1024.0 / opens.size());

    // Following a directory: 1,000 objects changing at random through one
    // .all delta open, against one object through its own delta open.
    const std::string busy = dir + "/busy";
    mkdir(busy.c_str(), 0755);
    std::vector<std::string> names;
    for (int i = 0; i < 1000; i++) {
        names.push_back(busy + "/o" + std::to_string(i));
        close(open(names.back().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    }
    double all_wall = 0, one_wall = 0;
    const double all_cpu = FollowCost(pid, busy + "/.all?delta", names, changes, &all_wall);
    const double one_cpu = FollowCost(pid, names[0] + "?delta", {names[0]}, changes, &one_wall);
    std::printf("%ld changes, ppsfs CPU per change delivered, and wall time per change:\n",
                changes);
    std::printf("  .all?delta of 1,000 objects  %.1f us CPU  %.1f us wall\n", all_cpu, all_wall);
    std::printf("  one object's ?delta          %.1f us CPU  %.1f us wall\n", one_cpu, one_wall);

    umount2(dir.c_str(), MNT_DETACH);
    int status = 0;
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
    rmdir(dir.c_str());
    return 0;
}
