// SPDX-License-Identifier: Apache-2.0
// Fuzz target: control-object text through ppsparse and
// PPSServer::PPSProcess. The input is a run of reads separated by NUL bytes
// (a NUL inside a real read ends the text PPSProcess sees); each is cut to
// 1023 bytes and copied into an exact-size heap buffer, as ReadPPS hands it
// over, so ASan sees any access past it. One server sees every read, so
// connections meet later messages and disconnections.
//
// The handlers check what every handler relies on: msg, id and dat are texts
// inside the buffer without a line end; the client id is not 0; one dispatch
// at most per buffer; a message reaches the handler registered under its
// name's hash, else the default one; a client holds at most eight groups.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "fuzz_check.h"
#include "pps/PPSServer.h"
#include "slog_capture.h"

namespace {

constexpr size_t kReadMax = 1023;  // what ReadPPS keeps of one read

const char *const kNames[] = {"identity", "access", "gsmopinfo", "radionwinfo", "tchtxpwr", "x"};

struct Processing {
    const char *begin = nullptr;  // the buffer PPSProcess is working on
    const char *end = nullptr;    // its terminating NUL
    int dispatches = 0;
};
Processing g_now;

void Check(bool ok, const char *what, const char *detail) {
    fuzzcheck::Check(ok, "%s: %s", what, detail != nullptr ? detail : "(null)");
}

void CheckText(const char *what, const char *text) {
    Check(text != nullptr && text >= g_now.begin && text <= g_now.end, "text outside", what);
    // strlen stops at the buffer's NUL at the latest; ASan checks the reads.
    Check(memchr(text, '\n', strlen(text)) == nullptr, "line end inside a value", what);
}

// user: the name the handler was registered under, null for the default.
int Handler(PPSServer *server, void *user, uint64_t clientId, const char *msg, const char *id,
            const char *dat) {
    Check(++g_now.dispatches == 1, "more than one dispatch for one buffer", msg);
    Check(clientId != 0, "dispatch without a client id", msg);
    CheckText("msg", msg);
    CheckText("id", id);
    if (dat != nullptr) CheckText("dat", dat);
    ClientInfo info;
    Check(!server->GetClientInfo(clientId, &info) || info.ngroups <= 8, "ngroups above 8", msg);
    bool registered = false;
    for (const char *name : kNames) registered |= PPSNameHash(msg) == PPSNameHash(name);
    const char *name = static_cast<const char *>(user);
    Check(name == nullptr ? !registered : PPSNameHash(msg) == PPSNameHash(name), "wrong handler",
          msg);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    slog_set_capture([](void *, int, int, const char *) {},
                     nullptr);  // the log lines are not under test
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    PPSServer server;
    for (const char *name : kNames)
        server.AddMessageHandler(name, Handler, const_cast<char *>(name));
    server.SetDefaultHandler(Handler, nullptr);

    const char *text = reinterpret_cast<const char *>(data);
    for (size_t at = 0, stop; at < size; at = stop + 1) {
        stop = at + strnlen(text + at, size - at);
        const size_t len = std::min(stop - at, kReadMax);
        std::unique_ptr<char[]> buffer(new char[len + 1]());  // the text and its NUL
        memcpy(buffer.get(), text + at, len);
        g_now = Processing{buffer.get(), buffer.get() + len, 0};
        server.PPSProcess(buffer.get());
        g_now = Processing{};
    }
    return 0;
}
