/* SPDX-License-Identifier: Apache-2.0 */
// A scripted AT modem for ModemManager's test mode, for techmode-mm's tests
// and the demo (scripted-modem): it listens on an abstract Unix socket
// (ModemManager's Test.SetProfile connects to the name "abstract:NAME"
// exactly so, unpadded), takes one connection at a time and answers each
// command line from its script: the scripted lines and OK, or ERROR. A
// command not in the script gets OK when it sets something and ERROR when it
// asks (ends in '?' or '=?'), as a modem that lacks it would. The script may
// change while ModemManager is connected. Not a modem: nothing is checked
// beyond the script.
#ifndef TECHMODE_MM_ATMODEM_H
#define TECHMODE_MM_ATMODEM_H

#include <fcntl.h>
#include <poll.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace atmodem {

class AtModem {
  public:
    // name: the socket's abstract name, "abstract:" included.
    explicit AtModem(std::string name) : name_(std::move(name)) {}
    ~AtModem() { Stop(); }
    AtModem(const AtModem &) = delete;
    AtModem &operator=(const AtModem &) = delete;

    // What a command answers: its lines before OK ({} for OK alone), or
    // ERROR when error is true.
    void Set(const std::string &command, std::vector<std::string> lines, bool error = false) {
        std::lock_guard<std::mutex> lock(mu_);
        script_[command] = {std::move(lines), error};
    }

    // Every command received so far, in order.
    std::vector<std::string> Asked() {
        std::lock_guard<std::mutex> lock(mu_);
        return asked_;
    }

    // Binds the socket and starts answering; false when it cannot bind.
    bool Start() {
        listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listen_ < 0 || pipe2(stop_, O_CLOEXEC) != 0) return false;
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        if (name_.size() + 1 > sizeof a.sun_path) return false;
        memcpy(a.sun_path + 1, name_.data(), name_.size());
        const socklen_t len =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name_.size());
        if (bind(listen_, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(listen_, 4) != 0)
            return false;
        thread_ = std::thread([this] { Serve(); });
        return true;
    }

    // Drops the connection ModemManager holds (the next one is taken).
    void Hangup() {
        if (write(stop_[1], "h", 1) != 1) return;
    }

    void Stop() {
        if (!thread_.joinable()) return;
        if (write(stop_[1], "s", 1) != 1) return;
        thread_.join();
        close(listen_);
        close(stop_[0]);
        close(stop_[1]);
    }

  private:
    struct Answer {
        std::vector<std::string> lines;
        bool error = false;
    };

    std::string Reply(const std::string &command) {
        std::lock_guard<std::mutex> lock(mu_);
        asked_.push_back(command);
        auto it = script_.find(command);
        bool error = it != script_.end() ? it->second.error : command.back() == '?';
        std::string out;
        if (it != script_.end())
            for (const std::string &line : it->second.lines) out += "\r\n" + line + "\r\n";
        return out + (error ? "\r\nERROR\r\n" : "\r\nOK\r\n");
    }

    void Serve() {
        int client = -1;
        std::string pending;
        for (;;) {
            pollfd p[3] = {{stop_[0], POLLIN, 0}, {listen_, POLLIN, 0}, {client, POLLIN, 0}};
            if (poll(p, client >= 0 ? 3 : 2, -1) < 0) continue;
            if (p[0].revents) {
                char c = 0;
                if (read(stop_[0], &c, 1) == 1 && c == 'h') {
                    if (client >= 0) close(client);
                    client = -1;
                    continue;
                }
                break;
            }
            if (p[1].revents) {
                int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) {
                    if (client >= 0) close(client);
                    client = c;
                    pending.clear();
                }
            }
            if (client >= 0 && (p[2].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buf[512];
                ssize_t n = read(client, buf, sizeof buf);
                if (n <= 0) {
                    close(client);
                    client = -1;
                    continue;
                }
                pending.append(buf, static_cast<size_t>(n));
                size_t end;
                while ((end = pending.find_first_of("\r\n")) != std::string::npos) {
                    std::string command = pending.substr(0, end);
                    pending.erase(0, end + 1);
                    if (command.empty()) continue;
                    const std::string out = Reply(command);
                    if (write(client, out.data(), out.size()) != static_cast<ssize_t>(out.size()))
                        break;
                }
            }
        }
        if (client >= 0) close(client);
    }

    std::string name_;
    int listen_ = -1, stop_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mu_;  // guards script_ and asked_
    std::map<std::string, Answer> script_;
    std::vector<std::string> asked_;
};

}  // namespace atmodem

#endif
