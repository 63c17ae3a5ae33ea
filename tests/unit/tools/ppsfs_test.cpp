// SPDX-License-Identifier: Apache-2.0
// ppsfs through a real mount: objects, saved state, server objects, special files.
#include <atomic>
#include <fstream>
#include <regex>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "support/PpsfsMount.h"

namespace ppsfs_test {
namespace {

using ObjectTest = PpsfsTest;
using V = std::vector<std::string>;

// Everything a non-blocking open has to read now, one read after another.
V Reads(int fd) {
    V out;
    for (Rd r = ReadOnce(fd); r.n > 0; r = ReadOnce(fd)) out.push_back(r.text);
    return out;
}

// Each refused call fails with its system call's errno, as root or as nobody,
// and creates nothing; modes and owners are kept.
TEST_F(ObjectTest, RefusedCallsFailWithTheirErrnoModesAreKept) {
    ASSERT_EQ(mkdir(P("d").c_str(), 0755), 0);
    ASSERT_GE(Open("d/o", O_RDWR | O_CREAT).get(), 0);
    ASSERT_GE(Open("d/private", O_WRONLY | O_CREAT, 0600).get(), 0);
    EXPECT_EQ(ErrnoOf(mkdir(P("d").c_str(), 0755)), EEXIST);
    EXPECT_EQ(ErrnoOf(mkdir(P("a@b").c_str(), 0755)), EINVAL);
    // Names as long as the save tree takes (NAME_MAX), not longer: one that
    // could not be saved would be lost at the next start.
    const std::string longest(255, 'n');
    EXPECT_EQ(ErrnoOf(mkdir(P(longest + "x").c_str(), 0755)), ENAMETOOLONG);
    EXPECT_EQ(ErrnoOf(Open("d/" + longest + "x?nopersist", O_RDWR | O_CREAT).get()), ENAMETOOLONG);
    EXPECT_GE(Open("d/" + longest + "?nopersist", O_RDWR | O_CREAT).get(), 0);
    EXPECT_EQ(unlink(P("d/" + longest).c_str()), 0);
    EXPECT_EQ(ErrnoOf(rmdir(P("d").c_str())), ENOTEMPTY);
    EXPECT_EQ(ErrnoOf(rmdir(P("d/o").c_str())), ENOTDIR);
    EXPECT_EQ(ErrnoOf(unlink(P("d").c_str())), EISDIR);
    EXPECT_EQ(ErrnoOf(unlink(P("d/o?nonsense").c_str())), EINVAL);
    const int kCreate = O_RDWR | O_CREAT;
    // Names and qualifiers a create refuses (the last backlog is past 1 TiB).
    for (const char *name : {"d/x@y", "d/.notify", "d/[x", "d/x\ny", "d/n?verbose", "d/n?f=9a",
                             "d/n?delta=1", "d/n?backlog=18014398509481985"})
        EXPECT_EQ(ErrnoOf(Open(name, kCreate).get()), EINVAL) << name;
    const std::tuple<const char *, int, bool, int> opens[] = {
        {"d/.all", kCreate, false, EACCES},
        {"d/o?deltadir", O_RDONLY, false, EINVAL},
        {"d/o?notify=9:x", O_RDONLY, false, EINVAL},
        {".notify?delta", O_RDONLY, false, EINVAL},
        {"d/.notify", O_RDONLY, false, ENOENT},  // the root's only
        {"d/missing?delta", O_RDONLY, false, ENOENT},
        {"d/o?delta", O_CREAT | O_EXCL, false, EEXIST},
        {"d?wait", O_RDONLY, false, EINVAL},
        {"d/o?server", O_RDONLY, false, EACCES},
        {"d/o?opens", O_RDONLY, false, EACCES},  // ?opens needs an open that may write
        {"d/n?server", O_RDONLY | O_CREAT, false, EACCES},
        {"d/private?delta", O_RDONLY, true, EACCES},
        {"d/n", O_WRONLY | O_CREAT, true, EACCES},
    };
    for (const auto &[name, flags, nobody, err] : opens) {
        auto call = [&, name = name, flags = flags] { return ErrnoOf(Open(name, flags).get()); };
        EXPECT_EQ(nobody ? AsNobody(call) : call(), err) << name;
    }
    EXPECT_EQ(Cat("d/n"), "open failed: No such file or directory");
    // Modes and owners are kept, and seen through another name at once.
    ASSERT_EQ(chown(P("d/private").c_str(), 65534, 65534), 0);
    EXPECT_EQ(StatText(P("d/private?wait")), "file 0600 65534:65534");
    EXPECT_EQ(AsNobody([&] { return chmod(P("d/private").c_str(), 0640) == 0 ? 0 : errno; }), 0);
    EXPECT_EQ(StatText(P("d/private?wait")), "file 0640 65534:65534");
    // A set-group-ID directory hands its group down.
    ASSERT_EQ(chown(P("d").c_str(), 0, 65534), 0);
    ASSERT_EQ(chmod(P("d").c_str(), 02755), 0);
    ASSERT_GE(Open("d/inherits", O_WRONLY | O_CREAT, 0644).get(), 0);
    EXPECT_EQ(StatText(P("d/inherits")), "file 0644 0:65534");
}

TEST_F(ObjectTest, WritesMergeBadWritesFailWhole) {
    const std::tuple<const char *, std::vector<std::string>, const char *> cases[] = {
        {"o1", {"a::1\nb::2\n", "a::3\n-missing\n"}, "@o1\na::3\nb::2\n"},
        {"o2", {"a::1\nb::2\n", "-a\n"}, "@o2\nb::2\n"},
        {"o3", {"@o3\nu::http://h:80/\nc:c:a\\nb"}, "@o3\nu::http://h:80/\nc:c:a\\nb\n"},
        {"o4", {"[n]a::1\n[n]b::1\n", "a::2\n[-n]b::2\n"}, "@o4\n[n]a::2\nb::2\n"},
        {"o5",
         {"[i]t::a,\n", "[i]t::a,\n[i]t::b,\n[i]t::c,\n", "[-i]t::b,\n[-i]u::x,\n"},
         "@o5\nt::a,c,\n"},
        {"q", {"[n]@q\na::1\n"}, "[n]@q\na::1\n"},
    };
    for (const auto &[name, writes, expect] : cases) {
        SCOPED_TRACE(expect);
        Fd w = Open(name, O_WRONLY | O_CREAT);
        for (const std::string &text : writes) EXPECT_EQ(WriteText(w.get(), text), 0) << text;
        EXPECT_EQ(Cat(name), expect);
    }
    // A refused write changes nothing.
    Fd w = Open("obj", O_WRONLY | O_CREAT);
    ASSERT_EQ(WriteText(w.get(), "a::1\n"), 0);
    std::vector<std::string> refused = {"a::2\nnonsense\n", "@other\na::2\n", "a::2\n#@obj\n",
                                        "*@obj\na::2\n",    "9a::2\n",        "a:2\n",
                                        "[z]a::2\n",        "[i]t::\n"};
    // Also a NUL, JSON nested too deep and (EFBIG) more than an object may hold.
    refused.insert(refused.end(), {std::string("b::x\0y\n", 7),
                                   "j:json:" + std::string(257, '[') + std::string(257, ']') + "\n",
                                   "big::" + std::string(2 << 20, 'y') + "\n"});
    for (const std::string &bad : refused)
        EXPECT_EQ(WriteText(w.get(), bad), bad.size() > 1000 ? EFBIG : EINVAL) << bad.substr(0, 9);
    EXPECT_EQ(Cat("obj"), "@obj\na::1\n");
    // An object stays under 1 MiB - 8 KiB, so a 1 MiB buffer takes it whole.
    Fd big = Open("big", O_WRONLY | O_CREAT);
    const std::string half = "x::" + std::string(500 * 1024, 'x') + "\n";
    ASSERT_EQ(WriteText(big.get(), half), 0);
    EXPECT_EQ(WriteText(big.get(), "y" + half.substr(1)), 0);
    EXPECT_EQ(WriteText(big.get(), "z" + half.substr(1)), EFBIG);
    Fd r = Open("big", O_RDONLY);
    EXPECT_EQ(ReadOnce(r.get(), 2 << 20).n, ssize_t(5 + 2 * half.size()));  // "@big\n", both
    EXPECT_EQ(ReadOnce(r.get(), 100).n, 0);
}

// After the same changes a full open reads the object once ("#@" after a
// truncation), a delta open each change group; a deletion is "-@", then EOF.
TEST_F(ObjectTest, FullDeltaAndFilteredOpensReadTheirChanges) {
    Fd w = Open("obj", O_WRONLY | O_CREAT);
    ASSERT_EQ(WriteText(w.get(), "a::1\n"), 0);
    Fd full = Open("obj", O_RDONLY), delta = Open("obj?delta", O_RDONLY | O_NONBLOCK);
    // Writes and a change after them, then what the full and the delta open read ("": nothing).
    const std::tuple<V, std::function<void()>, const char *, const char *> steps[] = {
        {{"b::2\n"}, nullptr, "@obj\na::1\nb::2\n", "@obj\na::1\nb::2\n"},
        {{"c::3\n", "a::4\n"}, nullptr, "@obj\na::4\nb::2\nc::3\n", "@obj\nc::3\n@obj\na::4\n"},
        {{"-missing\n"}, nullptr, "", ""},
        {{}, [&] { Open("obj", O_WRONLY | O_TRUNC); }, "#@obj\n", "#@obj\n"},
        {{"c::4\n"}, [&] { (void)!ftruncate(w.get(), 100); }, "#@obj\n", "@obj\nc::4\n#@obj\n"},
        {{}, [&] { ASSERT_EQ(unlink(P("obj").c_str()), 0); }, "-@obj\n", "-@obj\n"},
    };
    for (const auto &[writes, change, full_text, delta_text] : steps) {
        SCOPED_TRACE(delta_text);
        for (const std::string &text : writes) EXPECT_EQ(WriteText(w.get(), text), 0);
        if (change) change();
        EXPECT_EQ(PollIn(full.get()), *full_text != '\0');
        EXPECT_EQ(ReadOnce(full.get()).text, full_text);
        EXPECT_EQ(PollIn(delta.get()), *delta_text != '\0');
        EXPECT_EQ(ReadOnce(delta.get()).text, delta_text);
        const bool gone = *full_text == '-';
        EXPECT_EQ(PollIn(full.get()), gone);
        EXPECT_EQ(ReadOnce(full.get()).n, 0);
        EXPECT_EQ(ReadOnce(delta.get()).err, gone ? 0 : EAGAIN);
    }
    // A delta read takes whole change groups (EMSGSIZE for one too long); an
    // open past its backlog is reset ("|@obj", then the whole object).
    w = Open("obj", O_WRONLY | O_CREAT);
    Fd d = Open("obj?delta", O_RDONLY | O_NONBLOCK);
    Fd behind = Open("obj?delta,backlog=1", O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(ReadOnce(d.get()).text, "@obj\n");
    ASSERT_EQ(WriteText(w.get(), "a::6\n"), 0);
    ASSERT_EQ(WriteText(w.get(), "long::0123456789\n"), 0);
    EXPECT_EQ(ReadOnce(d.get(), 12).text, "@obj\na::6\n");
    EXPECT_EQ(ReadOnce(d.get(), 12).err, EMSGSIZE);
    EXPECT_EQ(ReadOnce(d.get(), 22).text, "@obj\nlong::0123456789\n");
    EXPECT_FALSE(PollIn(d.get()));
    EXPECT_EQ(ReadOnce(behind.get()).text, "@obj\na::6\nlong::0123456789\n");
    for (int i = 0; i < 200; i++) ASSERT_EQ(ftruncate(w.get(), 0), 0);
    EXPECT_EQ(ReadOnce(behind.get()).text, "|@obj\n@obj\n");
    EXPECT_FALSE(PollIn(behind.get()));
    Fd plain = Open("obj?delta", O_RDONLY);
    EXPECT_EQ(ReadOnce(plain.get()).text, "@obj\n");
    EXPECT_EQ(ReadOnce(plain.get()).n, 0);
    // Filters pick the attributes an open reads.
    ASSERT_EQ(WriteText(w.get(), "a::1\nb::2\nc::3\nn:n:50\n"), 0);
    d = Open("obj?delta,f=a+-b+n>10+c=x\\+y+m<5+m!=5", O_RDONLY | O_NONBLOCK);
    full = Open("obj?f=a", O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(ReadOnce(d.get()).text, "@obj\na::1\nn:n:50\n");
    EXPECT_EQ(ReadOnce(full.get()).text, "@obj\na::1\nb::2\nc::3\nn:n:50\n");
    // A write, what the delta open reads ("": nothing), whether the full one may.
    const std::tuple<const char *, const char *, bool> filtered[] = {
        {"c::4\nb::5\n", "", false},
        {"n:n:5\n", "", false},
        {"n:n:11\nc::6\n", "@obj\nn:n:11\n", false},
        {"-b\n", "@obj\n-b\n", false},
        {"c::x+y\n", "@obj\nc::x+y\n", false},
        {"m:n:5\n", "", false},
        {"m:n:4\n", "@obj\nm:n:4\n", false},
        {"a::7\nc::8\n", "@obj\na::7\n", true},
        {"-n\n-m\n", "", true},  // a deletion passes no comparison
    };
    for (const auto &[write, delta, full_readable] : filtered) {
        SCOPED_TRACE(write);
        ASSERT_EQ(WriteText(w.get(), write), 0);
        EXPECT_EQ(PollIn(d.get()), *delta != '\0');
        EXPECT_EQ(ReadOnce(d.get()).text, delta);
        EXPECT_EQ(PollIn(full.get()), full_readable);
    }
    EXPECT_EQ(ReadOnce(full.get()).text, "@obj\na::7\nc::8\n");
}

// Closing a ?critical open purges its object: readers see "*@", and the
// [n] attributes are gone, or every attribute of a ?nopersist object. A
// waiting read ends with EINTR on a signal (no SA_RESTART).
TEST_F(ObjectTest, CriticalClosesPurgeAndWaitingReadsEndOnSignals) {
    for (const char *qualifiers : {"?critical", "?critical,nopersist"}) {
        SCOPED_TRACE(qualifiers);
        Fd w = Open(std::string("obj") + qualifiers, O_WRONLY | O_CREAT | O_TRUNC);
        ASSERT_EQ(WriteText(w.get(), "[n]a::1\nb::2\n"), 0);
        Fd full = Open("obj", O_RDONLY), d = Open("obj?delta", O_RDONLY | O_NONBLOCK);
        for (int fd : {full.get(), d.get()}) EXPECT_EQ(ReadOnce(fd).text, "@obj\n[n]a::1\nb::2\n");
        w.Reset();
        EXPECT_EQ(ReadOnce(full.get()).text, qualifiers[9] ? "*@obj\n" : "*@obj\nb::2\n");
        EXPECT_EQ(ReadOnce(d.get()).text, "*@obj\n");
    }
    Fd w = Open("obj", O_WRONLY | O_CREAT), d = Open("obj?delta,wait", O_RDONLY);
    EXPECT_EQ(ReadOnce(d.get()).text, "@obj\n");
    struct sigaction sa = {}, old;
    sa.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    std::atomic<bool> done{false};  // a signal every 10 ms, so that one comes while the read waits
    std::thread kicker([&, reader = pthread_self()] {
        for (int i = 0; !done && i < 500; i++, usleep(10000)) pthread_kill(reader, SIGUSR1);
        if (!done) WriteText(w.get(), "late::1\n");  // ends a read that no signal ended
    });
    const Rd interrupted = ReadOnce(d.get());
    done = true;
    kicker.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(std::pair(interrupted.n, interrupted.err), std::pair(ssize_t{-1}, EINTR));
}

// Refused writes are logged at notice, the mount at info; the log is appended to.
TEST_F(ObjectTest, LogKeepsToItsLevelAndSavedObjectsSurviveARestart) {
    for (const char *level : {"info", "notice"}) {
        Unmount();
        Mount({"--log-level", level});
        EXPECT_EQ(WriteText(Open("obj", O_WRONLY | O_CREAT).get(), "nonsense\n"), EINVAL);
    }
    Unmount();
    const std::string log = testsupport::WithoutLogStamps(testsupport::ReadFile(base_ + "/log"));
    const std::regex info("ppsfs: info: (?!FUSE over io_uring)"), notice("ppsfs: notice: ");
    // Mounted and unmounting, twice; the refused writes.
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), info), {}), 4) << log;
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), notice), {}), 2) << log;

    // Objects saved and loaded again: modes and owners kept, [n] attributes,
    // ?nopersist and server objects not saved.
    std::string save = base_ + "/saved";
    Mount({"--persist", save});
    ASSERT_EQ(mkdir(P("d").c_str(), 0750), 0);
    ASSERT_EQ(chown(P("d").c_str(), 65534, 65534), 0);
    Put("d/a", "x::1\n[n]y::2\nj:json:{\"k\":[1,2]}\n");
    ASSERT_EQ(chmod(P("d/a").c_str(), 0640), 0);
    ASSERT_EQ(chown(P("d/a").c_str(), 65534, 65534), 0);
    Put("c", "[n]@c\nw::4\n");
    Put("np?nopersist", "v::5\n");
    ASSERT_EQ(fsync(Open("gone", O_WRONLY | O_CREAT).get()), 0);  // saved now, gone at exit
    ASSERT_EQ(unlink(P("gone").c_str()), 0);
    Fd server = Open("s?server", O_RDWR | O_CREAT);  // messages, never saved
    Unmount(SIGTERM);
    // Saved as ppsfs's own files; the objects' modes and owners are data.
    EXPECT_EQ(testsupport::ReadFile(save + "/d/a"),
              "#ppsfs mode=0640 uid=65534 gid=65534\n@a\nx::1\nj:json:{\"k\":[1,2]}\n");
    EXPECT_EQ(testsupport::ReadFile(save + "/d/@ppsfs-dir"),
              "#ppsfs mode=0750 uid=65534 gid=65534\n");
    Mount({"--persist", save});
    Unmount(SIGQUIT);  // saves as SIGTERM does
    Mount({"--persist", save});
    EXPECT_EQ(Cat("d/a"), "@a\nx::1\nj:json:{\"k\":[1,2]}\n");
    EXPECT_EQ(StatText(P("d/a")), "file 0640 65534:65534");
    EXPECT_EQ(StatText(P("d")), "dir 0750 65534:65534");
    for (const char *missing : {"c", "np", "gone", "s"})
        EXPECT_EQ(StatText(P(missing)), strerror(ENOENT)) << missing;
    // With --save-interval what changed is saved meanwhile: a kill -9 then
    // loses nothing written before the last interval.
    Unmount();
    Mount({"--persist", save, "--save-interval", "50"});
    Put("d/a", "x::2\n");
    Put("later", "z::3\n");
    for (int i = 0; i < 500 && testsupport::ReadFile(save + "/later").empty(); i++) usleep(10000);
    Unmount(SIGKILL);
    Mount({"--persist", save});
    EXPECT_EQ(Cat("d/a"), "@a\nx::2\nj:json:{\"k\":[1,2]}\n");
    EXPECT_EQ(Cat("later"), "@later\nz::3\n");
    // A save that fails at exit (a file in the tree's place) ends with status 1.
    ASSERT_EQ(system(("rm -rf '" + save + "'").c_str()), 0);
    std::ofstream(save) << "in the way\n";
    Unmount(SIGTERM, 1);

    // A save tree written by hand loads with its files' own modes and owners; a
    // header damaged in one field or a name that is no PPS name (-x) is skipped and kept.
    save = base_ + "/hand";
    ASSERT_EQ(system(("mkdir -p '" + save + "/od' '" + save + "/-x'").c_str()), 0);
    std::ofstream(save + "/old") << "@old\nv::1\n";
    std::ofstream(save + "/od/o") << "@o\nw::2\n";
    const std::tuple<const char *, mode_t, const char *> saved[] = {
        {"old", 0604, "file 0604 65534:65534"},
        {"od", 0751, "dir 0751 65534:65534"},
        {"od/o", 0640, "file 0640 65534:65534"}};
    for (const auto &[rel, mode, want] : saved) {
        ASSERT_EQ(chmod((save + "/" + rel).c_str(), mode), 0);
        ASSERT_EQ(chown((save + "/" + rel).c_str(), 65534, 65534), 0);
    }
    const std::string damaged[] = {
        "#ppsfs mode=0640 uid=65534\n",                  // a field missing
        "#ppsfs mode=0648 uid=65534 gid=65534\n",        // not octal
        "#ppsfs mode=10000 uid=65534 gid=65534\n",       // more than a mode
        "#ppsfs mode=0640 uid=4294967295 gid=65534\n",   // (uid_t)-1
        "#ppsfs mode=0640 uid=99999999999 gid=65534\n",  // too large
        "#ppsfs mode=0640 uid=-1 gid=65534\n",           // signed
        "#ppsfs mode=0640 uid=65534 gid=65534 \n",       // trailing space
        "#ppsfs mode=0640 uid=65534 gid=65534",          // no line end
        "#ppsfs  mode=0640 uid=65534 gid=65534\n",       // two spaces
        "not pps text\n",
    };
    auto bad = [](std::size_t i) { return "b" + std::to_string(i); };
    for (std::size_t i = 0; i < std::size(damaged); i++)
        std::ofstream(save + "/" + bad(i)) << damaged[i] << "@" << bad(i) << "\n";
    for (int run = 0; run < 2; run++) {  // as written then, and as saved now
        SCOPED_TRACE(run);
        Mount({"--persist", save});
        for (const auto &[rel, mode, want] : saved) EXPECT_EQ(StatText(P(rel)), want);
        EXPECT_EQ(Cat("old") + Cat("od/o"), "@old\nv::1\n@o\nw::2\n");
        EXPECT_EQ(StatText(P("-x")), strerror(ENOENT));
        for (std::size_t i = 0; i < std::size(damaged); i++)
            EXPECT_EQ(StatText(P(bad(i))), strerror(ENOENT)) << damaged[i];
        Unmount();
        for (std::size_t i = 0; i < std::size(damaged); i++)
            EXPECT_EQ(testsupport::ReadFile(save + "/" + bad(i)), damaged[i] + "@" + bad(i) + "\n");
    }
}

// Server objects: connect and message lines with client ids and credentials,
// replies to one client or to all, one message per read, nothing lost.
const std::regex kConnect(R"(\+@control\.(\d+)(\..*)\n)");

class ServerTest : public PpsfsTest {
  protected:
    void SetUp() override {
        PpsfsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        server_ = Open("control?server", O_RDWR | O_CREAT | O_TRUNC, 0666);  // as the daemon does
        ASSERT_EQ(fchmod(server_.get(), 0666), 0);  // past the test's umask
    }
    // Reads one message as the daemon does: 1024 bytes at most, after poll.
    std::string ServerRead() {
        return PollIn(server_.get(), 10000) ? ReadOnce(server_.get(), 1024).text : "(nothing)";
    }
    // The client id of the next connect line; creds, if given, gets the rest of it.
    std::string Connected(std::string *creds = nullptr) {
        std::smatch m;
        std::string line = ServerRead();
        EXPECT_TRUE(std::regex_match(line, m, kConnect)) << line;
        if (creds && !m.empty()) *creds = m[2];
        return m.empty() ? "" : m[1].str();
    }

    // Whether action wakes a poll(POLLOUT) on fd; one asleep for its whole 10 s was not woken.
    static bool WokenForWriting(int fd, const std::function<void()> &action) {
        struct pollfd wait = {fd, POLLOUT, 0};
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::thread waiter([&] { poll(&wait, 1, 10000); });
        usleep(200000);  // most likely asleep in poll by now
        action();
        waiter.join();
        return (wait.revents & POLLOUT) != 0 && std::chrono::steady_clock::now() < give_up;
    }

    Fd server_;
};

// The connect line carries the opener's effective ids and groups; a server
// killed: its clients are told, and its successor meets them in order.
TEST_F(ServerTest, ConnectLinesAndServerKilledWhileClientsWait) {
    char opened = 0;
    auto opens = [&](const char *name) { return open(P(name).c_str(), O_RDWR) >= 0 ? "y" : "n"; };
    pid_t child = StartChild(
        [&](int ready) {
            gid_t sup[] = {10, 20};
            if (setgroups(2, sup) != 0 || setresgid(0, 100, 0) != 0 || setresuid(0, 65534, 0) != 0)
                _exit(1);
            (void)!write(ready, opens("control"), 1);
        },
        &opened);
    EXPECT_EQ(opened, 'y');
    std::string creds, id = Connected(&creds);
    KillChild(child);
    EXPECT_EQ(creds, ".n0.p" + std::to_string(child) + ".u65534.g100.g10.g20");
    EXPECT_EQ(ServerRead(), "-@control." + id + "\n");

    EXPECT_EQ(ErrnoOf(Open("control?server", O_RDWR).get()), EBUSY);
    server_.Reset();
    child =
        StartChild([&](int ready) { (void)!write(ready, opens("control?server"), 1); }, &opened);
    ASSERT_EQ(opened, 'y');
    Fd a = Open("control?wait", O_RDWR), b = Open("control?wait", O_RDWR);
    std::string got;
    std::thread waiter([&] { got = ReadOnce(a.get()).text; });
    KillChild(child);
    waiter.join();
    EXPECT_EQ(got, "*@control\n");
    EXPECT_EQ(WriteText(a.get(), "msg::identity\nid::2\n"), EPIPE);  // no server
    server_ = Open("control?server", O_RDWR);
    ASSERT_GE(server_.get(), 0);
    std::string first = Connected(), second = Connected();
    EXPECT_LT(std::stoull(first), std::stoull(second));
    ASSERT_EQ(WriteText(a.get(), "msg::identity\nid::3\n"), 0);
    EXPECT_EQ(ServerRead(), "@control." + first + "\nmsg::identity\nid::3\n");
}

// Clients take turns; replies go to one client or to all; a read returns one
// message at most: a small buffer cuts it, and the largest (1 MiB - 4 KiB)
// comes whole even when the kernel splits the read.
TEST_F(ServerTest, MessagesRepliesAndBroadcasts) {
    Fd a = Open("control", O_RDWR | O_NONBLOCK), b = Open("control", O_RDWR | O_NONBLOCK);
    const std::string ida = Connected(), idb = Connected();
    ASSERT_EQ(WriteText(b.get(), "@control\nmsg::access\nid::8"), 0);
    EXPECT_EQ(ServerRead(), "@control." + idb + "\nmsg::access\nid::8\n");
    // One with messages queued waits behind the others.
    for (const char *text : {"msg::1\n", "msg::2\n"}) ASSERT_EQ(WriteText(a.get(), text), 0);
    ASSERT_EQ(WriteText(b.get(), "msg::3\n"), 0);
    for (const auto &[id, n] : {std::pair(ida, "1"), std::pair(idb, "3"), std::pair(ida, "2")})
        EXPECT_EQ(ServerRead(), "@control." + id + "\nmsg::" + n + "\n");
    EXPECT_FALSE(PollIn(server_.get()));
    EXPECT_EQ(ReadOnce(server_.get(), 1024).err, EAGAIN);
    // One write may carry a reply and a broadcast; each is its own message.
    ASSERT_EQ(WriteText(server_.get(), "@control." + idb + "\nres::access\n@control\nstate::up\n"),
              0);
    EXPECT_EQ(Reads(a.get()), V{"@control\nstate::up\n"});
    EXPECT_EQ(Reads(b.get()), (V{"@control\nres::access\n", "@control\nstate::up\n"}));
    const std::pair<const char *, int> bad[] = {{"@control.999999\nres::x\n", ENXIO},
                                                {"@other.1\nres::x\n", EINVAL},
                                                {"+@control.1\n", EINVAL},
                                                {"res x\n", EINVAL}};
    for (auto [text, err] : bad) EXPECT_EQ(WriteText(server_.get(), text), err) << text;
    EXPECT_EQ(WriteText(a.get(), "@other\nmsg::x\n"), EINVAL);
    EXPECT_FALSE(PollIn(a.get()));
    EXPECT_FALSE(PollIn(server_.get()));
    // A client that leaves with replies queued: gone, and its id with it.
    ASSERT_EQ(WriteText(server_.get(), "@control." + ida + "\nres::1\n"), 0);
    a.Reset();
    EXPECT_EQ(ServerRead(), "-@control." + ida + "\n");
    EXPECT_EQ(WriteText(server_.get(), "@control." + ida + "\nres::3\n"), ENXIO);

    const std::string header = "@control." + idb + "\n", big(3000, 'x');
    ASSERT_EQ(WriteText(b.get(), "dat::" + big + "\n"), 0);
    ASSERT_EQ(WriteText(b.get(), "msg::two\n"), 0);
    EXPECT_EQ(ServerRead(), (header + "dat::" + big).substr(0, 1024));
    EXPECT_EQ(ServerRead(), header + "msg::two\n");
    const std::size_t largest = 1024 * 1024 - 4096;
    const std::string fits = "dat::" + std::string(largest - header.size() - 6, 'y') + "\n";
    EXPECT_EQ(WriteText(b.get(), fits + "z::\n"), EFBIG);
    ASSERT_EQ(WriteText(b.get(), fits), 0);
    ASSERT_EQ(WriteText(b.get(), "msg::after\n"), 0);
    // At every page offset the kernel's first request holds the message.
    std::vector<char> buf(2 * largest + 8192);
    ASSERT_TRUE(PollIn(server_.get(), 10000));
    EXPECT_EQ(read(server_.get(), buf.data() + 4095, 2 * largest), ssize_t(largest));
    EXPECT_EQ(std::string(buf.data() + 4095, largest), header + fits);
    EXPECT_EQ(ServerRead(), header + "msg::after\n");
}

// Past the unread limit writes to a reader that does not read fail with
// EAGAIN; nothing accepted is lost, and poll says when writes go through.
TEST_F(ServerTest, UnreadLimitRefusesWritesAndLosesNothing) {
    server_.Reset();
    Unmount();
    Mount({"--unread-limit", "4"});
    server_ = Open("control?server", O_RDWR | O_CREAT, 0666);
    Fd a = Open("control", O_RDWR | O_NONBLOCK);
    const std::string id = Connected();
    const std::string msg = "dat::" + std::string(500, 'x') + "\n";
    int accepted = 0;
    while (accepted < 20 && WriteText(a.get(), msg) == 0) accepted++;
    EXPECT_EQ(WriteText(a.get(), msg), EAGAIN);
    EXPECT_EQ(ErrnoOf(Open("control", O_RDWR).get()), EAGAIN);  // a connection too
    EXPECT_GE(accepted, 8);  // 4 KB of ~520-byte messages, then the limit
    // A client waiting in poll for POLLOUT is woken once the server reads.
    EXPECT_FALSE(PollFor(a.get(), POLLOUT));
    EXPECT_TRUE(WokenForWriting(a.get(), [&] {
        for (int i = 0; i < accepted; i++) EXPECT_EQ(ServerRead(), "@control." + id + "\n" + msg);
    }));
    EXPECT_FALSE(PollIn(server_.get()));
    ASSERT_EQ(WriteText(a.get(), msg), 0);
    EXPECT_EQ(ServerRead(), "@control." + id + "\n" + msg);
    // A client leaving its answers unread: replies, broadcasts and its writes fail.
    int replies = 0;
    while (replies < 20 && WriteText(server_.get(), "@control." + id + "\n" + msg) == 0) replies++;
    EXPECT_GE(replies, 8);
    EXPECT_LE(replies, accepted + 1);
    EXPECT_EQ(WriteText(server_.get(), "@control\n" + msg), EAGAIN);
    EXPECT_EQ(WriteText(a.get(), msg), EAGAIN);
    for (int i = 0; i < replies; i++) EXPECT_EQ(ReadOnce(a.get(), 1024).text, "@control\n" + msg);
    EXPECT_EQ(WriteText(a.get(), msg), 0);
    EXPECT_EQ(WriteText(server_.get(), "@control\n" + msg), 0);
    // A writer held back is woken when the server goes, then fails with EPIPE.
    Fd w = Open("control", O_WRONLY | O_NONBLOCK);
    while (WriteText(w.get(), msg) == 0) continue;
    EXPECT_TRUE(WokenForWriting(w.get(), [&] { server_.Reset(); }));
    EXPECT_EQ(WriteText(w.get(), msg), EPIPE);
}

// Special files: what each kind of .all open reads first, and after the same
// changes; a read too small fails with EMSGSIZE and loses nothing.
TEST_F(ObjectTest, AllNotifyAndOpensFollowTheirObjects) {
    ASSERT_EQ(mkdir(P("d").c_str(), 0755), 0);
    Put("d/o1", "a::1\n");
    Put("d/o2", "b::2\n");
    for (const char *name : {"d/o1", "d/o1?delta", "d/.all", "d/.all?delta"}) {
        Fd r = Open(name, O_RDONLY | O_NONBLOCK);
        EXPECT_EQ(ReadOnce(r.get(), 8).err, EMSGSIZE) << name;  // "@o1\na::1\n" is 9 bytes
        EXPECT_TRUE(PollIn(r.get()));
        EXPECT_EQ(ReadOnce(r.get(), 9).text, "@o1\na::1\n");
    }
    // A full .all reads the objects changed in the order of their first change.
    const std::tuple<const char *, V, V> cases[] = {
        {"d/.all", {"@o1\na::1\n", "@o2\nb::2\n"}, {"@o1\na::1\nc::3\n", "-@o3\n", "#@o2\n"}},
        {"d/.all?delta",
         {"@o1\na::1\n@o2\nb::2\n"},
         {"@o1\nc::3\n+@o3\n@o3\nq::1\n#@o2\n-@o3\n+@sub\n"}},
        {"d/.all?delta,f=c", {"@o1\n@o2\n"}, {"@o1\nc::3\n+@o3\n#@o2\n-@o3\n+@sub\n"}},
        {"d/.all?deltadir", {"+@o1\n+@o2\n"}, {"+@o3\n-@o3\n+@sub\n"}},
    };
    std::vector<Fd> alls;
    for (const auto &[name, first, after] : cases) {
        alls.push_back(Open(name, O_RDONLY | O_NONBLOCK));
        EXPECT_EQ(Reads(alls.back().get()), first) << name;
        EXPECT_FALSE(PollIn(alls.back().get())) << name;
    }
    Put("d/o1", "c::3\n");
    Put("d/o3", "q::1\n");
    ASSERT_EQ(truncate(P("d/o2").c_str(), 0), 0);
    ASSERT_EQ(unlink(P("d/o3").c_str()), 0);
    ASSERT_EQ(mkdir(P("d/sub").c_str(), 0755), 0);
    for (std::size_t i = 0; i < alls.size(); i++) {
        EXPECT_TRUE(PollIn(alls[i].get())) << i;
        EXPECT_EQ(Reads(alls[i].get()), std::get<2>(cases[i])) << i;
    }
    // Read-only, whatever its directory's mode says.
    EXPECT_EQ(StatText(P("d/.all")), "file 0444 0:0");

    // A .notify open reads its group's name, then "group:value" once for each
    // member with data and "-group:value" for a member closed.
    Fd n = Open(".notify", O_RDONLY | O_NONBLOCK);
    const std::string line = ReadOnce(n.get()).text, group = line.substr(0, line.size() - 1);
    ASSERT_EQ(line, group + "\n");
    Fd m = Open("d/o1?delta,notify=" + group + ":water", O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(Reads(n.get()), V{group + ":water\n"});  // the whole object to read
    Put("d/o1", "x::1\n");
    EXPECT_FALSE(PollIn(n.get()));  // said once until the member reads
    EXPECT_EQ(Reads(m.get()), V{"@o1\na::1\nc::3\nx::1\n"});
    Put("d/o1", "x::2\n");
    EXPECT_EQ(Reads(n.get()), V{group + ":water\n"});
    m.Reset();
    EXPECT_EQ(Reads(n.get()), V{"-" + group + ":water\n"});
    // A group is its holder's; its lines are whole lines.
    const std::string member = "d/o1?notify=" + group + ":";
    EXPECT_EQ(AsNobody([&] { return ErrnoOf(Open(member + "x", O_RDONLY).get()); }), EACCES);
    EXPECT_EQ(ErrnoOf(Open(member + "a\nb", O_RDONLY).get()), EINVAL);
    n.Reset();  // the group ends with its open
    EXPECT_EQ(ErrnoOf(Open(member + "water", O_RDONLY).get()), EINVAL);

    // ?opens keeps "[n]_opens::readers,writers" on the object while it is
    // open; an _opens a writer set is not its to delete.
    Fd tracker = Open("d/o2?opens,delta", O_RDWR | O_NONBLOCK);
    EXPECT_EQ(Reads(tracker.get()), V{"@o2\n[n]_opens::1,1\n"});
    Fd w = Open("d/o2", O_WRONLY), r = Open("d/o2", O_RDONLY);
    EXPECT_EQ(Reads(tracker.get()), V{"@o2\n[n]_opens::1,2\n@o2\n[n]_opens::2,2\n"});
    r.Reset();
    tracker.Reset();
    EXPECT_EQ(Cat("d/o2"), "@o2\n");
    ASSERT_EQ(WriteText(w.get(), "_opens::mine\n"), 0);
    Open("d/o2", O_RDONLY).Reset();
    EXPECT_EQ(Cat("d/o2"), "@o2\n_opens::mine\n");
}

}  // namespace
}  // namespace ppsfs_test
