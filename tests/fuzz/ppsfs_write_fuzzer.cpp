// SPDX-License-Identifier: Apache-2.0
// Fuzz target: writes to ppsfs objects, parsed and merged inside PpsCore,
// and what the opens read back. The input is a run of operations separated
// by NUL bytes (a write holding a NUL is refused whole). An operation's
// first byte picks, by % 5, a write to "obj" (0, 1), a client's write to the
// server object "ctl" (2), the server's write to "ctl" (3) or a truncation
// of "obj" (4), and by (>> 4) & 3 the read size (65536, 100, 7 or 1); the
// rest is the text written.
//
// After each operation every open is read dry and checked: a delta reader's
// stream (1 KB backlog, so it overflows) against a fresh full read, the full
// read written back against itself; the server reads a client's accepted
// write under that client's name, the client reads PPS text of "ctl", a
// refused write reaches no one and changes nothing.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/pps.h>

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

void Expect(bool ok, const char *what, const std::string &detail) {
    fuzzcheck::Check(ok, "%s: %s", what, detail.c_str());
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
    Expect(false, "a read never runs dry", std::to_string(fh));
    return all;
}

// Attributes by name: encoding, value, [n].
using Attrs = std::map<std::string, std::tuple<std::string, std::string, bool>>;

// Applies a reader's stream to attrs: truncation empties the object, and
// after an overflow the whole object follows. Every line must be PPS text,
// whole, and name the object objName.
void ApplyStream(const std::string &text, const std::string &objName, Attrs *attrs) {
    std::string work = text;
    char *p = &work[0];
    pps_attrib_t info{};
    info.obj_index = -1;
    for (pps_status_t kind; (kind = ppsparse(&p, nullptr, nullptr, &info, 0)) != PPS_END;) {
        Expect(kind != PPS_ERROR, "a reader got a line that is not PPS text", text);
        if (kind != PPS_ATTRIBUTE && kind != PPS_ATTRIBUTE_DELETED)
            Expect(info.obj_name == objName, "a reader got another object", text);
        if (kind == PPS_OBJECT_TRUNCATED || kind == PPS_OBJECT_OVERFLOWED) attrs->clear();
        if (kind == PPS_ATTRIBUTE)
            (*attrs)[info.attr_name] =
                std::make_tuple(std::string(info.encoding), std::string(info.value),
                                (info.options & PPS_NOPERSIST) != 0);
        if (kind == PPS_ATTRIBUTE_DELETED) attrs->erase(info.attr_name);
    }
    Expect((info.flags & PPS_INCOMPLETE) == 0, "a reader got half a line", text);
}

struct Fixture {
    PpsCore core{0777, 0, 0, ppsfs::Limits{64, 64, 64, 64}};
    ppsfs::Caller caller;
    uint64_t objIno = 0;
    uint64_t writer = 0, delta = 0, server = 0, client = 0;
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
        create("ctl?server", O_RDWR, &server);
        Expect(core.Lookup(PpsCore::kRootIno, "ctl", &ino, &st) == 0, "lookup", "ctl");
        Expect(core.Open(ino, O_RDWR | O_NONBLOCK, caller, &client) == 0, "open", "ctl");
        Drain(core, server, 65536);  // the client's connection line
        ApplyStream(Drain(core, delta, 65536), "obj", &mirror);
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
    // ppsfs logs every refused write; the log is not under test.
    Expect(ppsfs::OpenLog("/dev/null"), "log", "/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const size_t kReadSizes[] = {65536, 100, 7, 1};
    Fixture f;
    for (size_t at = 0, stop; at < size; at = stop + 1) {
        stop = at + strnlen(reinterpret_cast<const char *>(data) + at, size - at);
        if (stop == at) continue;  // two separators in a row: no operation
        const uint8_t selector = data[at];
        const std::string text(data + at + 1, data + stop);
        const size_t readSize = kReadSizes[(selector >> 4) & 3];

        const int op = selector % 5;
        const std::string before = f.FullRead();
        int err = 0;
        if (op == 4) {
            ppsfs::SetAttrRequest req;
            req.set_size = true;
            struct stat st;
            Expect(f.core.SetAttr(f.objIno, req, &st) == 0, "truncate", "obj");
        } else {
            const uint64_t writers[] = {f.writer, f.writer, f.client, f.server};
            err = f.core.Write(writers[op], text.data(), text.size());
            Expect(err == 0 || err == EINVAL || (op == 3 && err == ENXIO), "write result",
                   std::to_string(err));
        }
        Expect(err == 0 || f.FullRead() == before, "a refused write changed the object", text);
        // What the server's read starts with.
        const std::string fromClient =
            op == 2 && err == 0 ? ("@ctl." + std::to_string(f.client) + "\n").substr(0, readSize)
                                : "";
        ApplyStream(Drain(f.core, f.delta, readSize), "obj", &f.mirror);
        const std::string toServer = Drain(f.core, f.server, readSize);
        Expect(toServer.compare(0, fromClient.size(), fromClient) == 0 &&
                   toServer.empty() == fromClient.empty(),
               "the server read", text + "--\n" + toServer);
        const std::string toClient = Drain(f.core, f.client, readSize);
        Expect((op == 3 && err == 0) || toClient.empty(), "the client read",
               text + "--\n" + toClient);
        Attrs ignored;
        if (readSize == kReadSizes[0]) ApplyStream(toClient, "ctl", &ignored);
        f.CheckObject();
        f.core.TakeWoken();
    }
    return 0;
}
