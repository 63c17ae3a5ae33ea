// SPDX-License-Identifier: Apache-2.0
// techmode_ioctl: the latency of one structure request (the DEVCTL_IOC_XFER
// ioctl) on each tech-mode device given, for the structures a modem through
// ModemManager fills, beside a pipe round trip between two threads
// measured in the same run (the floor of any request through the kernel).
// Prints median and 99th percentile per device and structure, and each
// device's median over the first device's; the devices take turns, in
// rounds, so that other load on the machine falls on both alike. bench/techmode_mm.sh mounts
// techmode-sim and techmode-mm (on ModemManager in its test mode) for it.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "devctl_xfer.h"
#include "techmode/techmode_protocol.h"
#include "velomar_version.h"

namespace {

double NowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

struct Figures {
    double p50 = 0, p99 = 0;
};

Figures Of(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

// One request for a structure type, as the daemon sends it.
void Request(devctl_xfer *x, int type) {
    memset(x, 0, offsetof(devctl_xfer, data));
    const uint8_t req[12] = {uint8_t(CMD_TECHMODE_GET_STRUCT_DATA_TAG),
                             uint8_t(CMD_TECHMODE_GET_STRUCT_DATA_TAG >> 8),
                             2,
                             0,
                             uint8_t(CMD_TECHMODE_STRUCT_TYPE_TAG),
                             uint8_t(CMD_TECHMODE_STRUCT_TYPE_TAG >> 8),
                             1,
                             0,
                             uint8_t(type),
                             0,
                             0,
                             0};
    x->dcmd = DCMD_TECHMODE_REQUEST;
    x->send_len = sizeof req;
    x->recv_len = DEVCTL_XFER_MAX;
    memcpy(x->data, req, sizeof req);
}

// n requests of a type on fd; empty when one fails (the reason printed).
std::vector<double> Time(int fd, int type, int n, const std::string &device) {
    std::vector<double> us;
    devctl_xfer x;
    for (int i = 0; i < n; i++) {
        Request(&x, type);
        const double t0 = NowUs();
        if (ioctl(fd, DEVCTL_IOC_XFER, &x) != 0 || x.status != 0) {
            fprintf(stderr, "techmode_ioctl: %s: type %d: %s\n", device.c_str(), type,
                    strerror(x.status != 0 ? x.status : errno));
            return {};
        }
        us.push_back(NowUs() - t0);
    }
    return us;
}

// A byte to a thread and back over two pipes.
std::vector<double> PipeFloor(int n) {
    int there[2], back[2];
    if (pipe(there) != 0 || pipe(back) != 0) return {};
    std::thread echo([&] {
        char c;
        while (read(there[0], &c, 1) == 1 && write(back[1], &c, 1) == 1) {
        }
    });
    std::vector<double> us;
    char c = 'x';
    for (int i = 0; i < n; i++) {
        const double t0 = NowUs();
        if (write(there[1], &c, 1) != 1 || read(back[0], &c, 1) != 1) break;
        us.push_back(NowUs() - t0);
    }
    close(there[1]);
    echo.join();
    close(there[0]);
    close(back[0]);
    close(back[1]);
    return us;
}

}  // namespace

int main(int argc, char *argv[]) {
    CLI::App app{
        "techmode_ioctl: structure request latency on tech-mode devices, beside a pipe "
        "round trip",
        "techmode_ioctl"};
    app.set_version_flag("--version", VELOMAR_VERSION_TEXT("techmode_ioctl"));
    std::vector<std::string> devices;
    int n = 20000;
    app.add_option("devices", devices, "Device files (the first is the reference)")->required();
    app.add_option("-n,--requests", n, "Requests per device and structure")
        ->check(CLI::Range(100, 10000000))
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    const int kTypes[] = {TECHMODE_STRUCT_IDENTITY_DATA, TECHMODE_STRUCT_SERVING_CELL_3G,
                          TECHMODE_STRUCT_MOBILITY_DATA};
    std::vector<int> fds;
    for (const std::string &d : devices) {
        int fd = open(d.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            fprintf(stderr, "techmode_ioctl: %s: %s\n", d.c_str(), strerror(errno));
            return 1;
        }
        fds.push_back(fd);
    }
    const Figures floor = Of(PipeFloor(n));
    printf("pipe round trip (floor)            p50 %7.1f us  p99 %7.1f us\n", floor.p50, floor.p99);
    // The devices take turns in rounds of 500 requests, so that load from
    // elsewhere on the machine falls on both alike.
    constexpr int kRound = 500;
    for (int type : kTypes) {
        std::vector<std::vector<double>> us(devices.size());
        for (size_t i = 0; i < devices.size(); i++)
            if (Time(fds[i], type, kRound, devices[i]).empty()) return 1;  // warm up
        for (int done = 0; done < n; done += kRound)
            for (size_t i = 0; i < devices.size(); i++) {
                std::vector<double> round = Time(fds[i], type, kRound, devices[i]);
                if (round.empty()) return 1;
                us[i].insert(us[i].end(), round.begin(), round.end());
            }
        double reference = 0;
        for (size_t i = 0; i < devices.size(); i++) {
            const Figures f = Of(us[i]);
            if (i == 0) reference = f.p50;
            // The device by its last two path components (its mount's name).
            const size_t at = devices[i].rfind('/', devices[i].rfind('/') - 1);
            const std::string name =
                at == std::string::npos ? devices[i] : devices[i].substr(at + 1);
            printf("type %-2d %-20s p50 %7.1f us  p99 %7.1f us  %.2fx the first\n", type,
                   name.c_str(), f.p50, f.p99, f.p50 / reference);
        }
    }
    for (int fd : fds) close(fd);
    return 0;
}
