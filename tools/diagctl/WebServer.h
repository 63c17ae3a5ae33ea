/* SPDX-License-Identifier: Apache-2.0 */
// diagctl serve: the screens over HTTP. A poller refreshes every screen at
// a fixed pace and keeps the records (the JSON of --json) of the session;
// an HTTP server gives them out as a JSON API, as Server-Sent Events and as
// JSON Lines or CSV downloads, beside the page that shows them.
//
// Safe by default: the caller chooses the address (127.0.0.1 normally);
// a request whose Host is a name other than localhost (DNS rebinding) or
// whose Origin is another site is refused; no CORS header is ever sent;
// request size, stream count and worker threads are capped; the one call
// that writes (GSM time on/off) needs allow_control and a same-origin
// Origin header. Records are JSON, never HTML: the page shows modem texts
// with textContent.
//
// Fleet mode (diagctl serve --mqtt) shows many hosts: records come from a
// broker through Receive() instead of the poller, each checked and written
// again by our own renderer (Fleet.h), with "host" as its first member;
// hosts, and the memory each one's session takes, are capped, so that a
// publisher that floods or lies costs a bounded amount and cannot push
// other hosts' records out.
#ifndef TOOLS_DIAGCTL_WEBSERVER_H
#define TOOLS_DIAGCTL_WEBSERVER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Client.h"
#include "Fleet.h"
#include "Screens.h"
#include "Snapshot.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace diagctl {

// One refresh of a screen, unmasked: Take() against the daemon in diagctl
// serve, a fake in the tests.
using SnapshotSource = std::function<Snapshot(const Screen &)>;
// Writes gsm_time_enable (true: 1).
using GsmTimeWriter = std::function<Outcome(bool on)>;

struct ServeOptions {
    std::string host = "127.0.0.1";
    int port = 8080;  // 0: a free port, see WebServer::port()
    // Seconds between the starts of two rounds; 0: no poller (rounds only
    // by Poll(), as the tests make them).
    double every_s = 1;
    bool mask = false;  // every client gets masked records, whatever it asks
    bool allow_control = false;
    std::size_t max_streams = 32;         // event streams open at once
    std::size_t max_body = 1024;          // bytes of a request body
    std::size_t session_records = 40000;  // kept for the downloads, oldest dropped
    std::string chart_js;                 // Chart.js file served as /js/chart.js ("" none)

    bool fleet = false;  // records come from Receive(); no poller, no GSM time switch
    std::string topic_prefix = "diagctl";
    // Hosts shown at most; a new one beyond them takes the place of the
    // host heard from least recently if that one has been silent for five
    // minutes, and is refused otherwise.
    std::size_t max_hosts = 32;
    // Bytes of records a host's session keeps (its oldest dropped first).
    std::size_t host_bytes = 8 << 20;
};

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
    // One round: a refresh of every served screen, recorded and pushed to
    // the streams.
    void Poll();
    // Fleet mode: one message read from the broker, a record on
    // PREFIX/HOST/COMMAND or a host's state on PREFIX/HOST/status. "" when
    // it was taken, else why it was refused (nothing of it is kept).
    std::string Receive(const std::string &topic, const std::string &payload);
    void Stop();

  private:
    struct Entry {
        uint64_t seq;
        std::string plain, masked;  // the record line without and with --mask
        std::chrono::steady_clock::time_point when;
    };
    // The screens of one host ("" in the local mode, the only one there).
    struct Host {
        std::vector<Entry> latest;  // per served screen; seq 0: none yet
        std::deque<Entry> session;
        std::size_t bytes = 0;  // of the session's records
        bool has_status = false;
        HostStatus status;
        std::chrono::steady_clock::time_point heard;  // its last message
    };

    Entry MakeEntry(const Screen &screen, const Snapshot &snap, const std::string &host) const;
    // With mu_ held: the host of that name, made when new (nullptr: refused).
    Host *FindHost(const std::string &name);
    void Store(Host *host, std::size_t screen, Entry entry);
    std::string HostJson(const std::string &name, const Host &host) const;
    // With mu_ held: every session's entries after seq, in order.
    std::vector<const Entry *> Since(uint64_t seq) const;

    void Route();
    bool HostAllowed(const std::string &host) const;
    bool SameOrigin(const httplib::Request &req) const;
    bool Masked(const httplib::Request &req) const;
    void Stream(const httplib::Request &req, httplib::Response &res);
    void GsmTime(const httplib::Request &req, httplib::Response &res);
    void PollLoop();

    ServeOptions opt_;
    SnapshotSource source_;
    GsmTimeWriter gsm_time_;
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    std::thread listener_, poller_;

    // Guards everything below; streams wait on changed_.
    std::mutex mu_;
    std::condition_variable changed_;
    bool stopping_ = false;
    uint64_t next_seq_ = 0;
    std::map<std::string, Host> hosts_;  // by name, as the page shows them
    uint64_t hosts_version_ = 0;         // counts changes of the hosts and their states
    std::size_t streams_ = 0;
};

}  // namespace diagctl

#endif
