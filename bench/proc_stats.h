/* SPDX-License-Identifier: Apache-2.0 */
// What /proc tells about another process, for the load run and the soak:
// CPU time, private and resident memory, and open fds.
#ifndef BENCH_PROC_STATS_H
#define BENCH_PROC_STATS_H

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace procstats {

// CPU time (user + system) in microseconds of the process's threads that
// run now, from the scheduler's nanosecond account (the clock ticks of
// /proc/pid/stat are too coarse for a few thousand requests).
inline double CpuUs(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    unsigned long long all = 0;
    if (DIR *d = opendir(tasks.c_str())) {
        while (const struct dirent *t = readdir(d)) {
            if (t->d_name[0] == '.') continue;
            std::ifstream in(tasks + "/" + t->d_name + "/schedstat");
            unsigned long long ns = 0;
            if (in >> ns) all += ns;
        }
        closedir(d);
    }
    return all / 1e3;
}

// CPU time (user + system) of the whole process in microseconds: every
// thread's, those that have ended included (a FUSE daemon's worker threads
// come and go), in clock ticks (10 ms; enough over a minute of run).
inline double ProcessCpuUs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = all.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(all.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; i++)
        if (i >= 14) ticks += std::stod(field);
    return ticks * 1e6 / sysconf(_SC_CLK_TCK);
}

// User CPU time in microseconds (clock ticks: fine over thousands of
// requests).
inline double UserUs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = all.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(all.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 14 && rest >> field; i++)
        if (i == 14) return std::stod(field) * 1e6 / sysconf(_SC_CLK_TCK);
    return 0;
}

// Private (unshared) memory in KiB; with dirty_only, only the pages the
// process has written (its heap and stack: what a leak grows), leaving out
// clean pages of its program file, which count as private only while no
// other process maps them and while they stay in the page cache.
inline long PrivateKiB(pid_t pid, bool dirty_only = false) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string key, unit;
    long kb, total = 0;
    while (in >> key) {
        if ((key == "Private_Clean:" && !dirty_only) || key == "Private_Dirty:") {
            in >> kb >> unit;
            total += kb;
        } else {
            in.ignore(1 << 20, '\n');
        }
    }
    return total;
}

// Resident memory (VmRSS) in KiB, or -1 when the process cannot be read.
inline long RssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            long kb = -1;
            in >> kb;
            return kb;
        }
        in.ignore(1 << 20, '\n');
    }
    return -1;
}

// Open fds, or -1 when the process cannot be read.
inline int OpenFds(pid_t pid) {
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;
}

}  // namespace procstats

#endif
