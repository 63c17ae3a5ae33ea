// ppsfs at scale: creates many objects in one directory through a real
// mount, then lists and stats them, and prints the time of each step and
// ppsfs's memory per object. Mounts its own ppsfs in a private mount
// namespace (run as root); nothing outside the namespace is touched.
//
//   ppsfs_objects [--objects N] [--ppsfs PATH]
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "proc_stats.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool Mounted(const std::string &dir) {
    struct stat a, b;
    return stat(dir.c_str(), &a) == 0 && stat((dir + "/..").c_str(), &b) == 0 &&
           a.st_dev != b.st_dev;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{
        "ppsfs at scale: N objects created, listed and stat'ed in one directory "
        "through a real mount; prints seconds per step and ppsfs's memory per object",
        "ppsfs_objects"};
    long objects = 100000;
    std::string ppsfs = PPSFS_BIN;
    app.add_option("--objects", objects, "How many objects (default 100000)")
        ->check(CLI::Range(1L, 10000000L));
    app.add_option("--ppsfs", ppsfs, "The ppsfs binary");
    CLI11_PARSE(app, argc, argv);

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
              static_cast<char *>(nullptr));
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

    std::printf("objects                      %ld in one directory (%ld listed)\n", objects,
                listed);
    std::printf("create + write + close       %.2f s  (%.1f us each)\n", create_s,
                create_s * 1e6 / objects);
    std::printf("list (readdir)               %.3f s\n", list_s);
    std::printf("stat each                    %.2f s  (%.1f us each)\n", stat_s,
                stat_s * 1e6 / objects);
    std::printf("ppsfs private memory         %ld KiB -> %ld KiB (%.0f bytes per object)\n",
                base_kib, objects_kib, (objects_kib - base_kib) * 1024.0 / objects);
    umount2(dir.c_str(), MNT_DETACH);
    int status = 0;
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
    rmdir(dir.c_str());
    return 0;
}
