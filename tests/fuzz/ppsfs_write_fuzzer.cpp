// SPDX-License-Identifier: Apache-2.0
// Fuzz target: writes to ppsfs objects, parsed and merged by ParseWrite and
// ObjectContent::Apply inside PpsCore, and what the opens read back.
//
// The input is a run of operations separated by NUL bytes (a write that holds
// a NUL is refused whole, so nothing is lost by the separator). The first
// byte of an operation says what to do and with which read size; the rest is
// the text written:
//   selector % 5:  0, 1  write to the object "obj" through a plain open
//                  2     a client's write to the server object "ctl"
//                  3     the server's write to "ctl"
//                  4     truncate "obj" (the text is not used)
//   (selector >> 4) & 3: read size 65536, 100, 7 or 1 bytes per read.
//
// After every operation each open is read until it has nothing more (a read
// refused as too small is made again with room) and checked: a delta
// reader's stream (with a 1 KB backlog, so that it overflows) against a
// fresh full read, the full read written back against itself, a filtered
// delta reader against its filter; the server reads a client's accepted
// write under that client's name, the client reads PPS text of "ctl", and
// a refused write reaches no one. Each write returns 0 or the errno of a
// refused write, and a refused write to "obj" changes nothing.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/pps.h>
#include <unistd.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz_check.h"
#include "log.h"
#include "object.h"
#include "pps_core.h"

namespace {

using ppsfs::ObjectContent;
using ppsfs::PpsCore;

[[noreturn]] void Fail(const char *what, const std::string &detail) {
    fuzzcheck::Fail("%s: %s", what, detail.c_str());
}

void Expect(bool ok, const char *what, const std::string &detail) {
    if (!ok) Fail(what, detail);
}

// Everything an open has to read now, read size bytes at a time.
std::string Drain(PpsCore &core, uint64_t fh, size_t size) {
    std::string all;
    for (int reads = 0; reads < 100000; reads++) {
        ppsfs::ReadResult r = core.Read(fh, size, O_NONBLOCK);
        // A unit too large for the buffer stays for a read with room.
        if (r.kind == ppsfs::ReadResult::Kind::kTooBig) r = core.Read(fh, 1 << 20, O_NONBLOCK);
        if (r.kind != ppsfs::ReadResult::Kind::kData) return all;
        Expect(!r.data.empty(), "read size", std::to_string(size));
        all += r.data;
    }
    Fail("a read never runs dry", std::to_string(fh));
}

// Attributes by name: encoding, value, [n].
using Attrs = std::map<std::string, std::tuple<std::string, std::string, bool>>;

// Calls line(kind, info) for each line of PPS text as ppsfs sends it to a
// reader: every line must be PPS text, whole, and name the object objName
// (client reads: "objName" alone).
template <typename F>
void EachLine(const std::string &text, const std::string &objName, F line) {
    std::string work = text;
    char *p = &work[0];
    pps_attrib_t info{};
    info.obj_index = -1;
    for (;;) {
        const pps_status_t kind = ppsparse(&p, nullptr, nullptr, &info, 0);
        Expect(kind != PPS_ERROR, "a reader got a line that is not PPS text", text);
        if (kind == PPS_END) {
            Expect((info.flags & PPS_INCOMPLETE) == 0, "a reader got half a line", text);
            return;
        }
        if (kind != PPS_ATTRIBUTE && kind != PPS_ATTRIBUTE_DELETED)
            Expect(info.obj_name == objName, "a reader got another object", text);
        line(kind, info);
    }
}

// Applies a reader's stream to attrs: truncation empties the object, and
// after an overflow the whole object follows.
void ApplyStream(const std::string &text, const std::string &objName, Attrs *attrs) {
    EachLine(text, objName, [&](pps_status_t kind, const pps_attrib_t &info) {
        if (kind == PPS_OBJECT_TRUNCATED || kind == PPS_OBJECT_OVERFLOWED) attrs->clear();
        if (kind == PPS_ATTRIBUTE)
            (*attrs)[info.attr_name] =
                std::make_tuple(std::string(info.encoding), std::string(info.value),
                                (info.options & PPS_NOPERSIST) != 0);
        if (kind == PPS_ATTRIBUTE_DELETED) attrs->erase(info.attr_name);
    });
}

// The filtered delta reader's stream: only what passes
// f=speed>10+city=Ottawa+-gone+tag.
void CheckFiltered(const std::string &text) {
    EachLine(text, "obj", [&](pps_status_t kind, const pps_attrib_t &info) {
        const bool attr = kind == PPS_ATTRIBUTE || kind == PPS_ATTRIBUTE_DELETED;
        const std::string name = attr ? info.attr_name : "";
        if (kind == PPS_ATTRIBUTE) {
            const std::string value = info.value;
            char *end = nullptr;
            errno = 0;
            const long long n = strtoll(value.c_str(), &end, 10);
            const bool integer = !value.empty() && *end == '\0' && errno == 0;
            const bool passes = (name == "speed" && integer && n > 10) ||
                                (name == "city" && value == "Ottawa") || name == "tag";
            Expect(passes, "a filtered reader got an attribute its filter stops", text);
        }
        if (kind == PPS_ATTRIBUTE_DELETED)
            Expect(name == "gone", "a filtered reader got a deletion its filter stops", text);
    });
}

struct Fixture {
    PpsCore core{0777, 0, 0, ppsfs::Limits{64, 64, 64, 64}};
    ppsfs::Caller caller;
    uint64_t objIno = 0;
    uint64_t writer = 0, delta = 0, filtered = 0, server = 0, client = 0;
    Attrs mirror;  // what the delta reader has been told

    Fixture() {
        // No such process: the credential items come from the ids above
        // without reading /proc for every open.
        caller.pid = 0;
        struct stat st;
        uint64_t ino;
        auto create = [&](const char *name, int flags, uint64_t *fh) {
            Expect(core.Create(PpsCore::kRootIno, name, 0666, flags | O_CREAT, caller, &ino, &st,
                               fh) == 0,
                   "create", name);
        };
        create("obj", O_RDWR, &writer);
        objIno = ino;
        create("obj?delta,backlog=1", O_RDONLY, &delta);
        create("obj?delta,f=speed>10+city=Ottawa+-gone+tag", O_RDONLY, &filtered);
        create("ctl?server", O_RDWR, &server);
        Expect(core.Lookup(PpsCore::kRootIno, "ctl", &ino, &st) == 0, "lookup", "ctl");
        Expect(core.Open(ino, O_RDWR | O_NONBLOCK, caller, &client) == 0, "open", "ctl");
        Drain(core, server, 65536);  // the client's connection line
        ApplyStream(Drain(core, delta, 65536), "obj", &mirror);
        Drain(core, filtered, 65536);
    }

    std::string FullRead() {
        uint64_t fh;
        Expect(core.Open(objIno, O_RDONLY, caller, &fh) == 0, "open", "obj");
        std::string text = Drain(core, fh, 65536);
        core.Release(fh);
        return text;
    }

    // The full read against the delta mirror and against itself written back.
    void CheckObject() {
        const std::string full = FullRead();
        Attrs state;
        ApplyStream(full, "obj", &state);
        Expect(state == mirror, "the delta stream disagrees with the object", full);

        std::vector<ppsfs::WriteLine> lines;
        std::string why;
        Expect(ppsfs::ParseWrite(full.data(), full.size(), &lines, &why),
               "a full read is not writable PPS text", why + "\n" + full);
        ObjectContent copy;
        copy.Apply(lines);
        std::string again = copy.RenderObjectLine("obj", 0) + "\n";
        for (const ObjectContent::Attribute &a : copy.Attributes())
            again += copy.RenderAttr(a.name) + "\n";
        Expect(again == full, "a full read written back renders differently",
               full + "--\n" + again);
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzcheck::KeepReportFd();
    // ppsfs logs every refused write; the log is not under test.
    if (!ppsfs::OpenLog("/dev/null")) Fail("log", "/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const size_t kReadSizes[] = {65536, 100, 7, 1};
    Fixture f;
    const char *p = reinterpret_cast<const char *>(data);
    const char *const end = p + size;
    while (p < end) {
        const char *nul = static_cast<const char *>(memchr(p, '\0', end - p));
        const char *stop = nul != nullptr ? nul : end;
        if (stop == p) {  // two separators in a row: no operation
            p++;
            continue;
        }
        const uint8_t selector = static_cast<uint8_t>(*p);
        const std::string text(p + 1, stop);
        p = stop + 1;
        const size_t readSize = kReadSizes[(selector >> 4) & 3];

        int err = 0;
        std::string fromClient;  // what the server's read starts with
        switch (selector % 5) {
            case 0:
            case 1: {
                const std::string before = f.FullRead();
                err = f.core.Write(f.writer, text.data(), text.size());
                Expect(err == 0 || err == EINVAL, "write result", std::to_string(err));
                if (err != 0)
                    Expect(f.FullRead() == before, "a refused write changed the object", text);
                break;
            }
            case 2:
                err = f.core.Write(f.client, text.data(), text.size());
                Expect(err == 0 || err == EINVAL, "client write result", std::to_string(err));
                if (err == 0)
                    fromClient = ("@ctl." + std::to_string(f.client) + "\n").substr(0, readSize);
                break;
            case 3:
                err = f.core.Write(f.server, text.data(), text.size());
                Expect(err == 0 || err == EINVAL || err == ENXIO, "server write result",
                       std::to_string(err));
                break;
            case 4: {
                ppsfs::SetAttrRequest req;
                req.set_size = true;
                struct stat st;
                Expect(f.core.SetAttr(f.objIno, req, &st) == 0, "truncate", "obj");
                break;
            }
        }

        ApplyStream(Drain(f.core, f.delta, readSize), "obj", &f.mirror);
        const std::string toServer = Drain(f.core, f.server, readSize);
        Expect(toServer.compare(0, fromClient.size(), fromClient) == 0 &&
                   toServer.empty() == fromClient.empty(),
               "the server read", text + "--\n" + toServer);
        CheckFiltered(Drain(f.core, f.filtered, readSize));
        const std::string toClient = Drain(f.core, f.client, readSize);
        const bool served = (selector % 5) == 3 && err == 0;
        Expect(served || toClient.empty(), "the client read", text + "--\n" + toClient);
        Attrs ignored;
        if (readSize == kReadSizes[0]) ApplyStream(toClient, "ctl", &ignored);
        f.CheckObject();
        f.core.TakeWoken();
    }
    return 0;
}
