// SPDX-License-Identifier: Apache-2.0
// A hostile local user against ppsfs and against the whole system as it is
// deployed (DeployedSystem, support/SystemFixture.h): every case runs its
// attack as an unprivileged uid and checks that it takes no file, no memory,
// no other client's answer and no server it does not own.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sched.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/PpsfsMount.h"
#include "support/SystemFixture.h"

namespace ppsfs_test {
namespace {

using testsupport::ReadFile;

class HostileTest : public PpsfsTest {
  protected:
    // ppsfs's resident memory in KiB.
    long RssKb() const {
        const std::string st = ReadFile("/proc/" + std::to_string(ppsfs_.pid()) + "/status");
        return std::stol(st.substr(st.find("\nVmRSS:") + 7));
    }
    // A root server on a world-writable object, as the daemon's control
    // object is.
    Fd Serve(const std::string &name) {
        Fd s = Open(name + "?server", O_RDWR | O_CREAT, 0666);
        EXPECT_EQ(fchmod(s.get(), 0666), 0);
        return s;
    }
    static std::string ServerRead(int fd) {
        return PollIn(fd, 5000) ? ReadOnce(fd, 1024).text : "(nothing)";
    }
    // Everything the opens have to read now.
    static std::string Drain(const std::vector<Fd> &fds) {
        std::string text;
        for (const Fd &fd : fds)
            for (Rd r = ReadOnce(fd.get()); r.n > 0; r = ReadOnce(fd.get())) text += r.text;
        return text;
    }
};

// A client cannot speak in another client's name: the daemon reads 1024
// bytes a message, and what a message holds past that is dropped, never
// read as a message of its own, so a forged "@control.<id>" request or
// "+@control.<id>" connection placed at byte 1024 reaches no one.
TEST_F(HostileTest, NoRequestInAnotherClientsName) {
    Fd server = Serve("control");
    Fd victim = Open("control", O_RDWR);
    auto id = [](const std::string &connect) {  // of "+@control.<id>.n0..."
        return connect.substr(10, connect.find('.', 10) - 10);
    };
    std::string line = ServerRead(server.get());
    // Lines ending values, so that each starts where a 1024-byte read would.
    const std::string forged = "@control." + id(line) + "\nmsg::identity\nid::1\n";
    Fd attacker;
    {
        NobodyHere nobody;
        attacker = Open("control", O_WRONLY);
    }
    line = ServerRead(server.get());
    ASSERT_EQ(line.compare(0, 10, "+@control."), 0) << line;
    // The line ppsfs puts before the message, which the attacker can tell
    // from its own id; the forgery starts at byte 1024.
    const std::string header = "@control." + id(line) + "\n";
    const std::string pad(1024 - header.size() - 5, 'p'), pad2(1024 - forged.size() - 6, 'p');
    const std::string attack =
        "pad::" + pad + forged + "pad2::" + pad2 + "+@control.77.n0.p1.u0.g0\n";
    {
        NobodyHere nobody;
        EXPECT_EQ(WriteText(attacker.get(), attack), 0);
    }
    std::string cut = ServerRead(server.get());  // the write went through, cut
    EXPECT_EQ(cut.size(), 1024u);
    EXPECT_EQ(cut.compare(0, header.size(), header), 0) << cut.substr(0, 40);
    // Nothing after it: no forged request, no forged connection.
    EXPECT_FALSE(PollIn(server.get(), 200)) << ReadOnce(server.get()).text.substr(0, 100);
    attacker.Reset();
    EXPECT_EQ(ServerRead(server.get()).compare(0, 10, "-@control."), 0);
}

// Unread changes cost ppsfs one copy per object, not one per open, and
// only root may let an open fall further behind than the backlog: 300
// delta opens that never read keep ppsfs's memory flat, and it stays so.
TEST_F(HostileTest, DeltaOpensThatNeverReadCostNoMemory) {
    // Under AddressSanitizer freed memory is held back for a while, which
    // would count as ppsfs's: hold back almost none.
    const char *asan = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":quarantine_size_mb=1").c_str(), 1);
    Unmount();
    Mount();
    Fd w = Open("status", O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(WriteText(w.get(), "a::1\n"), 0);
    std::vector<Fd> opens;
    {
        NobodyHere nobody;
        EXPECT_EQ(ErrnoOf(Open("status?delta,backlog=1073741824", O_RDONLY).get()), EPERM);
        for (int i = 0; i < 300; i++) opens.push_back(Open("status?delta", O_RDONLY | O_NONBLOCK));
    }
    EXPECT_EQ(Drain(opens).size(), 300 * std::string("@status\na::1\n").size());
    const long before = RssKb();
    const std::string change = "a::" + std::string(64 * 1024, 'v') + "\n";
    for (int i = 0; i < 1000; i++) ASSERT_EQ(WriteText(w.get(), change), 0) << i;  // 64 MB
    const long after = RssKb();
    // One copy per open would be 300 x 256 KiB = 75 MiB.
    EXPECT_LT(after - before, 16 * 1024) << before << " KiB -> " << after << " KiB";
}

// Readers that wait (?wait) keep their requests at ppsfs; over io_uring each
// keeps a ring entry until answered. 200 of them on one CPU, started at
// once (more than that CPU's queue has entries), hold up no one else's
// requests made on that CPU meanwhile (50 stats at once), and all of them
// get the next change.
TEST_F(HostileTest, WaitingReadersHoldUpNoOneOnTheirCpu) {
    Fd w = Open("obj", O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(WriteText(w.get(), "a::1\n"), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    int go[2], ready[2];
    ASSERT_TRUE(pipe(go) == 0 && pipe(ready) == 0);
    auto child = [&](const std::function<int()> &fn) {
        pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            close(ready[0]);
            _exit(sched_setaffinity(0, sizeof one, &one) == 0 && setgid(65534) == 0 &&
                          setuid(65534) == 0
                      ? fn()
                      : 100);
        }
        return pid;
    };
    // Exit statuses of the children within the deadline; -1 for one still running.
    auto statuses = [](const std::vector<pid_t> &pids, int ms) {
        std::vector<int> out(pids.size(), -1);
        for (int t = 0; t <= ms && std::count(out.begin(), out.end(), -1) > 0; t += 10) {
            usleep(10000);
            for (std::size_t i = 0; i < pids.size(); i++) {
                int st;
                if (out[i] == -1 && waitpid(pids[i], &st, WNOHANG) == pids[i])
                    out[i] = WIFEXITED(st) ? WEXITSTATUS(st) : 200;
            }
        }
        for (std::size_t i = 0; i < pids.size(); i++)
            if (out[i] == -1) kill(pids[i], SIGKILL), waitpid(pids[i], nullptr, 0);
        return out;
    };
    std::vector<pid_t> readers, others;
    for (int i = 0; i < 200; i++)
        readers.push_back(child([&] {
            int fd = open(P("obj?delta,wait").c_str(), O_RDONLY);
            char c = 'r';
            if (fd < 0 || ReadOnce(fd).n <= 0 || write(ready[1], &c, 1) != 1 ||
                read(go[0], &c, 1) != 0)
                return 1;
            return ReadOnce(fd).text == "@obj\na::2\n" ? 0 : 2;
        }));
    for (int i = 0; i < 50; i++)
        others.push_back(child([&] {
            char c;
            struct stat st;
            return read(go[0], &c, 1) == 0 && stat(P("obj").c_str(), &st) == 0 ? 0 : 1;
        }));
    close(ready[1]);
    std::string all;
    while (all.size() < readers.size() && PollIn(ready[0], 10000)) all += ReadOnce(ready[0]).text;
    ASSERT_EQ(all.size(), readers.size());
    close(go[0]);
    close(go[1]);  // all read at once, and the others stat meanwhile
    EXPECT_EQ(statuses(others, 5000), std::vector<int>(others.size(), 0));
    usleep(500 * 1000);  // a waiting read ends with data (or a signal) only
    ASSERT_EQ(WriteText(w.get(), "a::2\n"), 0);
    const std::vector<int> got = statuses(readers, 10000);
    EXPECT_EQ(std::count(got.begin(), got.end(), 0), 200)
        << std::count(got.begin(), got.end(), -1) << " still waiting";
}

// A crowd of waiting readers of a large object costs ppsfs no lasting
// memory: 1,000 ?wait opens (threads of one process of nobody's), each
// having read the 60 KB object and waiting for its next change, keep
// ppsfs's resident memory within 16 MiB of where it was, and so does the
// crowd once it has read the change and gone. (Over io_uring each waiting
// read keeps a ring entry; entries whose payload areas kept the pages of
// 60 KB answers would hold 1,000 x 60 KB.)
namespace crowd {
struct Reader {
    const char *path;
    int ready;
    int got;
};
char buf[65536];  // every reader's: what they read is counted, not looked at
void *Read(void *arg) {
    const Reader &r = *static_cast<const Reader *>(arg);
    int fd = open(r.path, O_RDONLY | O_CLOEXEC);
    char c = 'r';
    if (fd >= 0 && read(fd, buf, sizeof buf) > 60000 && write(r.ready, &c, 1) == 1 &&
        read(fd, buf, sizeof buf) > 60000 && write(r.got, &c, 1) == 1) {
    }
    if (fd >= 0) close(fd);
    return nullptr;
}
}  // namespace crowd

TEST_F(HostileTest, CrowdOfWaitingReadersLeavesNoMemoryBehind) {
    const char *asan = getenv("ASAN_OPTIONS");  // as in DeltaOpensThatNeverReadCostNoMemory
    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":quarantine_size_mb=1").c_str(), 1);
    Unmount();
    Mount();
    constexpr int kReaders = 1000;
    Fd w = Open("big", O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(WriteText(w.get(), "v::" + std::string(60000, 'a') + "\n"), 0);
    usleep(200 * 1000);
    const long before = RssKb();
    int ready[2], got[2];
    ASSERT_TRUE(pipe(ready) == 0 && pipe(got) == 0);
    const std::string path = P("big?wait");
    pid_t crowd = fork();
    if (crowd == 0) {
        close(ready[0]);
        close(got[0]);
        // Room for the opens, and for threads whatever else nobody runs.
        const struct rlimit files = {kReaders + 64, kReaders + 64};
        struct rlimit tasks;
        getrlimit(RLIMIT_NPROC, &tasks);
        tasks.rlim_cur = tasks.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &files) != 0 || setrlimit(RLIMIT_NPROC, &tasks) != 0 ||
            setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(100);
        crowd::Reader r = {path.c_str(), ready[1], got[1]};
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 64 * 1024);
        std::vector<pthread_t> threads(kReaders);
        for (pthread_t &t : threads)
            if (pthread_create(&t, &attr, crowd::Read, &r) != 0) _exit(101);
        for (pthread_t &t : threads) pthread_join(t, nullptr);
        _exit(0);
    }
    close(ready[1]);
    close(got[1]);
    // Bytes from the crowd's pipe until n came or 60 s passed.
    auto count = [](int fd, std::size_t n) {
        std::size_t have = 0;
        while (have < n && PollIn(fd, 60000)) {
            const Rd r = ReadOnce(fd);
            if (r.n <= 0) break;
            have += static_cast<std::size_t>(r.n);
        }
        return have;
    };
    if (count(ready[0], kReaders) != static_cast<std::size_t>(kReaders)) {
        int status = KillChild(crowd);
        FAIL() << "the crowd did not all read; its status " << status;
    }
    usleep(500 * 1000);  // their second reads wait
    const long waiting = RssKb();
    EXPECT_LT(waiting - before, 16 * 1024) << before << " KiB -> " << waiting << " KiB";
    ASSERT_EQ(WriteText(w.get(), "v::" + std::string(60000, 'b') + "\n"), 0);
    EXPECT_EQ(count(got[0], kReaders), static_cast<std::size_t>(kReaders));
    int status = 0;
    EXPECT_EQ(waitpid(crowd, &status, 0), crowd);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(ready[0]);
    close(got[0]);
    usleep(200 * 1000);
    const long after = RssKb();
    EXPECT_LT(after - before, 16 * 1024) << before << " KiB -> " << after << " KiB";
}

// A client that floods its server is held back alone: its own writes fail
// with EAGAIN once its share is waiting (many small messages weigh what they
// cost, not only their text), and the server reads the clients in turn, so
// another client's request does not wait behind the flood.
TEST_F(HostileTest, FloodingClientHoldsUpOnlyItself) {
    Fd server = Serve("control");
    struct {
        std::size_t text;
        int most;  // accepted at most under the default 1 MiB a client
    } floods[] = {{1000 * 1000, 3}, {4, 1024 * 1024 / 64 + 1}};
    for (const auto &f : floods) {
        SCOPED_TRACE(f.text);
        const int accepted = AsNobody([&] {
            int fd = open(P("control").c_str(), O_WRONLY);
            if (fd < 0) return -1;
            const std::string msg = "d::" + std::string(f.text, 'f') + "\n";
            int n = 0;
            while (n < 100000 && WriteText(fd, msg) == 0) n++;
            return errno == EAGAIN ? (n > 250 ? 250 : n) : -2;  // an exit status
        });
        EXPECT_GE(accepted, 1);
        Fd other = Open("control", O_RDWR);
        ASSERT_GE(other.get(), 0) << strerror(errno);
        EXPECT_EQ(WriteText(other.get(), "msg::identity\n"), 0);
        int reads = 0, at = -1;
        while (PollIn(server.get(), 1000)) {
            if (ReadOnce(server.get()).text.find("\nmsg::identity\n") != std::string::npos)
                at = reads;
            reads++;
        }
        EXPECT_TRUE(at >= 0 && at <= 4) << at;  // connections, one message of the flood, then it
        EXPECT_LE(reads, f.most + 5);
    }
}

// Only an object's owner (or root) may become the server of an existing
// object, so no one else takes its clients. A server object unlinked while
// served, then its server closed: its clients write to no server (EPIPE),
// and ppsfs stays up (it used to deliver to the freed server's memory).
TEST_F(HostileTest, NoOneTakesOverOrOutlivesAServer) {
    Serve("control").Reset();
    ASSERT_EQ(chmod(dir_.c_str(), 01777), 0);
    NobodyHere nobody;
    EXPECT_EQ(ErrnoOf(Open("control?server", O_RDWR | O_CREAT).get()), EACCES);
    Fd server = Open("s?server", O_RDWR | O_CREAT);  // a new object is the creator's
    Fd client = Open("s", O_RDWR);
    ASSERT_EQ(unlink(P("s").c_str()), 0);
    server.Reset();
    EXPECT_GE(Open("t", O_RDWR | O_CREAT).get(), 0);
    EXPECT_EQ(WriteText(client.get(), "a::1\n"), EPIPE);
    EXPECT_GE(Open("alive", O_RDWR | O_CREAT).get(), 0);
}

// .all delta opens read the directory as it is, copying nothing: many of
// them, each stopped at a read too small for its first object, queue
// nothing, so other users' clients still get through a small total limit.
TEST_F(HostileTest, AllOpensQueueNothingForOthersToWaitOn) {
    Unmount();
    Mount({"--total-limit", "64"});
    ASSERT_EQ(mkdir(P("d").c_str(), 0755), 0);
    for (int i = 0; i < 20; i++)
        Put("d/o" + std::to_string(i), "v::" + std::string(10000, 'v') + "\n");
    Fd server = Serve("control");
    std::vector<Fd> hogs;
    {
        NobodyHere nobody;
        for (int i = 0; i < 40; i++) {
            hogs.push_back(Open("d/.all?delta", O_RDONLY | O_NONBLOCK));
            EXPECT_EQ(ReadOnce(hogs.back().get(), 1).err, EMSGSIZE);
        }
    }
    EXPECT_EQ(WriteText(Open("control", O_WRONLY).get(), "msg::identity\n"), 0);
}

// Names that would read back as PPS syntax and JSON deeper than a reader
// decodes are refused, not stored for every reader to trip on.
TEST_F(HostileTest, NothingStoredThatReadersCannotRead) {
    for (const char *name : {"-x", "+x", "#x", "*x", "|x", "[n]x"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ErrnoOf(Open(name, O_WRONLY | O_CREAT).get()), EINVAL);
        EXPECT_EQ(ErrnoOf(mkdir(P(name).c_str(), 0755)), EINVAL);
    }
    Fd w = Open("obj", O_WRONLY | O_CREAT);
    auto nested = [](int depth) {
        return "j:json:" + std::string(depth, '[') + "\"]\"" + std::string(depth, ']') + "\n";
    };
    EXPECT_EQ(WriteText(w.get(), nested(256)), 0);
    EXPECT_EQ(WriteText(w.get(), nested(257)), EINVAL);
    EXPECT_EQ(WriteText(w.get(), "j:json:" + std::string(150000, '{') + "\n"), EINVAL);
}

// .all shows a user only the objects that user may read: an object
// closed to others, in a directory open to all, stays closed through it,
// in the first read, in the changes after and when closed after a change.
TEST_F(HostileTest, AllShowsNoObjectItsReaderMayNotRead) {
    ASSERT_EQ(mkdir(P("d").c_str(), 0755), 0);
    Fd secret = Open("d/secret", O_WRONLY | O_CREAT, 0600);
    Fd shared = Open("d/open", O_WRONLY | O_CREAT, 0644);
    Fd closing = Open("d/closing", O_WRONLY | O_CREAT, 0644);
    // Readable by the group alone, and nobody's own object closed to its owner.
    for (const char *name : {"d/group", "d/own"}) {
        Fd o = Open(name, O_WRONLY | O_CREAT, 0640);
        ASSERT_EQ(WriteText(o.get(), "imsi::262010000000000\n"), 0);
    }
    ASSERT_TRUE(chown(P("d/own").c_str(), 65534, 65534) == 0 &&
                chmod(P("d/own").c_str(), 0044) == 0);
    ASSERT_EQ(WriteText(secret.get(), "imsi::262019876543210\n"), 0);
    ASSERT_EQ(WriteText(shared.get(), "a::1\n"), 0);
    std::vector<Fd> all;
    {
        NobodyHere nobody;
        for (const char *open : {"d/.all", "d/.all?delta", "d/.all?delta,wait"})
            all.push_back(Open(open, O_RDONLY | O_NONBLOCK));
    }
    std::string text = Drain(all);
    ASSERT_EQ(WriteText(secret.get(), "imsi::262019999999999\n"), 0);
    ASSERT_EQ(ftruncate(secret.get(), 0), 0);
    text += Drain(all);
    EXPECT_EQ(text.find("imsi"), std::string::npos) << text;
    EXPECT_EQ(text.find("@secret"), std::string::npos) << text;
    EXPECT_NE(text.find("a::1"), std::string::npos) << text;
    // Changed while it was open to all, closed before the full read.
    ASSERT_EQ(WriteText(closing.get(), "late::1\n"), 0);
    ASSERT_EQ(fchmod(closing.get(), 0600), 0);
    EXPECT_EQ(ReadOnce(all[0].get()).text, "");
}

// Objects made and removed under new names, and group members that come
// and go, cannot grow what a .all or .notify open that never reads holds:
// .all starts again from the objects that exist, .notify stops at the limit.
TEST_F(HostileTest, SpecialFilesHoldNoEndlessBacklog) {
    Unmount();
    Mount({"--client-limit", "4"});
    ASSERT_TRUE(mkdir(P("open").c_str(), 0755) == 0 && chmod(P("open").c_str(), 01777) == 0);
    Fd all = Open("open/.all", O_RDONLY | O_NONBLOCK);
    NobodyHere nobody;
    for (int i = 0; i < 3000; i++) {
        const std::string name = "open/o" + std::to_string(i);
        ASSERT_GE(Open(name, O_WRONLY | O_CREAT, 0644).get(), 0);
        ASSERT_EQ(unlink(P(name).c_str()), 0);
    }
    // Its own group, never read, with members that come and go.
    Fd n = Open(".notify", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(Open("open/m", O_WRONLY | O_CREAT, 0644).get(), 0);
    std::string group = ReadOnce(n.get()).text;
    group.pop_back();
    for (int i = 0; i < 2000; i++)
        Open("open/m?notify=" + group + ":" + std::to_string(i), O_RDONLY);
    std::size_t notes = 0;
    for (Rd r = ReadOnce(n.get()); r.n > 0; r = ReadOnce(n.get())) notes += r.text.size();
    EXPECT_TRUE(notes >= 4000u && notes <= 4096u) << notes;
    int reads = 0;
    while (ReadOnce(all.get()).n > 0) reads++;
    EXPECT_LE(reads, 1025);  // not 3,000 deletions
}

const uid_t kNobody = systemtest::Deployment::kNobody;

std::set<std::string> Names(const std::string &dir) {
    std::set<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.insert(e.path().filename());
    return names;
}

// An object's owner against ppsfs's save tree (-p), which ppsfs, as root,
// writes and cleans up: nobody cannot enter it, and links planted in it (as
// nobody could when its entries were given the objects' owners) are
// replaced or unlinked, never written through or descended into.
TEST_F(HostileTest, SaveTreeIsClosedAndItsLinksAreNeverFollowed) {
    const std::string save = base_ + "/saved", outside = base_ + "/outside",
                      target = outside + "/target", d = save + "/d";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    std::ofstream(target) << "root's own\n";
    ASSERT_EQ(chmod(target.c_str(), 0644), 0);
    auto outside_state = [&] {
        return ReadFile(target) + StatText(target) + StatText(outside) +
               std::to_string(Names(outside).size());
    };
    const std::string untouched = outside_state();

    Unmount();
    Mount({"--persist", save});
    for (const char *dir : {"d", "e"})  // directories nobody owns
        ASSERT_TRUE(mkdir(P(dir).c_str(), 0755) == 0 &&
                    chown(P(dir).c_str(), kNobody, kNobody) == 0);
    auto save_obj = [&] {
        NobodyHere nobody;
        Fd o = Open("d/obj", O_WRONLY | O_CREAT, 0644);
        EXPECT_EQ(WriteText(o.get(), "a::1\n"), 0);
        EXPECT_EQ(fsync(o.get()), 0);
    };
    save_obj();
    ASSERT_GE(Open("e/obj", O_WRONLY | O_CREAT, 0644).get(), 0);  // saved at the end
    EXPECT_EQ(StatText(save), "dir 0700 0:0");

    struct {
        const char *what;
        std::function<int()> call;  // -1 and errno on failure
    } attempts[] = {
        {"list the tree", [&] { return open(save.c_str(), O_RDONLY | O_DIRECTORY); }},
        {"read the saved object", [&] { return open((d + "/obj").c_str(), O_RDONLY); }},
        {"plant obj@ppsfs-tmp",
         [&] { return symlink(target.c_str(), (d + "/obj@ppsfs-tmp").c_str()); }},
        {"plant a directory link", [&] { return symlink(outside.c_str(), (save + "/e").c_str()); }},
        {"move the saved object aside",
         [&] { return rename((d + "/obj").c_str(), (d + "/x").c_str()); }},
    };
    for (const auto &a : attempts) {
        SCOPED_TRACE(a.what);
        EXPECT_EQ(AsNobody([&] { return a.call() >= 0 ? 0 : errno; }), EACCES);
    }

    // Links already in the tree (put there as root, as nobody could before
    // the tree was closed): at the temporaries' names, in place of the
    // saved object and of a directory's metadata, in place of a saved
    // directory, and one the tree no longer has, which the save removes.
    ASSERT_TRUE(unlink((d + "/obj").c_str()) == 0 && unlink((d + "/@ppsfs-dir").c_str()) == 0);
    for (const std::string &link : {d + "/obj", d + "/obj@ppsfs-tmp", d + "/@ppsfs-tmp",
                                    d + "/@ppsfs-dir", save + "/@ppsfs-tmp"})
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
    for (const std::string &link : {save + "/e", save + "/gone"})
        ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0) << link;
    save_obj();
    EXPECT_EQ(outside_state(), untouched);
    Unmount();  // saves everything
    EXPECT_EQ(outside_state(), untouched);
    EXPECT_EQ(StatText(d + "/obj"), "file 0600 0:0");
    EXPECT_EQ(Names(save), (std::set<std::string>{"d", "e"}));

    // Before the next start: the saved directory handed back to nobody and
    // opened to all (as earlier versions left it), a link in it, a file of
    // nobody's whose header claims a root object, and a directory's
    // metadata of nobody's.
    ASSERT_TRUE(chown(d.c_str(), kNobody, kNobody) == 0 && chmod(d.c_str(), 0777) == 0);
    ASSERT_EQ(symlink(target.c_str(), (d + "/planted").c_str()), 0);
    std::ofstream(d + "/forged") << "#ppsfs mode=4755 uid=0 gid=0\n@forged\nx::1\n";
    ASSERT_EQ(chown((d + "/forged").c_str(), kNobody, kNobody), 0);
    const std::string meta = save + "/e/@ppsfs-dir";
    ASSERT_EQ(unlink(meta.c_str()), 0);
    std::ofstream(meta) << "#ppsfs mode=4777 uid=0 gid=0\n";
    ASSERT_EQ(chown(meta.c_str(), kNobody, kNobody), 0);
    Mount({"--persist", save});
    EXPECT_EQ(StatText(d), "dir 0700 0:0");  // taken back as it loads
    EXPECT_EQ(Cat("d/obj"), "@obj\na::1\n");
    EXPECT_EQ(StatText(P("d/obj")), "file 0644 65534:65534");
    for (const char *gone : {"d/planted", "d/forged", "e"})
        EXPECT_EQ(StatText(P(gone)), strerror(ENOENT)) << gone;
    Unmount();
    EXPECT_EQ(outside_state(), untouched);
    EXPECT_EQ(StatText(d + "/planted").substr(0, 4), "link");  // kept for someone to look at
}

// ppsfs will not use a save directory that anyone but root or its own user
// could change (a link swapped in, or another user's entries): it says why
// and exits 1 before mounting.
TEST_F(HostileTest, SaveDirectoryOthersCouldChangeIsRefused) {
    const std::string real = base_ + "/real";
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    auto dir = [&](const std::string &name, mode_t mode, uid_t owner) {
        const std::string path = base_ + "/" + name;
        EXPECT_TRUE(mkdir(path.c_str(), 0700) == 0 && chmod(path.c_str(), mode) == 0 &&
                    chown(path.c_str(), owner, owner) == 0);  // chmod: past the umask
        return path;
    };
    ASSERT_EQ(symlink(real.c_str(), (base_ + "/link").c_str()), 0);
    ASSERT_EQ(symlink(base_.c_str(), (base_ + "/up").c_str()), 0);
    const std::string group = " is writable by group or others";
    const struct {
        std::string path, says;
    } cases[] = {
        {dir("ww", 0777, 0), "it" + group + " (mode 0777)"},
        {dir("gw", 0770, 0), "it" + group + " (mode 0770)"},
        {dir("nb", 0700, kNobody), "it is owned by uid 65534, not by ppsfs's user (uid 0)"},
        {base_ + "/link", "it is a symbolic link"},
        {dir("open", 0777, 0) + "/saved", base_ + "/open" + group},
        {dir("shared", 0775, 0) + "/saved", base_ + "/shared" + group},
        {dir("theirs", 0755, kNobody) + "/saved",
         base_ + "/theirs is owned by uid 65534 (it must be root's or ppsfs's user's)"},
        {base_ + "/up/saved", base_ + "/up is a symbolic link (give the path without links)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        const std::string err = base_ + "/stderr";
        testsupport::Child ppsfs;
        ASSERT_TRUE(ppsfs.Start({PPSFS_BIN, "--foreground", "-p", c.path, dir_}, "", err));
        int status = ppsfs.Wait(5000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
        EXPECT_EQ(testsupport::WithoutLogStamps(ReadFile(err)),
                  "ppsfs: error: save directory " + c.path + ": " + c.says + "\n");
    }
    EXPECT_EQ(Names(real), std::set<std::string>{});
}

// Every file a tool run as root is told to write, given in a directory that
// others can write to (as /tmp): a link another user planted there to a
// root-only file is not followed, and the tool says so.
TEST_F(HostileTest, NoToolWritesThroughALinkAnotherUserPlanted) {
    const std::string shared = base_ + "/shared", secret = base_ + "/secret",
                      link = shared + "/planted", mnt = base_ + "/mnt2", err = base_ + "/stderr";
    ASSERT_EQ(mkdir(shared.c_str(), 0755) | chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    std::ofstream(secret) << "root only\n";
    std::ofstream(base_ + "/rec.jsonl")
        << "{\"time\":\"2026-01-01T00:00:00.000Z\",\"command\":\"nitz\"}\n";
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    ASSERT_EQ(AsNobody([&] { return symlink(secret.c_str(), link.c_str()); }), 0);
    const struct {
        std::vector<std::string> args;
        int status;
        bool mounts;  // runs until unmounted; the file is written at the end
    } cases[] = {
        {{PPSFS_BIN, "--foreground", "--log", link, mnt}, 1, false},
        {{PPSFS_BIN, "--foreground", "--stats", link, mnt}, 0, true},
        {{TECHMODE_SIM_BIN, "-f", "--record-replies", link, mnt}, 2, false},
        {{DIAGCTL_BIN, "record", "-o", link, "--count", "1", "--pps", base_, "nitz"}, 5, false},
        {{DIAGCTL_BIN, "export", "--csv", "-o", link, base_ + "/rec.jsonl"}, 5, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args[2]);
        testsupport::Child tool;
        ASSERT_TRUE(tool.Start(c.args, "", err));
        if (c.mounts) {
            ASSERT_TRUE(testsupport::WaitForMount(mnt));
            EXPECT_EQ(umount2(mnt.c_str(), 0), 0);
        }
        const int status = tool.Wait(10000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << "status " << status;
        EXPECT_NE(ReadFile(err).find(link + " is a symbolic link"), std::string::npos)
            << ReadFile(err);
        EXPECT_EQ(ReadFile(secret), "root only\n");
    }
}

}  // namespace
}  // namespace ppsfs_test

namespace systemtest {
namespace {

using ppsfs_test::AsUser;

// The whole system as deployed.
using DeployedSystem = DiagctlSystem;

// The tech-mode device gives out the subscriber's identities: only root
// and the daemon's group open it. The scenario, which holds them too, is
// read by that group and replaced by root alone; so is the clock set (it
// changes what the modem reports). The diag objects are for root and the
// diagnostics group. The daemon runs as its own user and the stand-ins as
// root, so no other user's process may signal them.
TEST_F(DeployedSystem, OnlyTheirGroupsOpenSignalOrUseIt) {
    ASSERT_NO_FATAL_FAILURE(StartSimulator());
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    const std::string uid = std::to_string(dep_.daemon_uid);
    ASSERT_NE(ReadFile("/proc/" + std::to_string(daemon_.pid()) + "/status")
                  .find("\nUid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\n"),
              std::string::npos);
    const std::string dev = "/dev/radio/cellular/", device = dev + "techmode",
                      scenario = dev + "scenario", clock = dev + "clock";
    const std::vector<gid_t> outsider, diag = {dep_.diag_gid}, daemon = {dep_.daemon_gid};
    const struct {
        const std::vector<gid_t> &groups;
        std::string path;
        int flags, err;
    } opens[] = {
        {outsider, device, O_RDWR, EACCES},
        {outsider, device, O_RDONLY, EACCES},
        {outsider, scenario, O_RDONLY, EACCES},
        {outsider, scenario, O_WRONLY | O_TRUNC, EACCES},
        {diag, device, O_RDWR, EACCES},
        {daemon, device, O_RDWR, 0},
        {daemon, scenario, O_RDONLY, 0},
        {daemon, scenario, O_WRONLY | O_TRUNC, EACCES},
        {outsider, clock, O_WRONLY, EACCES},
        {daemon, clock, O_WRONLY, EACCES},
        {outsider, kDiag + "/status_data", O_RDONLY, EACCES},
        {outsider, kDiag + "/status_utra?delta", O_RDONLY, EACCES},
        {outsider, kDiag + "/control", O_RDWR, EACCES},
        {outsider, kDiag + "/control?server", O_RDWR, EACCES},
        {outsider, kDiag + "/config", O_WRONLY, EACCES},
        {outsider, kDiag + "/planted", O_WRONLY | O_CREAT, EACCES},
    };
    for (const auto &c : opens) {
        auto try_it = [&] {
            int fd = open(c.path.c_str(), c.flags, 0666);
            return fd < 0 ? errno : close(fd);
        };
        EXPECT_EQ(AsUser(Deployment::kNobody, Deployment::kNobody, try_it, c.groups), c.err)
            << c.path << " flags " << c.flags << " groups " << testing::PrintToString(c.groups);
    }
    // No other user's process signals the daemon or the stand-ins.
    for (pid_t pid : {daemon_.pid(), ppsfs_.pid(), sim_.pid()})
        for (const std::vector<gid_t> *groups : {&outsider, &diag, &daemon})
            for (int sig : {SIGTERM, SIGKILL, SIGSTOP, 0}) {
                auto try_it = [&] { return kill(pid, sig) == 0 ? 0 : errno; };
                EXPECT_EQ(AsUser(Deployment::kNobody, Deployment::kNobody, try_it, *groups), EPERM)
                    << "pid " << pid << " signal " << sig << " groups "
                    << testing::PrintToString(*groups);
            }
    EXPECT_TRUE(daemon_.running());
    // An outsider reaches no diag object through diagctl either, which says
    // why; a member uses diagctl as root does, gsm-time (a write to config)
    // included.
    const std::string denied = "Permission denied (" + kDiag +
                               " is open to root and members of group " + Deployment::kDiagGroup +
                               " only";
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"identity"}, std::vector<std::string>{"gsm-time", "on"}}) {
        const Ran r = Diagctl(args, true);
        EXPECT_EQ(r.status, 5) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(denied), std::string::npos) << r.out << r.err;
        EXPECT_EQ(Diagctl(args).status, 0) << args.back();
    }
    EXPECT_NE(Diagctl({"identity"}).out.find("IMSI    310150123456789fff"), std::string::npos);
    EXPECT_NE(ReadFile(kDiag + "/config").find("gsm_time_enable::1"), std::string::npos);
}

}  // namespace
}  // namespace systemtest
