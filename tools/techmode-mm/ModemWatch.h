/* SPDX-License-Identifier: Apache-2.0 */
// Follows one modem that ModemManager manages and keeps the last reading of
// it: a thread of its own runs a GLib main loop on libmm-glib, chooses the
// modem (--modem), sets up what has to be asked for after every appearance
// of it (the Signal interface's rate, the 3GPP location source), reads it
// every refresh interval, maps the reading (Mapping.h) and publishes the
// state under a lock. Readers (the FUSE ioctl) take the last published
// state and never wait on D-Bus. A modem that goes away, a ModemManager
// that stops or restarts, and a modem that comes back are followed: while
// there is no modem the published state fails every request with EIO.
#ifndef TECHMODE_MM_MODEMWATCH_H
#define TECHMODE_MM_MODEMWATCH_H

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Mapping.h"

namespace mm {

struct WatchOptions {
    // "" for the first modem; a number for the modem of that index (the last
    // part of its D-Bus path, as mmcli -m takes it); a D-Bus path; or an
    // IMEI (14 to 16 digits).
    std::string modem;
    unsigned refresh_seconds = 2;
    // The network-time service's status object, or "" not to publish.
    std::string network_time_object;
};

// What the device answers from.
struct Published {
    sim::Scenario state;
    std::string modem_path;  // "" while there is no modem
    std::chrono::steady_clock::time_point taken;
};

class ModemWatch {
  public:
    explicit ModemWatch(WatchOptions options);
    ~ModemWatch();
    ModemWatch(const ModemWatch &) = delete;
    ModemWatch &operator=(const ModemWatch &) = delete;

    // Starts the thread; the state is "no modem" until its first reading.
    void Start();
    // Ends the thread: D-Bus calls under way are cancelled.
    void Stop();
    // The last published state (never null).
    std::shared_ptr<const Published> Current() const;

    // For --report: connects, waits for the chosen modem's values after
    // setting it up (about wait_seconds), and gives its reading. false with
    // the reason in *why when there is no bus, no ModemManager or no such
    // modem.
    static bool ReadOnce(const WatchOptions &options, unsigned wait_seconds, Reading *out,
                         std::string *why);

    struct Loop;  // the GLib side (ModemWatch.cpp)

  private:
    void Publish(std::shared_ptr<const Published> p);

    WatchOptions options_;
    std::unique_ptr<Loop> loop_;
    std::thread thread_;
    mutable std::mutex mu_;  // guards current_
    std::shared_ptr<const Published> current_;
};

}  // namespace mm

#endif
