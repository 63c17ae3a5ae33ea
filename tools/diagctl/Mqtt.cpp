// SPDX-License-Identifier: Apache-2.0
#include "Mqtt.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "Fleet.h"
#include "Snapshot.h"
#include "ToolLog.h"

namespace diagctl {

namespace {

// Records handed to the library and not yet delivered, at most: below the
// library's own window (20), so that it never holds a queue of its own.
constexpr uint64_t kInflight = 16;

double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string WallTime() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return UtcTime(ts);
}

std::string LibError(int rc) {
    return rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc);
}

// An encrypted key is refused rather than prompted for: no terminal
// prompt may stop a background thread.
int NoPassphrase(char *, int, int, void *) {
    return 0;
}

bool Readable(const std::string &path, bool directory, std::string *error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || access(path.c_str(), R_OK) != 0) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
        *error = path + (directory ? " is not a directory" : " is not a regular file");
        return false;
    }
    return true;
}

}  // namespace

bool ParseBrokerUrl(const std::string &url, BrokerOptions *out, std::string *error) {
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        out->tls = false;
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        out->tls = true;
        rest = url.substr(8);
    } else {
        *error = "the broker is mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not '" + url + "'";
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find('@') != std::string::npos) {
        *error = "no user or password in the URL: --username and --password-file";
        return false;
    }
    std::string host, port;
    bool has_port = false;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) {
            *error = "no ']' after the IPv6 address in '" + url + "'";
            return false;
        }
        host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty() && after[0] != ':') {
            *error = "'" + url + "' has text after the address";
            return false;
        }
        has_port = !after.empty();
        if (has_port) port = after.substr(1);
        unsigned char buf[16];
        if (inet_pton(AF_INET6, host.c_str(), buf) != 1) {
            *error = "'" + host + "' is not an IPv6 address";
            return false;
        }
    } else {
        const std::size_t colon = rest.find(':');
        host = rest.substr(0, colon);
        has_port = colon != std::string::npos;
        if (has_port) port = rest.substr(colon + 1);
    }
    // Host names and IPv4 addresses; no user information, paths or queries.
    if (host.empty() || host.size() > 253 ||
        (rest[0] != '[' && host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRS"
                                                  "TUVWXYZ0123456789.-_") != std::string::npos)) {
        *error = "no host name in '" + url + "'";
        return false;
    }
    out->host = host;
    out->port = out->tls ? 8883 : 1883;
    if (has_port) {
        char *end = nullptr;
        errno = 0;
        const long p = strtol(port.c_str(), &end, 10);
        if (port.empty() || *end != '\0' || port[0] == '-' || port[0] == '+' || errno != 0 ||
            p < 1 || p > 65535) {
            *error = "'" + port + "' is not a port (1 to 65535)";
            return false;
        }
        out->port = static_cast<int>(p);
    }
    return true;
}

bool ReadPasswordFile(const std::string &path, std::string *password, std::string *error,
                      std::string *warning) {
    // O_NONBLOCK: a FIFO must not hang the open; it is refused just after.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 4096) {
        close(fd);
        *error = path + " is not a regular file of at most 4 KiB";
        return false;
    }
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    const ssize_t n = read(fd, &text[0], text.size());
    close(fd);
    if (n < 0) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    text.resize(static_cast<std::size_t>(n));
    text = text.substr(0, text.find('\n'));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) {
        *error = path + " holds no password on its first line";
        return false;
    }
    if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0)
        *warning = path + " may be read by other users (chmod 600 it)";
    *password = text;
    return true;
}

bool CheckBrokerOptions(const BrokerOptions &o, std::string *error) {
    const bool tls_options = !o.cafile.empty() || !o.capath.empty() || !o.certfile.empty() ||
                             !o.keyfile.empty() || !o.tls_version.empty() || o.insecure;
    if (tls_options && !o.tls) {
        *error = "TLS options need an mqtts:// broker";
        return false;
    }
    if (o.certfile.empty() != o.keyfile.empty()) {
        *error = "--cert and --key go together";
        return false;
    }
    if (!o.password.empty() && o.username.empty()) {
        *error = "a password needs --username";
        return false;
    }
    if (!o.tls_version.empty() && o.tls_version != "tlsv1.2" && o.tls_version != "tlsv1.3") {
        *error = "--tls-version is tlsv1.2 or tlsv1.3";
        return false;
    }
    for (const std::string *f : {&o.cafile, &o.certfile, &o.keyfile})
        if (!f->empty() && !Readable(*f, false, error)) return false;
    if (!o.capath.empty() && !Readable(o.capath, true, error)) return false;
    return true;
}

namespace {

// MQTT 5 packets from a broker, checked before libmosquitto reads them:
// libmosquitto 2.0 aborts the whole process on some lies (an unknown
// property is logged through a null client, which asserts), so a packet
// whose property sections do not parse exactly, or that a broker never
// sends, ends the connection instead. Only where the relay sees the
// packets: over plain TCP (inside TLS it sees records, and the broker is
// the one its certificate names).

// A variable byte integer (MQTT 5 1.5.5) at p[*at], below end.
bool Varint(const unsigned char *p, std::size_t end, std::size_t *at, uint32_t *value) {
    *value = 0;
    for (int i = 0; i < 4; i++) {
        if (*at >= end) return false;
        const unsigned char b = p[(*at)++];
        *value |= static_cast<uint32_t>(b & 127) << (7 * i);
        if (!(b & 128)) return true;
    }
    return false;
}

bool Utf8(const unsigned char *p, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        const std::size_t len = c < 0x80         ? 1
                                : (c >> 5) == 6  ? 2
                                : (c >> 4) == 14 ? 3
                                : (c >> 3) == 30 ? 4
                                                 : 0;
        if (c == 0 || len == 0 || i + len > n) return false;
        for (std::size_t k = 1; k < len; k++)
            if ((p[i + k] & 0xc0) != 0x80) return false;
        i += len;
    }
    return true;
}

// A property section at p[*at] (its length, then the properties), which
// must end at or before end; *at moves past it.
bool Properties(const unsigned char *p, std::size_t end, std::size_t *at) {
    uint32_t length;
    if (!Varint(p, end, at, &length) || length > end - *at) return false;
    const std::size_t stop = *at + length;
    // Each property's value: b byte (0 or 1), 2 and 4 integers, v a
    // variable byte integer, s a UTF-8 string, d binary data, p a pair.
    static const char kKind[0x2b] = {0,   'b', '4', 's', 0,   0,   0,   0,   's', 'd', 0,
                                     'v', 0,   0,   0,   0,   0,   '4', 's', '2', 0,   's',
                                     'd', 'b', '4', 'b', 's', 0,   's', 0,   0,   's', 0,
                                     '2', '2', '2', 'b', 'b', 'p', '4', 'b', 'b', 'b'};
    while (*at < stop) {
        const unsigned char id = p[(*at)++];
        const char kind = id < sizeof kKind ? kKind[id] : 0;
        auto text = [&](bool utf8) {
            if (stop - *at < 2) return false;
            const std::size_t n = static_cast<std::size_t>(p[*at] << 8 | p[*at + 1]);
            if (n > stop - *at - 2 || (utf8 && !Utf8(p + *at + 2, n))) return false;
            *at += 2 + n;
            return true;
        };
        uint32_t v;
        bool ok;
        switch (kind) {
            case 'b':
                ok = *at < stop && p[*at] <= 1 && ++*at;
                break;
            case '2':
                ok = stop - *at >= 2 && (*at += 2);
                break;
            case '4':
                ok = stop - *at >= 4 && (*at += 4);
                break;
            case 'v':
                ok = Varint(p, stop, at, &v) && v > 0;
                break;
            case 's':
                ok = text(true);
                break;
            case 'd':
                ok = text(false);
                break;
            case 'p':
                ok = text(true) && text(true);
                break;
            default:
                ok = false;
        }
        if (!ok) return false;
    }
    return *at == stop;
}

// The length of the whole packet at the start of p (its fixed header
// included): 0 while it has not all come, SIZE_MAX for a header that is
// not one.
std::size_t PacketLength(const unsigned char *p, std::size_t n) {
    std::size_t at = 1;
    uint32_t remaining;
    if (n < 2) return 0;
    if (!Varint(p, n, &at, &remaining)) return n >= 5 ? SIZE_MAX : 0;
    return n - at >= remaining ? at + remaining : 0;
}

// Whether a whole packet (of length n) from a broker is one a broker
// sends, with property sections that parse exactly.
bool BrokerPacket(const unsigned char *p, std::size_t n) {
    std::size_t at = 1;
    uint32_t remaining;
    Varint(p, n, &at, &remaining);
    const unsigned type = p[0] >> 4;
    switch (type) {
        case 2:  // CONNACK: flags, reason, properties
            return n - at >= 3 && (at += 2, Properties(p, n, &at)) && at == n;
        case 3: {  // PUBLISH: topic, packet id under QoS 1 and 2, properties, payload
            if (n - at < 2) return false;
            const std::size_t topic = static_cast<std::size_t>(p[at] << 8 | p[at + 1]);
            if (topic > n - at - 2 || !Utf8(p + at + 2, topic)) return false;
            at += 2 + topic + (((p[0] >> 1) & 3) ? 2 : 0);
            return at <= n && Properties(p, n, &at);
        }
        case 4:
        case 5:
        case 6:
        case 7:  // PUBACK .. PUBCOMP: id, [reason, [properties]]
            if (remaining < 2) return false;
            if (remaining <= 3) return true;
            at += 3;
            return Properties(p, n, &at) && at == n;
        case 9:
        case 11:  // SUBACK, UNSUBACK: id, properties, reasons
            if (remaining < 2) return false;
            at += 2;
            return Properties(p, n, &at);
        case 13:  // PINGRESP
            return remaining == 0;
        case 14:
        case 15:  // DISCONNECT, AUTH: [reason, [properties]]
            if (remaining <= 1) return true;
            at += 1;
            return Properties(p, n, &at) && at == n;
        default:
            return false;
    }
}

// What stands between libmosquitto and the broker, so that a broker can
// make the library hold no more than a bound of bytes beyond the end of
// the last packet it finished. libmosquitto 2.0 takes whatever length a
// packet's header announces (up to 256 MiB, allocated at once and filled
// as it comes), and the MQTT 5 maximum packet size only asks an honest
// broker to keep to it. The library's socket is replaced, under the same
// descriptor number (so the library and its TLS go on using it), by one
// end of a socket pair; the relay copies between the other end and the
// broker's socket, and stops taking the broker's bytes at the bound. When
// the library has read all it was given and has not finished a packet,
// that packet is larger than the bound: the relay ends and the library
// sees its connection closed. Run by the link's thread alone.
class PacketRelay {
  public:
    PacketRelay() = default;
    ~PacketRelay() { Close(); }
    PacketRelay(const PacketRelay &) = delete;
    PacketRelay &operator=(const PacketRelay &) = delete;

    // Takes the library's socket sock over (connected or connecting) for
    // packets of at most bound bytes. False, with errno, when it cannot.
    // check: the broker's packets are MQTT 5 in the clear, and are checked
    // (BrokerPacket) before the library gets them.
    bool Begin(int sock, std::size_t bound, bool check) {
        Close();
        int pair[2];
        const int broker = fcntl(sock, F_DUPFD_CLOEXEC, 0);
        if (broker < 0) return false;
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0 ||
            dup3(pair[0], sock, O_CLOEXEC) < 0) {
            const int err = errno;
            close(broker);
            errno = err;
            return false;
        }
        close(pair[0]);
        library_ = sock;
        mine_ = pair[1];
        broker_ = broker;
        bound_ = bound;
        check_ = check;
        checked_ = 0;
        connecting_ = true;
        given_ = base_ = 0;
        base_time_ = Now();
        to_broker_.clear();
        to_library_.clear();
        broker_done_ = shut_ = oversized_ = false;
        why_.clear();
        return true;
    }

    bool active() const { return broker_ >= 0; }
    // Why the relay ended the connection ("" while it did not), and
    // whether for a packet over the bound.
    const std::string &why() const { return why_; }
    bool oversized() const { return oversized_; }

    // The library finished a packet: what it has read is behind it. Only
    // while the library's socket is open.
    void Finished() {
        if (!active()) return;
        base_ = given_ - Unread();
        base_time_ = Now();
    }

    // The events to wait for, in two poll entries.
    void Watch(struct pollfd *mine, struct pollfd *broker) const {
        *mine = {mine_, 0, 0};
        *broker = {broker_, 0, 0};
        if (!active()) return;
        if (to_broker_.size() < kBuffer) mine->events |= POLLIN;
        if ((check_ ? checked_ : to_library_.size()) > 0) mine->events |= POLLOUT;
        if (!connecting_ && !broker_done_ && to_library_.size() < ToLibraryCap() && Room() > 0)
            broker->events |= POLLIN;
        if (connecting_ || !to_broker_.empty()) broker->events |= POLLOUT;
    }

    // Moves what can be moved without waiting, both ways. False when the
    // relay has ended the connection (why() says why); the library then
    // finds it closed.
    bool Pump() {
        if (!active()) return true;
        if (connecting_ && !Connected()) return End(why_);
        if (!Move(mine_, &to_broker_, kBuffer - std::min(kBuffer, to_broker_.size())))
            return End("");
        if (!connecting_ && !Flush(broker_, &to_broker_, nullptr)) return End(why_);
        const std::size_t room =
            std::min(ToLibraryCap() - std::min(ToLibraryCap(), to_library_.size()), Room());
        if (!connecting_ && !broker_done_ && room > 0 && !Move(broker_, &to_library_, room))
            broker_done_ = true;  // what came before the end still goes to the library
        // Whole packets go to the library once checked; a packet that lies
        // ends the connection before the library reads any of it.
        while (check_ && checked_ < to_library_.size()) {
            const auto *at = reinterpret_cast<const unsigned char *>(to_library_.data()) + checked_;
            const std::size_t n = PacketLength(at, to_library_.size() - checked_);
            if (n == 0) break;
            if (n == SIZE_MAX || !BrokerPacket(at, n))
                return End("the broker sent a malformed MQTT packet");
            checked_ += n;
        }
        const std::size_t before = to_library_.size();
        if (!Flush(mine_, &to_library_, &given_, check_ ? checked_ : before)) return End("");
        if (check_) checked_ -= before - to_library_.size();
        // A packet held for its check that announces more than the bound
        // is over it: no need to wait for the rest.
        if (check_ && checked_ < to_library_.size()) {
            const auto *at = reinterpret_cast<const unsigned char *>(to_library_.data()) + checked_;
            std::size_t header = 1;
            uint32_t remaining;
            if (Varint(at, to_library_.size() - checked_, &header, &remaining) &&
                header + remaining > bound_ + kSlack) {
                oversized_ = true;
                return End("the broker sent a packet of more than " + std::to_string(bound_) +
                           " bytes");
            }
        }
        // A packet the broker's end cut off is never whole: it goes.
        if (broker_done_ && check_ && checked_ == 0) to_library_.clear();
        // The broker's end, after all it sent: the library reads it as such.
        if (broker_done_ && to_library_.empty() && !shut_) shut_ = shutdown(mine_, SHUT_WR) == 0;
        oversized_ = Room() == 0 && to_library_.empty() && Unread() == 0;
        if (oversized_)
            return End("the broker sent a packet of more than " + std::to_string(bound_) +
                       " bytes");
        return true;
    }

    // The library has closed its socket: what it wrote before (a
    // DISCONNECT) still goes to the broker, for up to until; then the
    // relay closes.
    void Finish(double until) {
        while (active() && !connecting_ && Move(mine_, &to_broker_, kBuffer) &&
               Flush(broker_, &to_broker_, nullptr)) {
            const double left = until - Now();
            struct pollfd p = {to_broker_.empty() ? mine_ : broker_,
                               static_cast<short>(to_broker_.empty() ? POLLIN : POLLOUT), 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) break;
        }
        if (active() && !to_broker_.empty()) Flush(broker_, &to_broker_, nullptr);
        Close();
    }

    void Close() {
        for (int *fd : {&mine_, &broker_})
            if (*fd >= 0) close(*fd);
        mine_ = broker_ = library_ = -1;
    }

  private:
    // Bytes held in each direction at most.
    static constexpr std::size_t kBuffer = 64 * 1024;
    // Beyond the bound: the TLS records around a packet and the small
    // packets (acknowledgements, ping answers) between two finished ones.
    static constexpr std::size_t kSlack = 256 * 1024;
    // A ping answer every keep-alive finishes no packet the relay hears
    // of: each second adds as much as one would take, over TLS.
    static constexpr double kIdleBytesPerSecond = 4;

    // Bytes of the broker's held for the library at most: a whole packet
    // (up to the bound) waits there for its check.
    std::size_t ToLibraryCap() const { return check_ ? kBuffer + bound_ : kBuffer; }

    // Bytes the broker may still send before the library finishes a packet.
    std::size_t Room() const {
        const uint64_t allowed =
            bound_ + kSlack + static_cast<uint64_t>((Now() - base_time_) * kIdleBytesPerSecond);
        const uint64_t held = given_ + to_library_.size() - base_;
        return held >= allowed ? 0 : static_cast<std::size_t>(allowed - held);
    }

    // Bytes given to the library that it has not read.
    uint64_t Unread() const {
        int n = 0;
        return library_ >= 0 && ioctl(library_, FIONREAD, &n) == 0 && n > 0
                   ? static_cast<uint64_t>(n)
                   : 0;
    }

    // Whether the broker's socket has finished connecting; why_ is set when
    // it failed.
    bool Connected() {
        struct pollfd p = {broker_, POLLOUT, 0};
        if (poll(&p, 1, 0) <= 0) return true;  // not yet: connecting_ stays
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(broker_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err != 0) {
            why_ = strerror(err);
            return false;
        }
        connecting_ = false;
        return true;
    }

    // Reads up to room bytes from fd onto buf; false at its end or on an
    // error (why_ set for the broker's).
    bool Move(int fd, std::string *buf, std::size_t room) {
        char chunk[16384];
        while (room > 0) {
            const ssize_t n = read(fd, chunk, std::min(room, sizeof chunk));
            if (n > 0) {
                buf->append(chunk, static_cast<std::size_t>(n));
                room -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
            if (n < 0 && fd == broker_) why_ = strerror(errno);
            return false;
        }
        return true;
    }

    // Writes buf (its first limit bytes) to fd as far as it goes; false on
    // an error.
    bool Flush(int fd, std::string *buf, uint64_t *count, std::size_t limit = SIZE_MAX) {
        std::size_t done = 0;
        limit = std::min(limit, buf->size());
        while (done < limit) {
            const ssize_t n = send(fd, buf->data() + done, limit - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            if (n < 0) {
                if (fd == broker_) why_ = strerror(errno);
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        buf->erase(0, done);
        if (count != nullptr) *count += done;
        return true;
    }

    bool End(const std::string &why) {
        why_ = why;
        Close();
        return false;
    }

    int library_ = -1, mine_ = -1, broker_ = -1;
    std::size_t bound_ = 0;
    bool connecting_ = false, broker_done_ = false, shut_ = false, oversized_ = false;
    bool check_ = false;
    std::size_t checked_ = 0;  // bytes at the front of to_library_ checked
    uint64_t given_ = 0;       // bytes written to the library's end in all
    uint64_t base_ = 0;        // of those, read by the library when it last finished a packet
    double base_time_ = 0;     // when that was
    std::string to_broker_, to_library_, why_;
};

}  // namespace

// One client's connection, on a thread of its own that alone calls into
// libmosquitto: connects without blocking on the TCP handshake, runs the
// library's loop on its socket (behind a PacketRelay) beside an eventfd
// that other threads write to (Wake) and, when the connection fails or
// breaks, waits and connects again, each wait double the last up to
// retry_max_s. The waits start again from retry_min_s only after a
// connection has held for stable_s, so a broker that drops each
// connection at once is not tried again and again; the first few of such
// short connections are logged, then a count once a minute. The owner's
// hooks run on this thread.
class MqttLink {
  public:
    struct Hooks {
        std::function<void()> connected;     // the broker accepted us
        std::function<void()> disconnected;  // a connection ended
        std::function<void(int mid)> published;
        std::function<void(const mosquitto_message *)> message;
        std::function<void()> pump;       // after every wake-up while connected
        std::function<bool()> drained;    // stopping: nothing left to send
        std::function<void()> goodbye;    // stopping: just before the DISCONNECT
        std::function<void()> oversized;  // a connection dropped for a packet over the bound
    };

    // max_packet: the largest packet taken from the broker, asked for with
    // MQTT 5; 0 for MQTT 3.1.1, where packets of kSmallPacket are taken.
    MqttLink(const BrokerOptions &options, Hooks hooks, std::size_t max_packet)
        : opt_(options), hooks_(std::move(hooks)), max_packet_(max_packet) {}

    ~MqttLink() {
        Finish(0);
        if (mosq_ != nullptr) mosquitto_destroy(mosq_);
        if (efd_ >= 0) close(efd_);
    }

    bool Setup(std::string *error) {
        static std::once_flag once;
        std::call_once(once, [] { mosquitto_lib_init(); });
        efd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        // A random client id and a clean session: two recorders never
        // take each other's session, and nothing waits on the broker for
        // a client that is gone.
        mosq_ = mosquitto_new(nullptr, true, this);
        if (efd_ < 0 || mosq_ == nullptr) {
            *error = "cannot make an MQTT client";
            return false;
        }
        if (max_packet_ > 0)
            mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        int rc = MOSQ_ERR_SUCCESS;
        if (!opt_.username.empty())
            rc = mosquitto_username_pw_set(mosq_, opt_.username.c_str(),
                                           opt_.password.empty() ? nullptr : opt_.password.c_str());
        if (rc == MOSQ_ERR_SUCCESS && opt_.tls) {
            auto c = [](const std::string &s) { return s.empty() ? nullptr : s.c_str(); };
            // Without a CA of its own, the system's CAs vouch for the broker.
            if (opt_.cafile.empty() && opt_.capath.empty())
                rc = mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
            if (rc == MOSQ_ERR_SUCCESS)
                rc = mosquitto_tls_set(mosq_, c(opt_.cafile), c(opt_.capath), c(opt_.certfile),
                                       c(opt_.keyfile), NoPassphrase);
            if (rc == MOSQ_ERR_SUCCESS && !opt_.tls_version.empty())
                rc = mosquitto_tls_opts_set(mosq_, 1, opt_.tls_version.c_str(), nullptr);
            if (rc == MOSQ_ERR_SUCCESS && opt_.insecure)
                rc = mosquitto_tls_insecure_set(mosq_, true);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            *error = "MQTT options refused: " + LibError(rc);
            return false;
        }
        mosquitto_connect_callback_set(mosq_, [](mosquitto *, void *self, int rc) {
            static_cast<MqttLink *>(self)->OnConnect(rc);
        });
        mosquitto_disconnect_callback_set(mosq_, [](mosquitto *, void *self, int rc) {
            static_cast<MqttLink *>(self)->OnDisconnect(rc);
        });
        // Each callback below ends a packet the broker sent.
        mosquitto_publish_callback_set(mosq_, [](mosquitto *, void *self, int mid) {
            MqttLink *link = static_cast<MqttLink *>(self);
            link->relay_.Finished();
            if (link->hooks_.published) link->hooks_.published(mid);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto *, void *self, int, int, const int *) {
            static_cast<MqttLink *>(self)->relay_.Finished();
        });
        // The library says why a TLS handshake failed only in its log.
        mosquitto_log_callback_set(mosq_, [](mosquitto *, void *self, int level, const char *text) {
            if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) != 0 && text != nullptr)
                static_cast<MqttLink *>(self)->library_said_ = text;
        });
        mosquitto_message_callback_set(
            mosq_, [](mosquitto *, void *self, const mosquitto_message *message) {
                MqttLink *link = static_cast<MqttLink *>(self);
                link->relay_.Finished();
                if (link->hooks_.message) link->hooks_.message(message);
            });
        return true;
    }

    bool SetWill(const std::string &topic, const std::string &payload, std::string *error) {
        const int rc = mosquitto_will_set(mosq_, topic.c_str(), static_cast<int>(payload.size()),
                                          payload.data(), 1, true);
        if (rc != MOSQ_ERR_SUCCESS) *error = "last will refused: " + LibError(rc);
        return rc == MOSQ_ERR_SUCCESS;
    }

    void Start() {
        thread_ = std::thread([this] { Run(); });
    }

    void Wake() {
        const uint64_t one = 1;
        if (write(efd_, &one, sizeof one) < 0) {
            // The counter is full: a wake-up is pending anyway.
        }
    }

    // Asks the thread to end: once the owner has drained (or after
    // drain_s), it says goodbye and disconnects; then waits for it.
    void Finish(double drain_s) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (!stop_) deadline_ = Now() + drain_s;
            stop_ = true;
        }
        Wake();
        if (thread_.joinable()) thread_.join();
    }

    mosquitto *handle() const { return mosq_; }
    // On the link's thread: the broker has accepted this connection.
    bool connected() const { return connected_; }
    std::string where() const { return opt_.host + ":" + std::to_string(opt_.port); }

  private:
    void OnConnect(int rc) {
        relay_.Finished();
        if (rc != 0) {
            told_ = true;
            Report(LOG_ERR, "the broker refused the connection: " +
                                std::string(max_packet_ > 0 ? mosquitto_reason_string(rc)
                                                            : mosquitto_connack_string(rc)));
            return;
        }
        connected_ = true;
        connected_at_ = Now();
        steady_ = false;
        connect_held_ = unstable_ >= kShortLogged;
        if (!connect_held_) SayConnected();
        if (hooks_.connected) hooks_.connected();
    }

    void OnDisconnect(int rc) {
        connected_ = false;
        lost_why_ = LibError(rc);
        if (hooks_.disconnected) hooks_.disconnected();
    }

    void SayConnected() {
        toollog::Log(failing_ ? LOG_NOTICE : LOG_INFO, "mqtt: connected to %s", where().c_str());
        failing_ = false;
        last_error_.clear();
    }

    // The wait before the next try; the one after it is twice as long.
    double NextWait() {
        const double wait = backoff_;
        backoff_ = std::min(backoff_ * 2, opt_.retry_max_s);
        return wait;
    }

    // The connection has held for stable_s: the waits start again from the
    // shortest, and the short connections before it are counted.
    void Steady() {
        steady_ = true;
        backoff_ = opt_.retry_min_s;
        if (held_ > 0) SayShortOnes();
        if (connect_held_) SayConnected();
        connect_held_ = false;
        unstable_ = 0;
    }

    void SayShortOnes() {
        toollog::Log(LOG_WARNING,
                     "mqtt: %llu more connections to %s were lost within %g s of being made; "
                     "waiting up to %g s between tries",
                     held_, where().c_str(), opt_.stable_s, opt_.retry_max_s);
        held_ = 0;
        said_short_at_ = Now();
    }

    // A connection the broker had accepted has ended: logged (past the
    // first few short ones, counted once a minute). The wait before the
    // next try.
    double Lost(const std::string &why) {
        const double now = Now(), lasted = now - connected_at_;
        connected_at_ = 0;
        if (!steady_ && lasted >= opt_.stable_s) Steady();
        if (!steady_) unstable_++;
        const double wait = NextWait();
        if (stopping_) return wait;  // not news while it stops
        if (unstable_ <= kShortLogged) {
            char text[64];
            snprintf(text, sizeof text, " after %.1f s; reconnecting in %g s", lasted, wait);
            Report(LOG_WARNING, "connection to " + where() + " lost (" + why + ")" + text);
            return wait;
        }
        toollog::Log(LOG_DEBUG, "mqtt: connection to %s lost (%s) after %.1f s", where().c_str(),
                     why.c_str(), lasted);
        if (held_++ == 0) said_short_at_ = now;
        if (now - said_short_at_ >= 60) SayShortOnes();
        return wait;
    }

    // A failure and, when the library logged one, its reason. What the
    // relay saw of the broker's socket comes first: the library saw only
    // its end closed.
    std::string Why(int rc) const {
        return (relay_why_.empty() ? LibError(rc) : relay_why_) +
               (library_said_.empty() ? "" : " (" + library_said_ + ")");
    }

    void CannotConnect(int rc) {
        char most[32];
        snprintf(most, sizeof most, "%g", opt_.retry_max_s);
        Report(LOG_WARNING, "cannot connect to " + where() + ": " + Why(rc) +
                                "; trying again, waiting up to " + most + " s between tries");
    }

    // Logs a failure once, and again only when it changes.
    void Report(int level, const std::string &what) {
        failing_ = true;
        if (what == last_error_) {
            toollog::Log(LOG_DEBUG, "mqtt: %s", what.c_str());
            return;
        }
        last_error_ = what;
        toollog::Log(level, "mqtt: %s", what.c_str());
    }

    int Connect() {
        if (first_) {
            first_ = false;
            if (max_packet_ == 0)
                return mosquitto_connect_async(mosq_, opt_.host.c_str(), opt_.port,
                                               opt_.keepalive_s);
            // MQTT 5 tells the broker the largest packet we take; the library
            // keeps the property for every reconnect. Its connect call waits
            // for the TCP handshake, so the broker is first reached by a
            // connect of our own that Finish() can cut short.
            if (!Reachable()) return MOSQ_ERR_ERRNO;
            mosquitto_property *props = nullptr;
            mosquitto_property_add_int32(&props, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                         static_cast<uint32_t>(max_packet_));
            const int rc = mosquitto_connect_bind_v5(mosq_, opt_.host.c_str(), opt_.port,
                                                     opt_.keepalive_s, nullptr, props);
            mosquitto_property_free_all(&props);
            // Until the library has the host, a failed first try is tried again.
            if (rc != MOSQ_ERR_SUCCESS) first_ = true;
            return rc;
        }
        return mosquitto_reconnect_async(mosq_);
    }

    // A TCP connect to the broker that gives up when told to stop or after
    // 30 s; errno set when false.
    bool Reachable() {
        struct addrinfo hints = {}, *ai = nullptr;
        hints.ai_socktype = SOCK_STREAM;
        const std::string port = std::to_string(opt_.port);
        const int gai = getaddrinfo(opt_.host.c_str(), port.c_str(), &hints, &ai);
        if (gai != 0) {
            errno = gai == EAI_SYSTEM ? errno : EHOSTUNREACH;
            return false;
        }
        bool ok = false;
        int err = ECONNREFUSED;
        for (struct addrinfo *a = ai; a != nullptr && !ok && !Stopping(); a = a->ai_next) {
            const int fd =
                socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
            if (fd < 0) continue;
            if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
                ok = true;
            } else if (errno == EINPROGRESS) {
                const double until = Now() + 30;
                while (!Stopping() && Now() < until) {
                    struct pollfd p[2] = {{fd, POLLOUT, 0}, {efd_, POLLIN, 0}};
                    if (poll(p, 2, 1000) > 0 && (p[0].revents != 0)) {
                        socklen_t len = sizeof err;
                        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                        ok = err == 0;
                        break;
                    }
                    DrainWakes();
                }
                if (!ok && Now() >= until) err = ETIMEDOUT;
            } else {
                err = errno;
            }
            close(fd);
        }
        freeaddrinfo(ai);
        errno = err;
        return ok;
    }

    bool Stopping() {
        std::lock_guard<std::mutex> lock(mu_);
        return stop_;
    }

    void DrainWakes() {
        uint64_t n;
        while (read(efd_, &n, sizeof n) > 0) {
        }
    }

    void Run() {
        // Signals are the main thread's: a SIGINT taken here would not cut
        // its sleep or its wait for the daemon short.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        double retry_at = 0, closing_until = 0;
        bool disconnect_sent = false;
        backoff_ = opt_.retry_min_s;
        for (;;) {
            double now = Now(), deadline;
            {
                std::lock_guard<std::mutex> lock(mu_);
                stopping_ = stop_;
                deadline = deadline_;
            }
            if (stopping_) {
                if (disconnect_sent) {
                    if (mosquitto_socket(mosq_) < 0 || now >= closing_until) break;
                } else if (connected_ &&
                           ((hooks_.drained && hooks_.drained()) || now >= deadline)) {
                    if (hooks_.goodbye) hooks_.goodbye();
                    // The DISCONNECT goes after everything queued before it.
                    mosquitto_disconnect(mosq_);
                    disconnect_sent = true;
                    closing_until = now + 1;
                    continue;
                } else if (now >= deadline) {
                    break;  // not connected, and no time left to try
                }
            }
            if (connected_ && !steady_ && now - connected_at_ >= opt_.stable_s) Steady();
            int sock = mosquitto_socket(mosq_);
            if (sock < 0 && relay_.active()) relay_.Finish(now);
            if (sock < 0 && !disconnect_sent && now >= retry_at) {
                told_ = false;
                library_said_.clear();
                relay_why_.clear();
                const int rc = Connect();
                sock = mosquitto_socket(mosq_);
                const bool relayed =
                    rc == MOSQ_ERR_SUCCESS && sock >= 0 &&
                    relay_.Begin(sock, PacketBound(), max_packet_ > 0 && !opt_.tls);
                if (!relayed) {
                    if (rc == MOSQ_ERR_SUCCESS && sock >= 0) {
                        // Never a connection without the bound: closed at once.
                        relay_why_ = std::string("cannot relay: ") + strerror(errno);
                        shutdown(sock, SHUT_RDWR);
                    }
                    CannotConnect(rc);
                    retry_at = now + NextWait();
                    sock = -1;
                }
            }
            double wait = sock >= 0 ? 1.0 : std::max(0.0, retry_at - now);
            if (stopping_) wait = std::min(wait, std::max(0.0, deadline - now) + 0.001);
            if (disconnect_sent) wait = std::min(wait, 0.05);
            struct pollfd p[4] = {{efd_, POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}};
            if (sock >= 0) {
                p[1].fd = sock;
                p[1].events =
                    static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0));
                relay_.Watch(&p[2], &p[3]);
            }
            poll(p, 4, static_cast<int>(wait * 1000) + 1);
            DrainWakes();
            if (sock < 0) continue;
            Relay();
            if (connected_ && !disconnect_sent && hooks_.pump) hooks_.pump();
            // The library's own loop, with nothing left to wait for: reads,
            // writes, keep-alive, TLS handshake and connect completion.
            const int rc = mosquitto_loop(mosq_, 0, 1);
            if (mosquitto_socket(mosq_) >= 0) Relay();
            // Closed, with an error or by the broker's DISCONNECT: the
            // next try waits either way.
            if (mosquitto_socket(mosq_) < 0 && !disconnect_sent) {
                relay_.Finish(Now());
                double next;
                if (connected_at_ > 0) {
                    // A connection the broker had accepted.
                    next = Lost(relay_why_.empty() ? lost_why_ : relay_why_);
                } else {
                    // Closed before the broker accepted us: a TLS handshake
                    // that failed, a broker that speaks no MQTT there.
                    if (!told_) CannotConnect(rc == MOSQ_ERR_SUCCESS ? MOSQ_ERR_CONN_LOST : rc);
                    next = NextWait();
                }
                retry_at = Now() + next;
            }
        }
        if (disconnect_sent) relay_.Finish(closing_until);
        relay_.Close();
        if (held_ > 0) SayShortOnes();
    }

    // The relay's turn; a connection it ended is said to be over so.
    void Relay() {
        if (relay_.Pump()) return;
        relay_why_ = relay_.why();
        if (relay_.oversized() && hooks_.oversized) hooks_.oversized();
    }

    // The largest packet the relay lets the library take.
    std::size_t PacketBound() const { return max_packet_ > 0 ? max_packet_ : kSmallPacket; }

    // Short connections logged one by one before they are only counted.
    static constexpr unsigned kShortLogged = 3;
    // Without MQTT 5 (the publisher): the broker sends only acknowledgements.
    static constexpr std::size_t kSmallPacket = 4096;

    const BrokerOptions opt_;
    Hooks hooks_;
    const std::size_t max_packet_;  // 0: MQTT 3.1.1 and no limit asked for
    mosquitto *mosq_ = nullptr;
    int efd_ = -1;
    std::thread thread_;

    std::mutex mu_;  // guards stop_ and deadline_
    bool stop_ = false;
    double deadline_ = 0;

    // The link thread's own.
    bool stopping_ = false, connected_ = false, first_ = true, failing_ = false;
    bool told_ = false;         // this try's failure already logged
    std::string library_said_;  // the library's last error or warning in this try
    std::string relay_why_;     // why the relay ended this try's connection
    std::string lost_why_;      // the library's reason for the last lost connection
    double backoff_ = 0;
    std::string last_error_;
    PacketRelay relay_;
    double connected_at_ = 0;      // when the broker accepted this try's connection; 0: it did not
    bool steady_ = false;          // this connection has held for stable_s
    bool connect_held_ = false;    // its "connected" line is not logged yet
    unsigned unstable_ = 0;        // connections lost before holding, since the last that held
    unsigned long long held_ = 0;  // of those, lost and not logged yet
    double said_short_at_ = 0;     // when they were last counted in the log
};

MqttPublisher::MqttPublisher(PublisherOptions options) : opt_(std::move(options)) {}

MqttPublisher::~MqttPublisher() {
    if (link_) Stop(0);
}

bool MqttPublisher::Start(std::string *error) {
    MqttLink::Hooks hooks;
    hooks.connected = [this] { OnConnect(); };
    hooks.disconnected = [this] { OnDisconnect(); };
    hooks.published = [this](int mid) { OnPublished(mid); };
    hooks.pump = [this] { Pump(); };
    hooks.drained = [this] {
        std::lock_guard<std::mutex> lock(mu_);
        return queue_.empty() && inflight_ == 0;
    };
    hooks.goodbye = [this] {
        HostStatus s;
        s.online = false;
        s.time = WallTime();
        s.reason = "stopped";
        {
            std::lock_guard<std::mutex> lock(mu_);
            s.dropped = stats_.dropped;
        }
        const std::string payload = HostStatusJson(s);
        mosquitto_publish(link_->handle(), nullptr,
                          FleetTopic(opt_.prefix, opt_.host, "status").c_str(),
                          static_cast<int>(payload.size()), payload.data(), 1, true);
    };
    link_.reset(new MqttLink(opt_.broker, std::move(hooks), 0));
    HostStatus will;
    will.reason = "connection lost";
    if (!link_->Setup(error) || !link_->SetWill(FleetTopic(opt_.prefix, opt_.host, "status"),
                                                HostStatusJson(will), error)) {
        link_.reset();
        return false;
    }
    link_->Start();
    return true;
}

void MqttPublisher::Publish(const std::string &command, std::string record) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stats_.published++;
        queue_.push_back({FleetTopic(opt_.prefix, opt_.host, command), std::move(record)});
        Trim();
    }
    if (link_) link_->Wake();
}

void MqttPublisher::Trim() {
    bool dropped = false;
    while (queue_.size() > opt_.queue) {
        queue_.pop_front();
        stats_.dropped++;
        dropped = true;
    }
    if (dropped && !drop_warned_) {
        drop_warned_ = true;
        toollog::Log(LOG_WARNING,
                     "mqtt: the queue of %zu records is full; dropping the oldest until the "
                     "broker takes them",
                     opt_.queue);
    }
}

// On the link's thread, with the mutex free: the library may call
// OnPublished from inside mosquitto_publish.
void MqttPublisher::Pump() {
    for (;;) {
        Message m;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (queue_.empty() || inflight_ >= kInflight) return;
            m = std::move(queue_.front());
            queue_.pop_front();
            inflight_++;
        }
        const int rc = mosquitto_publish(link_->handle(), nullptr, m.topic.c_str(),
                                         static_cast<int>(m.payload.size()), m.payload.data(),
                                         opt_.qos, false);
        if (rc == MOSQ_ERR_SUCCESS) continue;
        std::lock_guard<std::mutex> lock(mu_);
        inflight_--;
        if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NOMEM) {
            // Back to the front, to go first once connected; a queue filled
            // meanwhile drops it first, as the oldest.
            queue_.push_front(std::move(m));
            Trim();
        } else {
            stats_.dropped++;
            toollog::Log(LOG_ERR, "mqtt: a record for %s was refused: %s", m.topic.c_str(),
                         LibError(rc).c_str());
        }
        return;
    }
}

void MqttPublisher::OnConnect() {
    HostStatus s;
    s.online = true;
    s.time = WallTime();
    {
        std::lock_guard<std::mutex> lock(mu_);
        stats_.connects++;
        stats_.connected = true;
        s.dropped = stats_.dropped;
        if (stats_.dropped > dropped_reported_)
            toollog::Log(LOG_WARNING,
                         "mqtt: %llu records dropped while the broker was away "
                         "(%llu in all)",
                         static_cast<unsigned long long>(stats_.dropped - dropped_reported_),
                         static_cast<unsigned long long>(stats_.dropped));
        dropped_reported_ = stats_.dropped;
        drop_warned_ = false;
    }
    // Called back inside the library, which queues this and writes it
    // from its loop: no callback comes from inside the call.
    const std::string payload = HostStatusJson(s);
    int mid = 0;
    if (mosquitto_publish(
            link_->handle(), &mid, FleetTopic(opt_.prefix, opt_.host, "status").c_str(),
            static_cast<int>(payload.size()), payload.data(), 1, true) == MOSQ_ERR_SUCCESS) {
        std::lock_guard<std::mutex> lock(mu_);
        status_mids_.push_back(mid);
    }
}

void MqttPublisher::OnDisconnect() {
    std::lock_guard<std::mutex> lock(mu_);
    stats_.connected = false;
    status_mids_.clear();
    // QoS 1 records in flight are sent again by the library after the
    // reconnect; QoS 0 ones that were not yet written are gone.
    if (opt_.qos == 0) {
        stats_.lost += inflight_;
        inflight_ = 0;
    }
}

void MqttPublisher::OnPublished(int mid) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = std::find(status_mids_.begin(), status_mids_.end(), mid);
    if (it != status_mids_.end()) {
        status_mids_.erase(it);
        return;
    }
    if (inflight_ > 0) inflight_--;
    stats_.delivered++;
}

PublisherStats MqttPublisher::stats() const {
    std::lock_guard<std::mutex> lock(mu_);
    PublisherStats s = stats_;
    s.waiting = queue_.size() + inflight_;
    return s;
}

PublisherStats MqttPublisher::Stop(double drain_s) {
    if (link_) {
        link_->Finish(drain_s);
        link_.reset();
    }
    return stats();
}

MqttSubscriber::MqttSubscriber(BrokerOptions options, std::string filter, std::size_t max_payload,
                               Handler handler)
    : broker_(std::move(options)),
      filter_(std::move(filter)),
      max_payload_(max_payload),
      handler_(std::move(handler)) {}

MqttSubscriber::~MqttSubscriber() {
    Stop();
}

bool MqttSubscriber::Start(std::string *error) {
    MqttLink::Hooks hooks;
    hooks.connected = [this] { OnConnect(); };
    hooks.message = [this](const mosquitto_message *m) { OnMessage(m); };
    hooks.oversized = [this] {
        std::lock_guard<std::mutex> lock(mu_);
        oversized_++;
    };
    // The packet holds the topic and the header beside the payload.
    link_.reset(new MqttLink(broker_, std::move(hooks), max_payload_ + 1024));
    if (!link_->Setup(error)) {
        link_.reset();
        return false;
    }
    link_->Start();
    return true;
}

void MqttSubscriber::Stop() {
    if (link_) {
        link_->Finish(0);
        link_.reset();
    }
}

uint64_t MqttSubscriber::oversized() const {
    std::lock_guard<std::mutex> lock(mu_);
    return oversized_;
}

void MqttSubscriber::OnConnect() {
    const int rc = mosquitto_subscribe(link_->handle(), nullptr, filter_.c_str(), 1);
    if (rc != MOSQ_ERR_SUCCESS)
        toollog::Log(LOG_ERR, "mqtt: cannot subscribe to %s: %s", filter_.c_str(),
                     LibError(rc).c_str());
}

void MqttSubscriber::OnMessage(const mosquitto_message *m) {
    if (m->payloadlen < 0 || static_cast<std::size_t>(m->payloadlen) > max_payload_) {
        std::lock_guard<std::mutex> lock(mu_);
        oversized_++;
        return;
    }
    handler_(m->topic, m->payloadlen == 0 ? std::string()
                                          : std::string(static_cast<const char *>(m->payload),
                                                        static_cast<std::size_t>(m->payloadlen)));
}

}  // namespace diagctl
