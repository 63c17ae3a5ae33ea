// SPDX-License-Identifier: Apache-2.0
// PPSServer: the poll loop, server-mode intake and dispatch, responses.
#include "pps/PPSServer.h"

#include <ctype.h>
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/pps.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "pps/VelomarLog.h"

namespace {

// One read of the control object; the last byte is kept for the NUL.
constexpr size_t kReadBufferSize = 1024;
constexpr uint32_t kMaxGroups = sizeof(ClientInfo::grouplist) / sizeof(ClientInfo::grouplist[0]);

// The client id of an object line "control.<id>...": true and *id set when
// a decimal digit follows the first '.', and *end (if given) past the number.
// strtoull with base 0, so "0x1f" is 31 and "017" is 15.
bool ParseClientId(const char *objName, uint64_t *id, char **end) {
    const char *dot = strchr(objName, '.');
    if (dot == nullptr || !isdigit(static_cast<unsigned char>(dot[1]))) return false;
    *id = strtoull(dot + 1, end, 0);
    return true;
}

void RemoveClient(std::map<uint64_t, ClientInfo *> &clients, uint64_t id) {
    auto it = clients.find(id);
    if (it == clients.end()) return;
    free(it->second);
    clients.erase(it);
}

// Reads the credential items ".n<nd>.p<pid>.u<euid>.g<gid>..." that start at
// the first '.' of items. The first g is the effective group, the following
// ones the supplementary groups, of which the record holds eight.
void ReadCredentials(const char *items, ClientInfo *info) {
    bool haveEgid = false;
    for (const char *item = items; item != nullptr && item[1] != '\0';
         item = strchr(item + 1, '.')) {
        int value;
        if (sscanf(item + 2, "%d", &value) != 1) continue;
        switch (item[1]) {
            case 'n':
                info->nd = static_cast<uint32_t>(value);
                break;
            case 'p':
                info->pid = value;
                break;
            case 'u':
                info->euid = static_cast<uint32_t>(value);
                break;
            case 'g':
                if (!haveEgid) {
                    info->egid = static_cast<uint32_t>(value);
                    haveEgid = true;
                } else if (info->ngroups < kMaxGroups) {
                    info->grouplist[info->ngroups++] = static_cast<uint32_t>(value);
                } else {
                    slogf(
                        kVelomarLogCode, _SLOG_ERROR,
                        "PPSServer::PPSProcess: ngroup count for pid[%d] EXCEEDED, gid[%d] dropped",
                        info->pid, value);
                }
                break;
            default:
                break;  // items this server does not keep
        }
    }
}

// A client connected: "control.<id>[.<item>...]". Any earlier record under
// the id is dropped (the platform reuses connection numbers); a new one is
// kept only when the line carries credential items. Returns false when the
// record cannot be allocated, which ends the processing of the buffer.
bool ConnectClient(std::map<uint64_t, ClientInfo *> &clients, const char *objName) {
    uint64_t id;
    char *end;
    if (!ParseClientId(objName, &id, &end)) return true;
    RemoveClient(clients, id);
    const char *items = strchr(end, '.');
    if (items == nullptr) return true;

    ClientInfo *info = static_cast<ClientInfo *>(malloc(sizeof(ClientInfo)));
    bool stored = false;
    if (info != nullptr) {
        memset(info, 0, sizeof(ClientInfo));
        try {
            clients[id] = info;
            stored = true;
        } catch (const std::bad_alloc &) {
            free(info);
        }
    }
    if (!stored) {
        slogf(kVelomarLogCode, _SLOG_CRITICAL, "PPSServer::PPSProcess: malloc failed!");
        return false;
    }
    ReadCredentials(items, info);
    return true;
}

}  // namespace

uint32_t PPSNameHash(const char *name) {
    uint32_t hash = 5381;
    for (const char *p = name; *p != '\0'; p++) {
        // The character counts as signed 8-bit whatever the platform's char.
        hash = hash * 33u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(*p)));
    }
    return hash;
}

PPSServer::PPSServer()
    : defaultHandler_(nullptr),
      defaultHandlerUser_(nullptr),
      controlStream_(nullptr),
      controlFd_(0),
      running_(false) {}

PPSServer::~PPSServer() {
    for (FdHandlerEntry *entry : fdHandlers_) delete entry;
    for (auto &item : messageHandlers_) delete item.second;
    for (auto &item : clients_) free(item.second);
}

int PPSServer::OpenServerObject(const char *path) {
    controlFd_ = open(path, O_RDWR | O_CREAT | O_TRUNC, 0666);
    if (controlFd_ == -1) {
        // A stale entry in the way of the server open: remove it and try
        // once more. When unlink fails too, the steps below fail on the
        // invalid fd and report EINVAL.
        if (unlink(path) == 0) {
            controlFd_ = open(path, O_RDWR | O_CREAT | O_TRUNC, 0666);
            if (controlFd_ == -1) return ENOENT;
        }
    }
    // Clients of every user must be able to connect, whatever the umask.
    (void)fchmod(controlFd_, 0666);

    controlStream_ = fdopen(controlFd_, "r+");
    if (controlStream_ == nullptr) {
        if (controlFd_ != -1) close(controlFd_);
        controlFd_ = -1;
        return EINVAL;
    }
    int flags = fcntl(controlFd_, F_GETFD);
    if (flags == -1 || fcntl(controlFd_, F_SETFD, flags | FD_CLOEXEC) == -1) {
        fclose(controlStream_);  // closes the fd as well
        controlStream_ = nullptr;
        controlFd_ = -1;
        return EINVAL;
    }
    return 0;
}

bool PPSServer::AddFdHandler(int fd, FdHandler handler, void *user) {
    fdHandlers_.push_back(new FdHandlerEntry{this, fd, handler, user});
    return true;
}

int PPSServer::Run() {
    // Built once per Run: handlers added while running wait for the next Run.
    size_t count = fdHandlers_.size() + 1;
    pollfd *fds = static_cast<pollfd *>(calloc(count, sizeof(pollfd)));
    if (fds == nullptr) return ENOMEM;
    fds[0].fd = controlFd_;
    fds[0].events = POLLIN;
    for (size_t i = 1; i < count; i++) {
        fds[i].fd = fdHandlers_[i - 1]->fd;
        fds[i].events = POLLIN;
    }

    running_ = true;
    while (running_) {
        if (poll(fds, count, -1) < 1) continue;  // EINTR and the like: poll again

        if (fds[0].revents != 0) {
            int status = ReadPPS(controlFd_);
            // Nothing to read after all: the other fds stay reported and are
            // served in the next pass.
            if (status == EAGAIN) continue;
            if (status != 0) {
                errno = status;
                if (status == EBADF) err(1, "BAD pps file descriptor!");
                err(1, "read pps errno %d", status);
            }
        }
        for (size_t i = 1; i < count; i++) {
            if (fds[i].revents == 0) continue;
            FdHandlerEntry *entry = fdHandlers_[i - 1];
            entry->handler(entry->server, entry->user, entry->fd);
        }
    }
    free(fds);
    return 0;
}

void PPSServer::Stop() {
    running_ = false;
}

int PPSServer::ReadPPS(int fd) {
    char buffer[kReadBufferSize];
    ssize_t count = read(fd, buffer, sizeof buffer);
    int readErrno = errno;
    if (count < 0) {
        if (readErrno == EAGAIN) return EAGAIN;
        errno = readErrno;
        if (readErrno == EBADF) err(1, "BAD pps file descriptor!");
        err(1, "read pps errno %d", readErrno);
    }
    if (count == 0) {
        // Nothing to do: a server-mode PPS object has no end while it is
        // open, so zero bytes mean only that nothing was queued for this read
        // (QNX delivers that as 0 in some modes; ppsfs as EAGAIN). Ending the
        // service there would take it down on a harmless event, and handing
        // Run whatever errno an earlier call left would make the outcome
        // depend on history. So the loop goes on with the other fds.
        return 0;
    }
    if (static_cast<size_t>(count) > sizeof buffer - 1) {
        warn("read larger than buffer %d", static_cast<int>(count));
        count = sizeof buffer - 1;
    }
    buffer[count] = '\0';
    PPSProcess(buffer);
    return 0;
}

void PPSServer::SetDefaultHandler(MessageHandler handler, void *user) {
    defaultHandler_ = handler;
    defaultHandlerUser_ = user;
}

bool PPSServer::AddMessageHandler(const char *name, MessageHandler handler, void *user) {
    uint32_t hash = PPSNameHash(name);
    MessageHandlerEntry *entry = new MessageHandlerEntry{this, name, hash, handler, user};
    MessageHandlerEntry *&slot = messageHandlers_[hash];
    delete slot;  // same name again, or another name with the same hash
    slot = entry;
    return true;
}

void PPSServer::PPSProcess(char *buffer) {
    uint64_t clientId = 0;
    const char *msg = nullptr;
    const char *id = nullptr;
    const char *dat = nullptr;
    pps_attrib_t info;
    memset(&info, 0, sizeof info);

    char *pos = buffer;
    pps_status_t kind = ppsparse(&pos, nullptr, nullptr, &info, 0);
    // PPS_END and PPS_ERROR end the walk; what was collected is still used.
    while (kind > 0) {
        switch (kind) {
            case PPS_OBJECT:
                ParseClientId(info.obj_name, &clientId, nullptr);
                break;
            case PPS_OBJECT_CREATED:
                if (!ConnectClient(clients_, info.obj_name)) return;
                break;
            case PPS_OBJECT_DELETED: {
                uint64_t gone;
                if (ParseClientId(info.obj_name, &gone, nullptr)) RemoveClient(clients_, gone);
                break;
            }
            case PPS_ATTRIBUTE:
                if (strcmp(info.attr_name, "msg") == 0) {
                    msg = info.value;
                } else if (strcmp(info.attr_name, "id") == 0) {
                    id = info.value;
                } else if (strcmp(info.attr_name, "dat") == 0) {
                    dat = info.value;  // the encoding (e.g. json) is not passed on
                }
                break;
            default:
                break;
        }
        kind = ppsparse(&pos, nullptr, nullptr, &info, 0);
    }
    if (msg != nullptr && id != nullptr && clientId != 0) DispatchMessage(clientId, msg, id, dat);
}

void PPSServer::DispatchMessage(uint64_t clientId, const char *msg, const char *id,
                                const char *dat) {
    auto it = messageHandlers_.find(PPSNameHash(msg));
    if (it != messageHandlers_.end()) {
        MessageHandlerEntry *entry = it->second;
        entry->handler(entry->server, entry->user, clientId, msg, id, dat);
        return;
    }
    warn("Unhandled message %s", msg);
    if (defaultHandler_ != nullptr)
        defaultHandler_(this, defaultHandlerUser_, clientId, msg, id, dat);
}

bool PPSServer::GetClientInfo(uint64_t clientId, ClientInfo *out) {
    if (out == nullptr) return false;
    auto it = clients_.find(clientId);
    if (it == clients_.end()) return false;
    *out = *it->second;
    return true;
}

void PPSServer::WriteResponse(const char *objName, uint64_t clientId, const char *res,
                              const char *id, const char *dat, int errCode, bool datIsJson) {
    // "@" + object name + "." + up to 20 digits + NUL
    size_t size = strlen(objName) + 23;
    char small[128];
    char *name = size <= sizeof small ? small : static_cast<char *>(malloc(size));
    if (name == nullptr) return;
    snprintf(name, size, "@%s.%llu", objName, static_cast<unsigned long long>(clientId));

    pps_encoder_t encoder;
    pps_encoder_initialize(&encoder, false);
    // The object line is left open: closing it would add nothing to PPS text.
    pps_encoder_start_object(&encoder, name);
    pps_encoder_add_string(&encoder, "res", res);
    pps_encoder_add_string(&encoder, "id", id);
    if (dat != nullptr) {
        if (datIsJson) {
            pps_encoder_add_json(&encoder, "dat", dat);
        } else {
            pps_encoder_add_string(&encoder, "dat", dat);
        }
    }
    if (errCode != 0) pps_encoder_add_int(&encoder, "err", errCode);
    const char *text = pps_encoder_buffer(&encoder);
    if (text != nullptr) {
        // One write, so the platform delivers the response as one message.
        // A failed or short write (a client that has gone) is not retried.
        ssize_t written =
            write(controlFd_, text, static_cast<size_t>(pps_encoder_length(&encoder)));
        (void)written;
    }
    pps_encoder_cleanup(&encoder);
    if (name != small) free(name);
}
