// SPDX-License-Identifier: Apache-2.0
// What readers leave unread and who pays for it: bytes charged by user,
// the limits (per client, per user, in total, a delta open's backlog), and
// the writers refused for want of room, woken once there is room again.
#include <malloc.h>

#include <algorithm>

#include "pps_core.h"

namespace ppsfs {

std::size_t PpsCore::QueuedBytesOf(uid_t uid) const {
    auto it = user_bytes_.find(uid);
    return it == user_bytes_.end() ? 0 : it->second;
}

bool PpsCore::UserOver(uid_t uid) const {
    return QueuedBytesOf(uid) > limits_.user_kb * 1024;
}

void PpsCore::Charge(uid_t uid, std::size_t n) {
    if (n == 0) return;
    user_bytes_[uid] += n;
    total_bytes_ += n;
    if (total_bytes_ > kTrimAbove) trim_heap_ = true;
}

void PpsCore::Uncharge(uid_t uid, std::size_t n) {
    if (n == 0) return;
    const bool user_over = UserOver(uid), total_over = TotalOver();
    auto it = user_bytes_.find(uid);
    if (it != user_bytes_.end()) {
        it->second -= std::min(it->second, n);
        if (it->second == 0) user_bytes_.erase(it);
    }
    total_bytes_ -= std::min(total_bytes_, n);
    if ((user_over && !UserOver(uid)) || (total_over && !TotalOver())) WakeWriters();
    // Much was queued and now is read: hand the memory back to the system
    // rather than keep it for the next flood.
    if (trim_heap_ && total_bytes_ < kTrimBelow) {
        trim_heap_ = false;
        malloc_trim(0);
    }
}

void PpsCore::WakeWriters() {
    for (std::uint64_t id : waiting_writers_) woken_.push_back(id);
    waiting_writers_.clear();
}

const char *PpsCore::ClientRefusal(const Handle &client) const {
    const std::size_t limit = limits_.client_kb * 1024;
    if (client.at_server > limit) return "the server reads this client's messages";
    if (client.queued_bytes > limit) return "the client reads its answers";
    if (UserOver(client.uid)) return "its user's readers catch up";
    if (TotalOver()) return "all readers catch up";
    return nullptr;
}

// Not the total limit: the server's answers to clients that read them must
// go through whatever others leave unread; each client's and each user's
// limits bound what the server may queue.
const char *PpsCore::ServerWriteRefusal(const Handle &client) const {
    if (client.queued_bytes > limits_.client_kb * 1024) return "the client reads its answers";
    if (UserOver(client.uid)) return "the client's user's readers catch up";
    return nullptr;
}

std::size_t PpsCore::BacklogOf(const Handle &h) const {
    return (h.options.backlog_kb != 0 ? h.options.backlog_kb : limits_.backlog_kb) * 1024;
}

}  // namespace ppsfs
