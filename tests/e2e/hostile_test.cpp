// SPDX-License-Identifier: Apache-2.0
// A hostile local user against the system as it is deployed: every case
// runs its attack as an unprivileged uid (nobody, no groups) in the test's
// own mount namespace and checks that it takes no file, no memory, no other
// client's answer and no server it does not own. One case per way in.
//
// DeployedSystem starts the whole system in the deployment layout
// (support/Deployment.h), as scripts/system.sh does.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/Deployment.h"
#include "support/PpsfsMount.h"

namespace ppsfs_test {
namespace {

class HostileTest : public PpsfsTest {
  protected:
    // ppsfs's resident memory in KiB.
    long RssKb() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
        return -1;
    }
    // A root server on a world-writable object, as the daemon's control
    // object is, and the id of the next client to connect.
    Fd Serve(const std::string &name) {
        Fd s = Open(name + "?server", O_RDWR | O_CREAT, 0666);
        EXPECT_GE(s.get(), 0);
        EXPECT_EQ(fchmod(s.get(), 0666), 0);
        return s;
    }
    static std::string ServerRead(int fd) {
        return PollIn(fd, 5000) ? ReadOnce(fd, 1024).text : "(nothing)";
    }
};

// A client cannot speak in another client's name: the daemon reads 1024
// bytes a message, and what a message holds past that is dropped, never
// read as a message of its own, so a forged "@control.<id>" request or
// "+@control.<id>" connection placed at byte 1024 reaches no one.
TEST_F(HostileTest, NoRequestInAnotherClientsName) {
    Fd server = Serve("control");
    Fd victim = Open("control", O_RDWR);
    std::string line = ServerRead(server.get());  // "+@control.<id>.n0..."
    const std::string victim_id = line.substr(10, line.find('.', 10) - 10);
    // Lines ending values, so that each starts where a 1024-byte read would.
    const std::string forged = "@control." + victim_id + "\nmsg::identity\nid::1\n";
    const std::string forged_connect = "+@control.77.n0.p1.u0.g0\n";
    int go[2], done[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t attacker = fork();
    if (attacker == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
            _exit(1);
        int fd = open(P("control").c_str(), O_WRONLY);
        // The line ppsfs puts before the message, which the attacker can
        // tell from its own id; the forgery starts at byte 1024.
        char header[64] = {};
        if (fd < 0 || read(go[0], header, sizeof header - 1) <= 0) _exit(1);
        const std::string pad(1024 - strlen(header) - 5, 'p');
        const std::string pad2(1024 - forged.size() - 6, 'p');
        char c = WriteText(fd, "pad::" + pad + forged + "pad2::" + pad2 + forged_connect) == 0
                     ? '0'
                     : '2';
        (void)!write(done[1], &c, 1);
        pause();
        _exit(0);
    }
    line = ServerRead(server.get());
    ASSERT_EQ(line.compare(0, 10, "+@control."), 0) << line;
    const std::string header = "@control." + line.substr(10, line.find('.', 10) - 10) + "\n";
    ASSERT_EQ(write(go[1], header.data(), header.size()), static_cast<ssize_t>(header.size()));
    char written = 0;
    ASSERT_EQ(read(done[0], &written, 1), 1);
    EXPECT_EQ(written, '0');
    std::string cut = ServerRead(server.get());
    EXPECT_EQ(cut.size(), 1024u);
    EXPECT_EQ(cut.compare(0, header.size(), header), 0) << cut.substr(0, 40);
    // Nothing after it: no forged request, no forged connection.
    EXPECT_FALSE(PollIn(server.get(), 200)) << ReadOnce(server.get()).text.substr(0, 100);
    KillChild(attacker);
    for (int fd : {go[0], go[1], done[0], done[1]}) close(fd);
    EXPECT_EQ(ServerRead(server.get()).compare(0, 10, "-@control."), 0);
}

// Unread changes cost ppsfs one copy per object, not one per open, and
// only root may let an open fall further behind than the backlog: 300
// delta opens that never read keep ppsfs's memory flat, and it stays so.
TEST_F(HostileTest, DeltaOpensThatNeverReadCostNoMemory) {
    // Under AddressSanitizer freed memory is held back for a while, which
    // would count as ppsfs's: hold back almost none.
    const char *set = getenv("ASAN_OPTIONS");
    const std::string asan = set != nullptr ? set : "";
    setenv("ASAN_OPTIONS", (asan + ":quarantine_size_mb=1").c_str(), 1);
    Unmount();
    Mount();
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    Fd w = Open("status", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(w.get(), 0);
    ASSERT_EQ(WriteText(w.get(), "a::1\n"), 0);
    const std::string hog = P("status?delta,backlog=1073741824");
    EXPECT_EQ(AsNobody([&] { return open(hog.c_str(), O_RDONLY) < 0 ? errno : 0; }), EPERM);
    char ready = 0;
    pid_t reader = StartChild(
        [&](int done) {
            if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                setresuid(65534, 65534, 65534) != 0)
                _exit(1);
            std::vector<char> buf(4096);
            for (int i = 0; i < 300; i++) {
                int fd = open(P("status?delta").c_str(), O_RDONLY | O_NONBLOCK);
                if (fd < 0 || read(fd, buf.data(), buf.size()) <= 0) _exit(1);
            }
            char c = 'r';
            (void)!write(done, &c, 1);
        },
        &ready);
    ASSERT_EQ(ready, 'r');
    const long before = RssKb();
    const std::string change = "a::" + std::string(64 * 1024, 'v') + "\n";
    for (int i = 0; i < 1000; i++) ASSERT_EQ(WriteText(w.get(), change), 0) << i;  // 64 MB
    const long after = RssKb();
    KillChild(reader);
    // One copy per open would be 300 x 256 KiB = 75 MiB.
    EXPECT_LT(after - before, 16 * 1024) << before << " KiB -> " << after << " KiB";
}

// A client that floods its server is held back alone: its own writes fail
// with EAGAIN once its share is waiting, other clients still get through
// to the server, and the server reads the clients in turn, so another
// client's request does not wait behind the flood. Many small messages
// weigh what they cost, not only their text.
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
        EXPECT_GE(at, 0);
        EXPECT_LE(at, 4);  // connections, one message of the flood, then it
        EXPECT_LE(reads, f.most + 5);
    }
}

// Only an object's owner (or root) may become the server of an existing
// object: after the server dies, no one else can take its clients.
TEST_F(HostileTest, NoOneElseServesAnObjectWhoseServerDied) {
    Serve("control").Reset();
    auto serve = [&](const std::string &name) {
        return AsNobody([&] {
            int fd = open(P(name + "?server").c_str(), O_RDWR | O_CREAT, 0666);
            return fd < 0 ? errno : 0;
        });
    };
    EXPECT_EQ(serve("control"), EACCES);
    ASSERT_EQ(chmod(dir_.c_str(), 01777), 0);
    EXPECT_EQ(serve("own"), 0);  // a new object is the creator's
    EXPECT_GE(Serve("control").get(), 0);
}

// .all delta opens read the directory as it is, copying nothing: many of
// them, each stopped at a read too small for its first object, queue
// nothing, so other users' clients still get through a small total limit.
TEST_F(HostileTest, AllOpensQueueNothingForOthersToWaitOn) {
    Unmount();
    Mount({"--total-limit", "64"});
    ASSERT_EQ(mkdir(P("d").c_str(), 0755), 0);
    for (int i = 0; i < 20; i++) {
        Fd w = Open("d/o" + std::to_string(i), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(WriteText(w.get(), "v::" + std::string(10000, 'v') + "\n"), 0);
    }
    Fd server = Serve("control");
    char ready = 0;
    pid_t hog = StartChild(
        [&](int done) {
            if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                setresuid(65534, 65534, 65534) != 0)
                _exit(1);
            char one;
            for (int i = 0; i < 40; i++) {
                int fd = open(P("d/.all?delta").c_str(), O_RDONLY | O_NONBLOCK);
                if (fd < 0 || read(fd, &one, 1) != -1 || errno != EMSGSIZE) _exit(1);
            }
            char c = 'h';
            (void)!write(done, &c, 1);
        },
        &ready);
    ASSERT_EQ(ready, 'h');
    Fd client = Open("control", O_WRONLY);
    ASSERT_GE(client.get(), 0) << strerror(errno);
    EXPECT_EQ(WriteText(client.get(), "msg::identity\n"), 0);
    KillChild(hog);
}

// A server object unlinked while served, then its server closed: its
// clients write on to no server (EPIPE), and ppsfs stays up (it used to
// deliver to the freed server's memory).
TEST_F(HostileTest, ClientsOfAnUnlinkedObjectOutliveItsServer) {
    ASSERT_EQ(chmod(dir_.c_str(), 01777), 0);
    EXPECT_EQ(AsNobody([&] {
                  int server = open(P("s?server").c_str(), O_RDWR | O_CREAT, 0666);
                  int client = open(P("s").c_str(), O_RDWR);
                  if (server < 0 || client < 0 || unlink(P("s").c_str()) != 0) return 1;
                  close(server);
                  int other = open(P("t").c_str(), O_RDWR | O_CREAT, 0666);
                  return other >= 0 && WriteText(client, "a::1\n") == EPIPE ? 0 : 2;
              }),
              0);
    EXPECT_GE(Open("alive", O_RDWR | O_CREAT).get(), 0);
}

// Names that would read back as PPS syntax and JSON deeper than a reader
// decodes are refused, not stored for every reader to trip on.
TEST_F(HostileTest, NothingStoredThatReadersCannotRead) {
    for (const char *name : {"-x", "+x", "#x", "*x", "|x", "[n]x"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Open(name, O_WRONLY | O_CREAT).get(), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(mkdir(P(name).c_str(), 0755), -1);
        EXPECT_EQ(errno, EINVAL);
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
// closed to others, in a directory open to all, stays closed through it.
TEST_F(HostileTest, AllShowsNoObjectItsReaderMayNotRead) {
    ASSERT_EQ(mkdir(P("d").c_str(), 0755), 0);
    Fd secret = Open("d/secret", O_WRONLY | O_CREAT, 0600);
    Fd shared = Open("d/open", O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(WriteText(secret.get(), "imsi::262019876543210\n"), 0);
    ASSERT_EQ(WriteText(shared.get(), "a::1\n"), 0);
    const char *const opens[3] = {"d/.all", "d/.all?delta", "d/.all?delta,wait"};
    char ready = 0;
    int done[2];
    ASSERT_EQ(pipe(done), 0);
    pid_t reader = fork();
    if (reader == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
            _exit(1);
        int fds[3];
        for (int i = 0; i < 3; i++) fds[i] = open(P(opens[i]).c_str(), O_RDONLY | O_NONBLOCK);
        std::string text;
        for (int fd : fds)
            for (Rd r = ReadOnce(fd); r.n > 0; r = ReadOnce(fd)) text += r.text;
        ready = '1';
        (void)!write(done[1], &ready, 1);
        // After the secret changes, what reaches the reader.
        if (read(done[0], &ready, 1) != 1) _exit(1);
        usleep(100000);
        for (int fd : fds)
            for (Rd r = ReadOnce(fd); r.n > 0; r = ReadOnce(fd)) text += r.text;
        (void)!write(done[1], text.data(), text.size());
        _exit(0);
    }
    ASSERT_EQ(read(done[0], &ready, 1), 1);
    ASSERT_EQ(WriteText(secret.get(), "imsi::262019999999999\n"), 0);
    ASSERT_EQ(ftruncate(secret.get(), 0), 0);
    ASSERT_EQ(write(done[1], "go", 1), 1);
    int status = 0;
    waitpid(reader, &status, 0);
    std::string text(65536, '\0');
    ssize_t n = read(done[0], &text[0], text.size());
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    EXPECT_EQ(text.find("imsi"), std::string::npos) << text;
    EXPECT_EQ(text.find("@secret"), std::string::npos) << text;
    EXPECT_NE(text.find("a::1"), std::string::npos) << text;
    close(done[0]);
    close(done[1]);
}

// Objects made and removed under new names, and group members that come
// and go, cannot grow what a .all or .notify open that never reads holds:
// the .all open starts again from the objects that exist, the group's
// lines stop at the client limit.
TEST_F(HostileTest, SpecialFilesHoldNoEndlessBacklog) {
    Unmount();
    Mount({"--client-limit", "4"});
    ASSERT_EQ(mkdir(P("open").c_str(), 0755), 0);
    ASSERT_EQ(chmod(P("open").c_str(), 01777), 0);
    Fd all = Open("open/.all", O_RDONLY | O_NONBLOCK);
    const int rc = AsNobody([&] {
        for (int i = 0; i < 3000; i++) {
            const std::string name = P("open/o" + std::to_string(i));
            int fd = open(name.c_str(), O_WRONLY | O_CREAT, 0644);
            if (fd < 0 || close(fd) != 0 || unlink(name.c_str()) != 0) return 1;
        }
        // Its own group, never read, with members that come and go.
        int n = open(P(".notify").c_str(), O_RDONLY | O_NONBLOCK);
        if (n < 0 || close(open(P("open/m").c_str(), O_WRONLY | O_CREAT, 0644)) != 0) return 2;
        std::string group = ReadOnce(n).text;
        group.pop_back();
        for (int i = 0; i < 2000; i++) {
            int fd = open(P("open/m?notify=" + group + ":" + std::to_string(i)).c_str(), O_RDONLY);
            if (fd >= 0) close(fd);
        }
        std::size_t notes = 0;
        for (Rd r = ReadOnce(n); r.n > 0; r = ReadOnce(n)) notes += r.text.size();
        return notes <= 4096 && notes >= 4000 ? 0 : 3;
    });
    EXPECT_EQ(rc, 0);
    int reads = 0;
    while (ReadOnce(all.get()).n > 0) reads++;
    EXPECT_LE(reads, 1025);  // not 3,000 deletions
}

const uid_t kNobody = testsupport::Deployment::kNobody;

std::set<std::string> Names(const std::string &dir) {
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *de = readdir(d)) names.insert(de->d_name);
        closedir(d);
    }
    return names;
}

// An object's owner against ppsfs's save tree (-p), which ppsfs, as root,
// writes, chowns and cleans up: nobody cannot enter it, and links planted
// in it (as nobody could, while its files and directories were given the
// objects' owners) are replaced or unlinked, never written through or
// descended into.
TEST_F(HostileTest, SaveTreeIsClosedAndItsLinksAreNeverFollowed) {
    const std::string save = base_ + "/saved", outside = base_ + "/outside";
    const std::string target = outside + "/target";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    std::ofstream(target) << "root's own\n";
    ASSERT_EQ(chmod(target.c_str(), 0644), 0);
    auto outside_unchanged = [&] {
        struct stat st;
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        EXPECT_EQ(testsupport::ReadFile(target), "root's own\n");
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_gid, 0u);
        ASSERT_EQ(stat(outside.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(Names(outside), (std::set<std::string>{".", "..", "target"}));
    };

    Unmount();
    Mount({"--persist", save});
    for (const char *d : {"d", "e"}) {  // directories nobody owns
        ASSERT_EQ(mkdir(P(d).c_str(), 0755), 0);
        ASSERT_EQ(chown(P(d).c_str(), kNobody, kNobody), 0);
    }
    auto save_obj = [&] {
        return AsNobody([&] {
            Fd o = Open("d/obj", O_WRONLY | O_CREAT, 0644);
            return o.get() >= 0 && WriteText(o.get(), "a::1\n") == 0 && fsync(o.get()) == 0 ? 0 : 1;
        });
    };
    ASSERT_EQ(save_obj(), 0);
    struct stat st;
    ASSERT_EQ(stat(save.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    struct {
        const char *what;
        std::function<int()> call;  // -1 and errno on failure
    } attempts[] = {
        {"list the tree",
         [&] {
             DIR *d = opendir(save.c_str());
             if (d != nullptr) closedir(d);
             return d != nullptr ? 0 : -1;
         }},
        {"read the saved object", [&] { return open((save + "/d/obj").c_str(), O_RDONLY); }},
        {"plant obj@ppsfs-tmp",
         [&] { return symlink(target.c_str(), (save + "/d/obj@ppsfs-tmp").c_str()); }},
        {"plant a directory link", [&] { return symlink(outside.c_str(), (save + "/e").c_str()); }},
        {"move the saved object aside",
         [&] { return rename((save + "/d/obj").c_str(), (save + "/d/x").c_str()); }},
    };
    for (const auto &a : attempts) {
        SCOPED_TRACE(a.what);
        EXPECT_EQ(AsNobody([&] { return a.call() >= 0 ? 0 : errno; }), EACCES);
    }

    // Links already in the tree (put there as root, as nobody could before
    // the tree was closed): at the temporaries' names, in place of the
    // saved object and of a directory's metadata, in place of a saved
    // directory, and one the tree no longer has, which the save removes.
    const std::string d = save + "/d";
    ASSERT_EQ(unlink((d + "/obj").c_str()), 0);
    ASSERT_EQ(unlink((d + "/@ppsfs-dir").c_str()), 0);
    for (const std::string &link : {d + "/obj", d + "/obj@ppsfs-tmp", d + "/@ppsfs-tmp",
                                    d + "/@ppsfs-dir", save + "/@ppsfs-tmp"})
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
    for (const std::string &link : {save + "/e", save + "/gone"})
        ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0) << link;
    ASSERT_EQ(save_obj(), 0);
    outside_unchanged();
    Unmount();  // saves everything
    outside_unchanged();
    ASSERT_EQ(lstat((d + "/obj").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(Names(save), (std::set<std::string>{".", "..", "d", "e"}));

    // Before the next start: the saved directory handed back to nobody and
    // opened to all (as earlier versions left it), a link in it, and a file
    // of nobody's whose header claims a root object.
    ASSERT_EQ(chown(d.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chmod(d.c_str(), 0777), 0);
    ASSERT_EQ(symlink(target.c_str(), (d + "/planted").c_str()), 0);
    std::ofstream(d + "/forged") << "#ppsfs mode=4755 uid=0 gid=0\n@forged\nx::1\n";
    ASSERT_EQ(chown((d + "/forged").c_str(), kNobody, kNobody), 0);
    Mount({"--persist", save});
    ASSERT_EQ(stat(d.c_str(), &st), 0);  // taken back as it loads
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(Cat("d/obj"), "@obj\na::1\n");
    ASSERT_EQ(stat(P("d/obj").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    for (const char *skipped : {"d/planted", "d/forged"}) {
        SCOPED_TRACE(skipped);
        EXPECT_EQ(stat(P(skipped).c_str(), &st), -1);
        EXPECT_EQ(errno, ENOENT);
    }
    Unmount();
    outside_unchanged();
    ASSERT_EQ(lstat((d + "/planted").c_str(), &st), 0);  // kept for someone to look at
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// ppsfs will not use a save directory that anyone but root or its own user
// could change (a link swapped in, or another user's entries): it says why
// and exits 1 before mounting.
TEST_F(HostileTest, SaveDirectoryOthersCouldChangeIsRefused) {
    const std::string real = base_ + "/real";
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    auto dir = [&](const std::string &name, mode_t mode, uid_t owner) {
        std::string path = base_ + "/" + name;
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);  // past the umask
        EXPECT_EQ(chown(path.c_str(), owner, owner), 0);
        return path;
    };
    struct {
        const char *what;
        std::function<std::string()> make;  // returns the -p argument
        std::string says;
    } cases[] = {
        {"world-writable", [&] { return dir("ww", 0777, 0); },
         "it is writable by group or others (mode 0777)"},
        {"group-writable", [&] { return dir("gw", 0770, 0); },
         "it is writable by group or others (mode 0770)"},
        {"another user's", [&] { return dir("nb", 0700, kNobody); },
         "it is owned by uid 65534, not by ppsfs's user (uid 0)"},
        {"a symbolic link",
         [&] {
             EXPECT_EQ(symlink(real.c_str(), (base_ + "/link").c_str()), 0);
             return base_ + "/link";
         },
         "it is a symbolic link"},
        {"in a world-writable directory", [&] { return dir("open", 0777, 0) + "/saved"; },
         base_ + "/open is writable by group or others"},
        {"in another user's directory", [&] { return dir("theirs", 0755, kNobody) + "/saved"; },
         base_ + "/theirs is owned by uid 65534 (it must be root's or ppsfs's user's)"},
        {"through a link",
         [&] {
             EXPECT_EQ(symlink(base_.c_str(), (base_ + "/up").c_str()), 0);
             return base_ + "/up/saved";
         },
         base_ + "/up is a symbolic link (give the path without links)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = c.make(), err = base_ + "/stderr";
        testsupport::Child ppsfs;
        ASSERT_TRUE(ppsfs.Start({PPSFS_BIN, "--foreground", "-p", path, dir_}, "", err));
        int status = ppsfs.Wait(5000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
        EXPECT_EQ(testsupport::WithoutLogStamps(testsupport::ReadFile(err)),
                  "ppsfs: error: save directory " + path + ": " + c.says + "\n");
    }
    EXPECT_EQ(Names(real), (std::set<std::string>{".", ".."}));
}

using testsupport::Deployment;

const std::string kDiag = Deployment::kDiag;
const std::string kDeviceDir = "/dev/radio/cellular";

class DeployedSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = dep_.LookUp();
        if (!why.empty()) GTEST_SKIP() << why;
        why = testsupport::EnterPrivateDev();
        if (!why.empty()) GTEST_SKIP() << why;
        alarm(120);  // a hung test is killed, and its children with it
        dir_ = testsupport::MakeTempDir("hostile");
        ASSERT_FALSE(dir_.empty());
        ASSERT_EQ(system(("mkdir -p /pps " + kDeviceDir).c_str()), 0);
        ASSERT_TRUE(ppsfs_.Start({PPSFS_BIN, "-f", "/pps"}, "", dir_ + "/ppsfs.err"));
        ASSERT_TRUE(testsupport::WaitForMount("/pps"))
            << testsupport::ReadFile(dir_ + "/ppsfs.err");
        ASSERT_EQ(dep_.MakeLayout(), "");
        std::vector<std::string> sim = {TECHMODE_SIM_BIN, "-f"};
        for (const std::string &o : dep_.DeviceOptions()) sim.push_back(o);
        sim.push_back(kDeviceDir);
        ASSERT_TRUE(sim_.Start(sim, "", dir_ + "/sim.err"));
        ASSERT_TRUE(testsupport::WaitForMount(kDeviceDir))
            << testsupport::ReadFile(dir_ + "/sim.err");
        // Started with no umask, as deployed: its objects get the 0666 it asks for.
        mode_t mask = umask(0);
        bool started = daemon_.Start({QRX_VELOMAR_SERVER_BIN, "-U", Deployment::kDaemonUser},
                                     dir_ + "/daemon.out", dir_ + "/daemon.err");
        umask(mask);
        ASSERT_TRUE(started);
        bool answers = false;
        for (int i = 0; i < 500 && !answers && daemon_.running(); i++) {
            answers = Answers();
            if (!answers) usleep(10000);
        }
        ASSERT_TRUE(answers) << "the daemon does not answer";
    }

    void TearDown() override {
        daemon_.Stop(SIGTERM);
        sim_.Stop(SIGTERM);
        ppsfs_.Stop(SIGTERM);
        umount2(kDeviceDir.c_str(), MNT_DETACH);
        umount2("/pps", MNT_DETACH);
        if (!dir_.empty()) (void)!system(("rm -rf " + dir_).c_str());
        alarm(0);
    }

    // Whether the daemon answers an identity request (as root).
    bool Answers() const {
        Fd fd(open((kDiag + "/control").c_str(), O_RDWR | O_NONBLOCK));
        if (fd.get() < 0 || WriteText(fd.get(), "msg::identity\nid::1\n") != 0) return false;
        return PollIn(fd.get(), 5000) &&
               ReadOnce(fd.get()).text.rfind("@control\nres::identity\nid::1\n", 0) == 0;
    }

    // Runs diagctl with args as uid kNobody with the groups given; its exit
    // status, and its standard output and error in *out.
    int DiagctlAs(const std::vector<gid_t> &groups, const std::vector<std::string> &args,
                  std::string *out) const {
        std::vector<std::string> argv = {DIAGCTL_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        testsupport::Child c;
        c.RunAs(kNobody, kNobody, groups);
        c.Start(argv, dir_ + "/diagctl.out", dir_ + "/diagctl.err");
        int status = c.Wait(30000);
        *out = testsupport::ReadFile(dir_ + "/diagctl.out") +
               testsupport::ReadFile(dir_ + "/diagctl.err");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_;
    Deployment dep_;
    testsupport::Child ppsfs_, sim_, daemon_;
};

// The tech-mode device gives out the subscriber's identities: only root
// and the daemon's group open it. The scenario, which holds them too, is
// read by that group and replaced by root alone; so is the clock set.
TEST_F(DeployedSystem, OnlyTheDaemonsGroupOpensTheDevice) {
    const std::string device = kDeviceDir + "/techmode", scenario = kDeviceDir + "/scenario",
                      clock = kDeviceDir + "/clock";
    struct {
        const char *who;
        std::vector<gid_t> groups;
        std::string path;
        int flags, err;
    } cases[] = {
        {"outsider", {}, device, O_RDWR, EACCES},
        {"outsider", {}, device, O_RDONLY, EACCES},
        {"outsider", {}, scenario, O_RDONLY, EACCES},
        {"outsider", {}, scenario, O_WRONLY | O_TRUNC, EACCES},
        {"diagnostics group", {dep_.diag_gid}, device, O_RDWR, EACCES},
        {"daemon's group", {dep_.daemon_gid}, device, O_RDWR, 0},
        {"daemon's group", {dep_.daemon_gid}, scenario, O_RDONLY, 0},
        {"daemon's group", {dep_.daemon_gid}, scenario, O_WRONLY | O_TRUNC, EACCES},
        // Setting the drive's clock changes what the modem reports, as a
        // scenario does.
        {"outsider", {}, clock, O_WRONLY, EACCES},
        {"daemon's group", {dep_.daemon_gid}, clock, O_WRONLY, EACCES},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.who) + " " + c.path + " flags " + std::to_string(c.flags));
        EXPECT_EQ(AsUser(
                      kNobody, kNobody,
                      [&] {
                          int fd = open(c.path.c_str(), c.flags);
                          if (fd < 0) return errno;
                          close(fd);
                          return 0;
                      },
                      c.groups),
                  c.err);
    }
}

// The diag objects (identities, cell data) and the control object are for
// root and the diagnostics group: an outsider reaches none of them, not
// even through diagctl, which says why; a member uses diagctl as root does,
// gsm-time (a write to config) included.
TEST_F(DeployedSystem, OnlyTheDiagnosticsGroupReachesTheDiagObjects) {
    struct {
        std::string path;
        int flags;
    } cases[] = {
        {kDiag + "/status_data", O_RDONLY}, {kDiag + "/status_utra?delta", O_RDONLY},
        {kDiag + "/control", O_RDWR},       {kDiag + "/control?server", O_RDWR},
        {kDiag + "/config", O_WRONLY},      {kDiag + "/planted", O_WRONLY | O_CREAT},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(AsNobody([&] {
                      int fd = open(c.path.c_str(), c.flags, 0666);
                      if (fd < 0) return errno;
                      close(fd);
                      return 0;
                  }),
                  EACCES);
    }

    std::string out;
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"identity"}, std::vector<std::string>{"gsm-time", "on"}}) {
        SCOPED_TRACE(args.back());
        EXPECT_EQ(DiagctlAs({}, args, &out), 5) << out;
        EXPECT_NE(
            out.find("Permission denied (" + kDiag + " is open to root and members of group " +
                     Deployment::kDiagGroup + " only"),
            std::string::npos)
            << out;
    }
    EXPECT_EQ(DiagctlAs({dep_.diag_gid}, {"identity"}, &out), 0) << out;
    EXPECT_NE(out.find("IMSI    310150123456789fff"), std::string::npos) << out;
    EXPECT_EQ(DiagctlAs({dep_.diag_gid}, {"gsm-time", "on"}, &out), 0) << out;
    EXPECT_NE(testsupport::ReadFile(kDiag + "/config").find("gsm_time_enable::1"),
              std::string::npos);
}

// The daemon runs as its own user, so no other user's process may signal
// it: not nobody's (which it used to run as), not a diagctl user's. The
// stand-ins run as root.
TEST_F(DeployedSystem, NoOtherUserSignalsTheDaemon) {
    std::string status =
        testsupport::ReadFile("/proc/" + std::to_string(daemon_.pid()) + "/status");
    const std::string uid = std::to_string(dep_.daemon_uid);
    ASSERT_NE(status.find("\nUid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\n"),
              std::string::npos)
        << status;
    struct {
        const char *who;
        std::vector<gid_t> groups;
        pid_t pid;
    } cases[] = {
        {"nobody: daemon", {}, daemon_.pid()},
        {"diagnostics group: daemon", {dep_.diag_gid}, daemon_.pid()},
        {"daemon's group: daemon", {dep_.daemon_gid}, daemon_.pid()},
        {"nobody: ppsfs", {}, ppsfs_.pid()},
        {"nobody: techmode-sim", {}, sim_.pid()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.who);
        for (int sig : {SIGTERM, SIGKILL, SIGSTOP, 0}) {
            SCOPED_TRACE(sig);
            EXPECT_EQ(
                AsUser(
                    kNobody, kNobody, [&] { return kill(c.pid, sig) == 0 ? 0 : errno; }, c.groups),
                EPERM);
        }
    }
    EXPECT_TRUE(daemon_.running());
    EXPECT_TRUE(Answers());
}

}  // namespace
}  // namespace ppsfs_test
