// SPDX-License-Identifier: Apache-2.0
// ppsfs server objects through a real mount: one server per object,
// connect, message and disconnect lines with client ids and credentials,
// replies to one client or to all, one message per read, nothing lost.
#include <atomic>
#include <regex>
#include <thread>

#include "support/PpsfsMount.h"

namespace ppsfs_test {
namespace {

const std::regex kConnect(R"(\+@control\.(\d+)(\..*)\n)");

class ServerTest : public PpsfsTest {
  protected:
    void SetUp() override {
        PpsfsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // Opened as the daemon opens its control object.
        server_ = Open("control?server", O_RDWR | O_CREAT | O_TRUNC, 0666);
        ASSERT_GE(server_.get(), 0);
        ASSERT_EQ(fchmod(server_.get(), 0666), 0);  // past the test's umask
    }
    void TearDown() override {
        server_.Reset();
        PpsfsTest::TearDown();
    }

    // Reads one message as the daemon does: 1024 bytes at most, after poll.
    std::string ServerRead() {
        return PollIn(server_.get(), 10000) ? ReadOnce(server_.get(), 1024).text : "(nothing)";
    }
    // The client id of the next connect line.
    std::string Connected() {
        std::smatch m;
        std::string line = ServerRead();
        EXPECT_TRUE(std::regex_match(line, m, kConnect)) << line;
        return m.empty() ? "" : m[1].str();
    }
    std::string Connect(Fd *client, int flags = O_RDWR | O_NONBLOCK) {
        *client = Open("control", flags);
        return Connected();
    }

    // Whether a poll of fd for POLLOUT, asleep while action runs, is woken
    // by it (a pipe ends the wait should nothing else).
    static bool WokenForWriting(int fd, const std::function<void()> &action) {
        int stop[2];
        if (pipe(stop) != 0) return false;
        struct pollfd waits[2] = {{fd, POLLOUT, 0}, {stop[0], POLLIN, 0}};
        std::atomic<bool> woken{false};
        std::thread waiter([&] {
            poll(waits, 2, -1);
            woken = true;
        });
        usleep(200000);  // most likely asleep in poll by now
        action();
        for (int i = 0; i < 500 && !woken; i++) usleep(10000);
        (void)!write(stop[1], "x", 1);
        waiter.join();
        close(stop[0]);
        close(stop[1]);
        return (waits[0].revents & POLLOUT) != 0 && waits[1].revents == 0;
    }

    Fd server_;
};

// Effective ids and supplementary groups of the opener; disconnect on close.
TEST_F(ServerTest, ConnectLineCarriesTheOpenersCredentials) {
    char opened = 0;
    pid_t child = StartChild(
        [&](int ready) {
            gid_t sup[] = {10, 20};
            if (setgroups(2, sup) != 0 || setresgid(0, 100, 0) != 0 || setresuid(0, 65534, 0) != 0)
                _exit(1);
            (void)!write(ready, open(P("control").c_str(), O_RDWR) >= 0 ? "y" : "n", 1);
        },
        &opened);
    EXPECT_EQ(opened, 'y');
    std::string line = ServerRead();
    KillChild(child);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kConnect)) << line;
    EXPECT_EQ(m[2].str(), ".n0.p" + std::to_string(child) + ".u65534.g100.g10.g20");
    EXPECT_EQ(ServerRead(), "-@control." + m[1].str() + "\n");
}

TEST_F(ServerTest, MessagesRepliesAndBroadcasts) {
    Fd a, b;
    std::string ida = Connect(&a), idb = Connect(&b);
    ASSERT_EQ(WriteText(b.get(), "@control\nmsg::access\nid::8"), 0);
    EXPECT_EQ(ServerRead(), "@control." + idb + "\nmsg::access\nid::8\n");
    // Clients take turns: one with messages queued waits behind the others.
    ASSERT_EQ(WriteText(a.get(), "msg::1\n"), 0);
    ASSERT_EQ(WriteText(a.get(), "msg::2\n"), 0);
    ASSERT_EQ(WriteText(b.get(), "msg::3\n"), 0);
    const std::pair<std::string, const char *> order[] = {{ida, "1"}, {idb, "3"}, {ida, "2"}};
    for (const auto &[id, n] : order)
        EXPECT_EQ(ServerRead(), "@control." + id + "\nmsg::" + n + "\n");
    // A server's empty read is EAGAIN, never end of file.
    EXPECT_FALSE(PollIn(server_.get()));
    EXPECT_EQ(ReadOnce(server_.get(), 1024).err, EAGAIN);
    // One write may carry a reply and a broadcast; each is its own message.
    ASSERT_EQ(WriteText(server_.get(),
                        "@control." + idb + "\nres::access\nerr:n:-1\n@control\nstate::up\n"),
              0);
    EXPECT_EQ(ReadOnce(a.get()).text, "@control\nstate::up\n");
    EXPECT_EQ(ReadOnce(a.get()).err, EAGAIN);
    EXPECT_EQ(ReadOnce(b.get()).text, "@control\nres::access\nerr:n:-1\n");
    EXPECT_EQ(ReadOnce(b.get()).text, "@control\nstate::up\n");

    struct {
        const char *text;
        int err;
    } bad[] = {
        {"@control.999999\nres::x\n", ENXIO},
        {"@other.1\nres::x\n", EINVAL},
        {"+@control.1\n", EINVAL},
        {"res x\n", EINVAL},
    };
    for (const auto &w : bad) EXPECT_EQ(WriteText(server_.get(), w.text), w.err) << w.text;
    EXPECT_EQ(WriteText(a.get(), "@other\nmsg::x\n"), EINVAL);
    EXPECT_FALSE(PollIn(a.get()));
    EXPECT_FALSE(PollIn(server_.get()));

    // A client that leaves with replies queued: gone, and its id with it.
    ASSERT_EQ(WriteText(server_.get(), "@control." + ida + "\nres::1\n"), 0);
    a.Reset();
    EXPECT_EQ(ServerRead(), "-@control." + ida + "\n");
    EXPECT_EQ(WriteText(server_.get(), "@control." + ida + "\nres::3\n"), ENXIO);
}

// A read returns one message at most, whatever the buffer: a message cut
// to a small buffer loses its rest, and the largest message (1 MiB - 4 KiB
// with its object line) comes whole even to a buffer the kernel splits
// into several FUSE requests, never followed by the next message.
TEST_F(ServerTest, OneMessagePerReadLongOnesCut) {
    Fd a;
    std::string id = Connect(&a), big(3000, 'x');
    ASSERT_EQ(WriteText(a.get(), "dat::" + big + "\n"), 0);
    ASSERT_EQ(WriteText(a.get(), "msg::two\n"), 0);
    EXPECT_EQ(ServerRead(), ("@control." + id + "\ndat::" + big).substr(0, 1024));
    EXPECT_EQ(ServerRead(), "@control." + id + "\nmsg::two\n");
    // The same for a client reading a long reply.
    ASSERT_EQ(WriteText(server_.get(), "@control." + id + "\ndat::" + big + "\n"), 0);
    ASSERT_EQ(WriteText(server_.get(), "@control." + id + "\nres::ok\n"), 0);
    EXPECT_EQ(ReadOnce(a.get(), 1000).text, ("@control\ndat::" + big).substr(0, 1000));
    EXPECT_EQ(ReadOnce(a.get(), 1000).text, "@control\nres::ok\n");

    const std::string header = "@control." + id + "\n";
    const std::size_t largest = 1024 * 1024 - 4096;
    const std::string fits = "dat::" + std::string(largest - header.size() - 6, 'y') + "\n";
    EXPECT_EQ(WriteText(a.get(), fits + "z::\n"), EFBIG);
    ASSERT_EQ(WriteText(a.get(), fits), 0);
    ASSERT_EQ(WriteText(a.get(), "msg::after\n"), 0);
    // At every page offset the kernel's first request holds the message.
    std::vector<char> buf(2 * largest + 8192);
    ASSERT_TRUE(PollIn(server_.get(), 10000));
    ssize_t n = read(server_.get(), buf.data() + 4095, 2 * largest);
    EXPECT_EQ(n, static_cast<ssize_t>(largest));
    EXPECT_EQ(std::string(buf.data() + 4095, largest), header + fits);
    EXPECT_EQ(ServerRead(), header + "msg::after\n");
}

// One server per object; when it dies its clients are told, and the next
// server meets them.
TEST_F(ServerTest, ServerKilledWhileClientsWait) {
    EXPECT_EQ(Open("control?server", O_RDWR).get(), -1);
    EXPECT_EQ(errno, EBUSY);
    server_.Reset();
    char opened = 0;
    pid_t child = StartChild(
        [&](int ready) {
            (void)!write(ready, open(P("control?server").c_str(), O_RDWR) >= 0 ? "y" : "n", 1);
        },
        &opened);
    ASSERT_EQ(opened, 'y');
    Fd a = Open("control?wait", O_RDWR), b = Open("control?wait", O_RDWR);
    std::string got;
    std::thread waiter([&] { got = ReadOnce(a.get()).text; });
    KillChild(child);
    waiter.join();
    EXPECT_EQ(got, "*@control\n");
    EXPECT_EQ(WriteText(a.get(), "msg::identity\nid::2\n"), EPIPE);  // no server
    // A new server meets the clients still open, in the order of their open.
    server_ = Open("control?server", O_RDWR);
    ASSERT_GE(server_.get(), 0);
    std::string first = Connected(), second = Connected();
    EXPECT_LT(std::stoull(first), std::stoull(second));
    ASSERT_EQ(WriteText(a.get(), "msg::identity\nid::3\n"), 0);
    EXPECT_EQ(ServerRead(), "@control." + first + "\nmsg::identity\nid::3\n");
}

// Past the unread limit, a server that stops reading has its clients'
// writes (and new opens) refused with EAGAIN, and a client that stops
// reading has the server's writes to it and its own refused; every message
// accepted before still arrives, and writes go through again (poll says
// when) once the reader catches up.
TEST_F(ServerTest, UnreadLimitRefusesWritesAndLosesNothing) {
    server_.Reset();
    Unmount();
    Mount({"--unread-limit", "4"});
    server_ = Open("control?server", O_RDWR | O_CREAT, 0666);
    Fd a;
    std::string id = Connect(&a);
    const std::string msg = "dat::" + std::string(500, 'x') + "\n";
    int accepted = 0;
    while (accepted < 20 && WriteText(a.get(), msg) == 0) accepted++;
    EXPECT_EQ(WriteText(a.get(), msg), EAGAIN);
    EXPECT_EQ(Open("control", O_RDWR).get(), -1);  // a connection is a message too
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GE(accepted, 8);  // 4 KB of ~520-byte messages, then the limit
    // A client waiting in poll for POLLOUT is woken once the server reads.
    EXPECT_FALSE(PollFor(a.get(), POLLOUT));
    EXPECT_TRUE(WokenForWriting(a.get(), [&] {
        for (int i = 0; i < accepted; i++) EXPECT_EQ(ServerRead(), "@control." + id + "\n" + msg);
    }));
    EXPECT_FALSE(PollIn(server_.get()));
    ASSERT_EQ(WriteText(a.get(), msg), 0);
    EXPECT_EQ(ServerRead(), "@control." + id + "\n" + msg);
    // Now the client leaves its answers unread: past the limit, replies
    // and broadcasts to it are refused, and so are its own writes.
    int replies = 0;
    while (replies < 20 && WriteText(server_.get(), "@control." + id + "\n" + msg) == 0) replies++;
    EXPECT_GE(replies, 8);
    EXPECT_LE(replies, accepted + 1);
    EXPECT_EQ(WriteText(server_.get(), "@control\n" + msg), EAGAIN);
    EXPECT_EQ(WriteText(a.get(), msg), EAGAIN);
    for (int i = 0; i < replies; i++) EXPECT_EQ(ReadOnce(a.get(), 1024).text, "@control\n" + msg);
    EXPECT_EQ(WriteText(a.get(), msg), 0);
    EXPECT_EQ(WriteText(server_.get(), "@control\n" + msg), 0);
    // A write-only client held back by a server that stops reading is woken
    // when the server goes, and its write then fails as having no server.
    Fd w = Open("control", O_WRONLY | O_NONBLOCK);
    while (WriteText(w.get(), msg) == 0) {
    }
    EXPECT_TRUE(WokenForWriting(w.get(), [&] { server_.Reset(); }));
    EXPECT_EQ(WriteText(w.get(), msg), EPIPE);
}

}  // namespace
}  // namespace ppsfs_test
