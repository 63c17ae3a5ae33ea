/* SPDX-License-Identifier: Apache-2.0 */
// Test support for MQTT: a Mosquitto broker of the test's own on a free
// loopback port (run as nobody under root), a client that keeps every
// message it receives, and a broker that lies. Header-only; link
// libmosquitto.
#ifndef TESTS_SUPPORT_BROKER_H
#define TESTS_SUPPORT_BROKER_H

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/Sandbox.h"

namespace testsupport {

class Broker {
  public:
    // Its directory is readable by the broker's user; it writes its state there.
    Broker() : dir_(MakeTempDir("broker")) { chmod(dir_.c_str(), 0755); }
    ~Broker() { child_.Stop(SIGKILL); }

    // Lines for the listener beyond its address (TLS files, a password
    // file, allow_anonymous false); before the first Start.
    void Configure(const std::string &lines) { extra_ = lines; }
    // A directory the broker's user can read, for the files Configure names.
    const std::string &dir() const { return dir_; }

    // Starts the broker (again on the same port after Kill); "" or why not.
    std::string Start() {
        const char *bin = "/usr/sbin/mosquitto";
        if (access(bin, X_OK) != 0)
            return "no mosquitto broker (Debian's mosquitto; scripts/setup.sh installs it)";
        if (port_ == 0) {
            port_ = Loopback(0);
            if (geteuid() == 0 && chown(dir_.c_str(), kNobody, kNobody) != 0) return "chown";
            std::ofstream(dir_ + "/mosquitto.conf")
                << "listener " << port_ << " 127.0.0.1\n"
                << (extra_.empty() ? "allow_anonymous true" : extra_) << "\npersistence true\n"
                << "persistence_location " << dir_ << "/\nlog_dest stderr\n";
        }
        // As root the broker would switch to a mosquitto user; as nobody it
        // stays what it is started as.
        if (geteuid() == 0) child_.RunAs(kNobody, kNobody);
        if (!child_.Start({bin, "-c", dir_ + "/mosquitto.conf"}, "", dir_ + "/broker.log"))
            return "cannot start mosquitto";
        for (int i = 0; i < 1000; i++) {
            if (Loopback(port_) == port_) return "";
            if (!child_.running()) break;
            usleep(10000);
        }
        return "mosquitto did not start: " + ReadFile(dir_ + "/broker.log");
    }

    void Kill() { child_.Stop(SIGKILL); }

    // Has the broker write its state (sessions, subscriptions) to disk, as
    // a restart finds it; false if it did not.
    bool Save() {
        const std::string db = dir_ + "/mosquitto.db";
        unlink(db.c_str());
        kill(child_.pid(), SIGUSR1);
        for (int i = 0; i < 1000 && access(db.c_str(), R_OK) != 0; i++) usleep(10000);
        return access(db.c_str(), R_OK) == 0;
    }

    int port() const { return port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    std::string log() const { return ReadFile(dir_ + "/broker.log"); }

  private:
    static constexpr uid_t kNobody = 65534;

    // With port 0 a free loopback port, else port if something listens
    // there (-1 if not).
    static int Loopback(int port) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        auto *sa = reinterpret_cast<sockaddr *>(&a);
        const bool ok = port == 0 ? bind(fd, sa, len) == 0 && getsockname(fd, sa, &len) == 0
                                  : connect(fd, sa, len) == 0;
        close(fd);
        return ok ? ntohs(a.sin_port) : -1;
    }

    Child child_;
    std::string dir_, extra_;
    int port_ = 0;
};

// A client that subscribes to filter (made waits up to 20 s for the
// subscription) and keeps what arrives, reconnecting by itself
// (libmosquitto's own thread). With an id it keeps a session at the broker
// (clean session off), so that what is published while it is away waits
// for it.
class Watcher {
  public:
    struct Message {
        std::string topic, payload;
        bool retained;
    };

    Watcher(int port, const std::string &filter, const std::string &id = "") : filter_(filter) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(id.empty() ? nullptr : id.c_str(), id.empty(), this);
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect_callback_set(mosq_, [](mosquitto *m, void *self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, static_cast<Watcher *>(self)->filter_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto *, void *self, int, int, const int *) {
            Watcher *w = static_cast<Watcher *>(self);
            std::lock_guard<std::mutex> lock(w->mu_);
            w->subscribed_ = true;
            w->changed_.notify_all();
        });
        mosquitto_message_callback_set(
            mosq_, [](mosquitto *, void *self, const mosquitto_message *m) {
                Watcher *w = static_cast<Watcher *>(self);
                std::lock_guard<std::mutex> lock(w->mu_);
                w->messages_.push_back(
                    {m->topic, std::string(static_cast<const char *>(m->payload), m->payloadlen),
                     m->retain});
                w->changed_.notify_all();
            });
        mosquitto_connect_async(mosq_, "127.0.0.1", port, 30);
        mosquitto_loop_start(mosq_);
        WaitFor([this](const std::vector<Message> &) { return subscribed_; });
    }
    ~Watcher() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }

    // Waits up to 20 s until done(messages) holds, or n messages came;
    // false if it never did.
    bool WaitFor(const std::function<bool(const std::vector<Message> &)> &done) {
        std::unique_lock<std::mutex> lock(mu_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return done(messages_); });
    }
    bool WaitFor(std::size_t n) {
        return WaitFor([n](const std::vector<Message> &m) { return m.size() >= n; });
    }
    std::vector<Message> messages() {
        std::lock_guard<std::mutex> lock(mu_);
        return messages_;
    }

  private:
    std::string filter_;
    mosquitto *mosq_;
    std::mutex mu_;
    std::condition_variable changed_;
    bool subscribed_ = false;
    std::vector<Message> messages_;
};

// A broker that lies, for clients under attack: it listens on a free
// loopback port, takes one connection at a time, reads its CONNECT,
// accepts it with a CONNACK (MQTT 5 or 3.1.1, as the client spoke) and
// then hands the connection to the test's script, which does what it will
// with it. The connection is ended after the script.
class LyingBroker {
  public:
    // script(n, fd) for the nth connection accepted (from 1); false stops taking
    // connections (the port is closed, so later tries are refused).
    using Script = std::function<bool(int n, int fd)>;

    explicit LyingBroker(Script script) : script_(std::move(script)) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        auto *sa = reinterpret_cast<sockaddr *>(&a);
        if (bind(listener_, sa, len) == 0 && listen(listener_, 8) == 0 &&
            getsockname(listener_, sa, &len) == 0)
            port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~LyingBroker() {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }

    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    // Connections accepted with a CONNACK so far.
    int accepted() const { return accepted_; }

    // Writes all of text; false when the connection is gone (or after 20 s
    // of the peer not reading, so that a test never hangs).
    static bool Send(int fd, const std::string &text) {
        for (std::size_t done = 0; done < text.size();) {
            struct pollfd p = {fd, POLLOUT, 0};
            if (poll(&p, 1, 20000) != 1) return false;
            const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // A PUBLISH packet's fixed header for a remaining length.
    static std::string PublishHeader(uint32_t remaining) {
        std::string h(1, '\x30');
        do {
            const uint8_t b = remaining % 128;
            remaining /= 128;
            h += static_cast<char>(remaining > 0 ? b | 128 : b);
        } while (remaining > 0);
        return h;
    }

  private:
    // Reads the CONNECT; its protocol level (5 or 4), or 0.
    static int ReadConnect(int fd) {
        uint8_t b = 0;
        uint32_t length = 0, shift = 0;
        if (recv(fd, &b, 1, MSG_WAITALL) != 1 || b != 0x10) return 0;
        do {
            if (recv(fd, &b, 1, MSG_WAITALL) != 1 || shift > 21) return 0;
            length |= static_cast<uint32_t>(b & 127) << shift;
            shift += 7;
        } while (b & 128);
        std::string body(length, '\0');
        if (length < 7 || recv(fd, &body[0], length, MSG_WAITALL) != static_cast<ssize_t>(length))
            return 0;
        return body[6];  // after the protocol name "MQTT"
    }

    // Ends a connection after what was sent has arrived: the end first,
    // then whatever the client still sends is read until it closes (a
    // close with unread bytes would reset the connection and lose what
    // the client had not read yet).
    static void Hangup(int fd) {
        shutdown(fd, SHUT_WR);
        char buf[4096];
        for (struct pollfd p = {fd, POLLIN, 0}; poll(&p, 1, 5000) == 1;)
            if (read(fd, buf, sizeof buf) <= 0) break;
        close(fd);
    }

    // A connection that sends no CONNECT (a client's look whether the
    // port answers) is not counted.
    void Serve() {
        for (;;) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            const int level = ReadConnect(fd);
            const bool go_on = level != 0 && Send(fd, level == 5 ? std::string("\x20\x03\0\0\0", 5)
                                                                 : std::string("\x20\x02\0\0", 4));
            const bool more = !go_on || script_(++accepted_, fd);
            Hangup(fd);
            if (!more) {
                shutdown(listener_, SHUT_RDWR);
                return;
            }
        }
    }

    Script script_;
    int listener_ = -1, port_ = 0;
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

}  // namespace testsupport

#endif
