/* SPDX-License-Identifier: Apache-2.0 */
// diagctl serve: the screens over HTTP. A poller refreshes every screen at
// a fixed pace and keeps the records (the JSON of --json) of the session;
// an HTTP server gives them out as a JSON API, as Server-Sent Events and as
// JSON Lines or CSV downloads, beside the page that shows them.
//
// Records hold identities, so the API demands what the diag objects
// demand: a bearer token (Authorization: Bearer TOKEN) that only the one
// who started the server and the members of the diagnostics group can
// read (the printed URL, the token file). The page and its scripts hold no
// data and are served to anyone. Off loopback the server speaks only TLS
// and masks identities unless told otherwise (the caller enforces that).
//
// Also safe by default: a request whose Host is a name other than
// localhost (DNS rebinding) or whose Origin is another site is refused; no
// CORS header is ever sent; every byte a client sends is bounded before it
// is stored (headers in total and in number, the body), connections are
// capped in all and per address, and idle ones closed; the server is
// event-driven (libmicrohttpd), so slow clients cost a little memory, not a
// thread. Streams and downloads are written in pieces as the client takes
// them, from a buffer of at most kOutletBytes, never built whole. The one
// call that writes (GSM time on/off) needs allow_control and a same-origin
// Origin header. Records are JSON, never HTML: the page shows modem texts
// with textContent.
//
// Fleet mode (diagctl serve --mqtt) shows many hosts: records come from a
// broker through Receive() instead of the poller, each checked and written
// again by our own renderer (Fleet.h), with "host" as its first member;
// hosts, and the memory each one's records take, are capped, so that a
// publisher that floods or lies costs a bounded amount and cannot push
// other hosts' records out.
#ifndef TOOLS_DIAGCTL_WEBSERVER_H
#define TOOLS_DIAGCTL_WEBSERVER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sys/types.h>
#include <string>
#include <thread>
#include <vector>

#include "Client.h"
#include "Fleet.h"
#include "Metrics.h"
#include "Screens.h"
#include "Snapshot.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace diagctl {

// One refresh of a screen, unmasked: Take() against the daemon in diagctl
// serve, a fake in the tests.
using SnapshotSource = std::function<Snapshot(const Screen &)>;
// Writes gsm_time_enable (true: 1).
using GsmTimeWriter = std::function<Outcome(bool on)>;

// Bytes a stream or a download holds ready for its client at most.
constexpr std::size_t kOutletBytes = 256 * 1024;

struct ServeOptions {
    std::string host = "127.0.0.1";
    int port = 8080;  // 0: a free port, see WebServer::port()
    // Seconds between the starts of two rounds; 0: no poller (rounds only
    // by Poll(), as the tests make them).
    double every_s = 1;
    bool mask = false;  // every client gets masked records, whatever it asks
    bool allow_control = false;
    // The bearer token the API demands ("": Start() makes a random one).
    std::string token;
    // PEM texts of a certificate (chain) and its key: HTTPS when both set.
    std::string tls_cert, tls_key;
    std::size_t max_streams = 32;         // event streams open at once
    std::size_t max_body = 1024;          // bytes of a request body
    std::size_t max_header_bytes = 8192;  // of the request line and headers together
    std::size_t max_headers = 64;         // header lines of a request
    std::size_t max_connections = 2000;   // open at once; more wait in the kernel's backlog
    std::size_t max_per_address = 0;      // open at once from one address (0: no cap)
    unsigned idle_timeout_s = 10;         // a connection silent this long is closed
    std::size_t session_records = 40000;  // kept for the downloads, oldest dropped
    std::string chart_js;                 // Chart.js file served as /js/chart.js ("" none)
    // Host names a request may also name (a certificate's names, the
    // machine's name in the lab's DNS), compared without case.
    std::vector<std::string> server_names;

    bool fleet = false;  // records come from Receive(); no poller, no GSM time switch
    std::string topic_prefix = "diagctl";
    // Hosts shown at most; a new one beyond them takes the place of the
    // host heard from least recently if that one has been silent for
    // fleet_silence_s, and is refused (and counted) otherwise.
    std::size_t max_hosts = 32;
    double fleet_silence_s = 30;
    // Bytes of records a host keeps: its session (oldest dropped first)
    // and its latest record of each screen, each record counted once.
    std::size_t host_bytes = 8 << 20;
};

// Whether a listening address reaches only this machine: 127.0.0.0/8,
// ::1, ::ffff:127.x or "localhost".
bool LoopbackAddress(const std::string &address);

// Whether a request's Host header names the server listening on port with
// these options: only names that cannot be rebound to it by someone else's
// DNS (the listen address, localhost, IP literals) and the operator's
// --server-name, with the port, which a browser leaves out when it is the
// scheme's own (80, or 443 over TLS).
bool HostNamesServer(const std::string &host, const ServeOptions &opt, int port);

// A random token of 32 bytes as 64 hex digits (from getrandom(2)).
std::string NewToken();

// Writes token and a newline to path as a new file of mode 0640 with group
// gid (-1: the process's), so that only its owner and that group read it; an
// old file of ours there is replaced. Refuses a directory that users other
// than its owner may write (where another user could plant a link or a
// file to be read) and never follows a link. False with *error.
bool WriteTokenFile(const std::string &path, const std::string &token, gid_t gid,
                    std::string *error);

// Reads a PEM file of at most 1 MiB (a certificate or its key). False with
// *error.
bool ReadPemFile(const std::string &path, std::string *text, std::string *error);

// The screens served, in the page's order: the nine requests and nitz.
const std::vector<const Screen *> &ServedScreens();

// Non-copyable; Stop() (or the destructor) ends the poller, the streams
// and the server, and waits for their threads.
class WebServer {
  public:
    WebServer(ServeOptions options, SnapshotSource source, GsmTimeWriter gsm_time);
    ~WebServer();
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    // Binds the address and starts serving (and polling) on threads of its
    // own. False with the reason in *error.
    bool Start(std::string *error);
    // The port bound (after Start).
    int port() const { return port_; }
    // The token the API demands (after Start).
    const std::string &token() const { return opt_.token; }
    // One round: a refresh of every served screen, recorded and pushed to
    // the streams.
    void Poll();
    // Fleet mode: one message read from the broker, a record on
    // PREFIX/HOST/COMMAND or a host's state on PREFIX/HOST/status. "" when
    // it was taken, else why it was refused (nothing of it is kept).
    std::string Receive(const std::string &topic, const std::string &payload);
    void Stop();

    // What the server turned away since it started, for its log.
    struct Refusals {
        uint64_t hosts = 0;    // fleet messages of a new host while every place was taken
        uint64_t evicted = 0;  // silent hosts that gave up their place
    };
    Refusals refusals();

    struct Outlet;  // a stream or a download being written (WebServer.cpp)

  private:
    // A record's text, shared by the session and the latest of its screen.
    struct Texts {
        std::string plain, masked;  // masked empty: the same as plain
        const std::string &Get(bool mask) const { return mask && !masked.empty() ? masked : plain; }
        std::size_t bytes() const { return plain.size() + masked.size(); }
    };
    struct Entry {
        uint64_t seq = 0;  // 0: none yet
        std::size_t screen = 0;
        // What the metrics count of it: its status, latency and time.
        int status = 0;
        double latency_ms = 0;
        std::string time;
        std::shared_ptr<const Texts> texts;
        std::chrono::steady_clock::time_point when;
    };
    // The screens of one host ("" in the local mode, the only one there).
    struct Host {
        std::vector<Entry> latest;   // per served screen
        std::vector<Tally> tallies;  // per served screen
        std::deque<Entry> session;
        std::size_t bytes = 0;  // of its records, each counted once
        bool has_status = false;
        HostStatus status;
        std::chrono::steady_clock::time_point heard;  // its last message
    };
    struct Request;

    Entry MakeEntry(const Screen &screen, const Snapshot &snap, const std::string &host) const;
    // With mu_ held: the host of that name, made when new (nullptr: refused).
    Host *FindHost(const std::string &name);
    void Store(Host *host, std::size_t screen, Entry entry);
    std::string HostJson(const std::string &name, const Host &host) const;
    std::string IndexJson(bool masked);
    std::string MetricsText();
    // With mu_ held: up to max_bytes of records after *cursor and at most
    // up to end, oldest first, each ending in a newline; *cursor moves past
    // them, and past records dropped meanwhile.
    std::vector<std::string> Lines(uint64_t *cursor, uint64_t end, bool masked,
                                   std::chrono::steady_clock::time_point since,
                                   std::size_t max_bytes) const;

    friend struct ServerGlue;  // the HTTP server's callbacks (WebServer.cpp)

    // What to answer a request whose headers (and body, for the switch) are
    // in: nullptr and a status for an error, else the response.
    bool Authorized(const Request &req) const;
    void Answer(Request &req);
    void Stream(Request &req);
    void Download(Request &req, bool csv);
    void GsmTime(Request &req);
    // The feeder: fills the buffers of suspended streams and downloads,
    // outside the server's threads, and wakes them.
    void FeedLoop();
    void Fill(Outlet *o);
    void PollLoop();

    ServeOptions opt_;
    SnapshotSource source_;
    GsmTimeWriter gsm_time_;
    MHD_Daemon *daemon_ = nullptr;
    int port_ = 0;
    std::string chart_js_body_;
    std::thread poller_, feeder_;

    // Guards everything below; the poller and the feeder wait on changed_.
    // Never held while calling into the HTTP server (its threads call us
    // back with locks of their own held).
    std::mutex mu_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::atomic<bool> ending_{false};  // stopping_, for outlets that may not take mu_
    uint64_t next_seq_ = 0;
    std::map<std::string, Host> hosts_;  // by name, as the page shows them
    uint64_t hosts_version_ = 0;         // counts changes of the hosts and their states
    std::size_t streams_ = 0;
    std::set<Outlet *> outlets_;  // every stream and download open
    uint64_t wakes_ = 0;          // counts outlets that asked the feeder for more
    Refusals refusals_;
};

}  // namespace diagctl

#endif
