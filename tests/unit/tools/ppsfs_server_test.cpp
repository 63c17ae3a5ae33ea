// ppsfs server objects through a real mount: one server per object,
// connect, message and disconnect lines with client ids and credentials,
// replies to one client or to all, one message per read, nothing lost.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <map>
#include <regex>
#include <thread>

#include "ppsfs_mount.h"

namespace ppsfs_test {
namespace {

class ServerTest : public PpsfsTest {
  protected:
    void SetUp() override {
        PpsfsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // Opened as the daemon opens its control object.
        server_ = Open("control?server", O_RDWR | O_CREAT | O_TRUNC, 0666);
        ASSERT_GE(server_.get(), 0);
        ASSERT_EQ(fchmod(server_.get(), 0666), 0);
    }

    void TearDown() override {
        server_.Reset();
        PpsfsTest::TearDown();
    }

    // Reads one message as the daemon does: 1024 bytes at most, after poll.
    std::string ServerRead() {
        if (!PollIn(server_.get(), 10000)) return "(nothing)";
        return ReadOnce(server_.get(), 1024).text;
    }

    // Opens a client and returns its id from the server's connect line.
    std::uint64_t Connect(Fd *client, int flags = O_RDWR | O_NONBLOCK) {
        *client = Open("control", flags);
        std::smatch m;
        std::string line = ServerRead();
        if (!std::regex_match(line, m, std::regex(R"(\+@control\.(\d+)\..*\n)"))) {
            ADD_FAILURE() << "connect line: " << line;
            return 0;
        }
        return std::stoull(m[1]);
    }

    Fd server_;
};

std::string Id(std::uint64_t id) {
    return std::to_string(id);
}

TEST_F(ServerTest, OneServerPerObject) {
    Fd second = Open("control?server", O_RDWR);
    EXPECT_EQ(second.get(), -1);
    EXPECT_EQ(errno, EBUSY);
    server_.Reset();
    Fd third = Open("control?server", O_RDWR);
    EXPECT_GE(third.get(), 0);
}

TEST_F(ServerTest, ConnectLineCarriesTheOpenersCredentials) {
    Open("control", O_RDWR);  // closed at once: connect, then disconnect
    std::string own = ServerRead();
    std::string items = ".n0.p" + std::to_string(getpid()) + ".u" + std::to_string(geteuid()) +
                        ".g" + std::to_string(getegid());
    std::vector<gid_t> groups(static_cast<std::size_t>(getgroups(0, nullptr)));
    getgroups(static_cast<int>(groups.size()), groups.data());
    for (gid_t g : groups) items += ".g" + std::to_string(g);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(own, m, std::regex(R"(\+@control\.(\d+)(\..*)\n)"))) << own;
    EXPECT_EQ(m[2].str(), items);
    EXPECT_EQ(ServerRead(), "-@control." + m[1].str() + "\n");

    // Effective ids and supplementary groups of another process.
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
    std::string other = ServerRead();
    KillChild(child);
    ASSERT_TRUE(std::regex_match(other, m, std::regex(R"(\+@control\.(\d+)(\..*)\n)"))) << other;
    EXPECT_EQ(m[2].str(), ".n0.p" + std::to_string(child) + ".u65534.g100.g10.g20");
    EXPECT_EQ(ServerRead(), "-@control." + m[1].str() + "\n");
}

TEST_F(ServerTest, MessagesRepliesAndBroadcasts) {
    Fd a, b;
    std::uint64_t ida = Connect(&a), idb = Connect(&b);
    ASSERT_EQ(WriteText(a.get(), "msg::identity\nid::7\n"), 0);
    ASSERT_EQ(WriteText(b.get(), "@control\nmsg::access\nid::8"), 0);
    EXPECT_EQ(ServerRead(), "@control." + Id(ida) + "\nmsg::identity\nid::7\n");
    EXPECT_EQ(ServerRead(), "@control." + Id(idb) + "\nmsg::access\nid::8\n");
    // Nothing more: a server's empty read is EAGAIN, never end of file.
    EXPECT_FALSE(PollIn(server_.get()));
    Rd empty = ReadOnce(server_.get(), 1024);
    EXPECT_EQ(empty.n, -1);
    EXPECT_EQ(empty.err, EAGAIN);

    ASSERT_EQ(WriteText(server_.get(), "@control." + Id(ida) + "\nres::identity\nid::7\n"), 0);
    EXPECT_EQ(ReadOnce(a.get()).text, "@control\nres::identity\nid::7\n");
    EXPECT_FALSE(PollIn(b.get()));
    EXPECT_EQ(ReadOnce(b.get()).err, EAGAIN);
    // One write may carry a reply and a broadcast; each is its own message.
    ASSERT_EQ(WriteText(server_.get(),
                        "@control." + Id(idb) + "\nres::access\nerr:n:-1\n@control\nstate::up\n"),
              0);
    EXPECT_EQ(ReadOnce(a.get()).text, "@control\nstate::up\n");
    EXPECT_EQ(ReadOnce(b.get()).text, "@control\nres::access\nerr:n:-1\n");
    EXPECT_EQ(ReadOnce(b.get()).text, "@control\nstate::up\n");

    struct Bad {
        const char *text;
        int err;
    } bad[] = {
        {"@control.999999\nres::x\n", ENXIO},
        {"@other.1\nres::x\n", EINVAL},
        {"+@control.1\n", EINVAL},
        {"res x\n", EINVAL},
    };
    for (const Bad &w : bad) {
        SCOPED_TRACE(w.text);
        EXPECT_EQ(WriteText(server_.get(), w.text), w.err);
    }
    EXPECT_EQ(WriteText(a.get(), "@other\nmsg::x\n"), EINVAL);
    EXPECT_FALSE(PollIn(a.get()));
    EXPECT_FALSE(PollIn(server_.get()));

    a.Reset();
    EXPECT_EQ(ServerRead(), "-@control." + Id(ida) + "\n");
}

TEST_F(ServerTest, OneMessagePerReadAndLongOnesInPieces) {
    Fd a;
    std::uint64_t id = Connect(&a);
    std::string big(3000, 'x');
    ASSERT_EQ(WriteText(a.get(), "msg::one\n"), 0);
    ASSERT_EQ(WriteText(a.get(), "dat::" + big + "\n"), 0);
    ASSERT_EQ(WriteText(a.get(), "msg::three\n"), 0);
    EXPECT_EQ(ServerRead(), "@control." + Id(id) + "\nmsg::one\n");
    std::string joined;
    while (joined.size() < big.size() + 6 && PollIn(server_.get(), 10000)) {
        Rd r = ReadOnce(server_.get(), 1024);
        ASSERT_GT(r.n, 0);
        EXPECT_LE(r.n, 1024);
        joined += r.text;
    }
    EXPECT_EQ(joined, "@control." + Id(id) + "\ndat::" + big + "\n");
    EXPECT_EQ(ServerRead(), "@control." + Id(id) + "\nmsg::three\n");

    // A long reply reaches the client the same way.
    ASSERT_EQ(WriteText(server_.get(), "@control." + Id(id) + "\ndat::" + big + "\n"), 0);
    std::string reply;
    for (int i = 0; i < 10 && PollIn(a.get()); i++) reply += ReadOnce(a.get(), 1000).text;
    EXPECT_EQ(reply, "@control\ndat::" + big + "\n");
}

TEST_F(ServerTest, ClientThatLeavesWithRepliesQueued) {
    Fd a, b;
    std::uint64_t ida = Connect(&a), idb = Connect(&b);
    ASSERT_EQ(WriteText(server_.get(), "@control." + Id(ida) + "\nres::1\n"), 0);
    ASSERT_EQ(WriteText(server_.get(), "@control." + Id(ida) + "\nres::2\n"), 0);
    a.Reset();
    EXPECT_EQ(ServerRead(), "-@control." + Id(ida) + "\n");
    EXPECT_EQ(WriteText(server_.get(), "@control." + Id(ida) + "\nres::3\n"), ENXIO);
    ASSERT_EQ(WriteText(server_.get(), "@control." + Id(idb) + "\nres::4\n"), 0);
    EXPECT_EQ(ReadOnce(b.get()).text, "@control\nres::4\n");
}

TEST_F(ServerTest, ServerKilledWhileClientsWait) {
    server_.Reset();
    char opened = 0;
    pid_t child = StartChild(
        [&](int ready) {
            (void)!write(ready, open(P("control?server").c_str(), O_RDWR) >= 0 ? "y" : "n", 1);
        },
        &opened);
    ASSERT_EQ(opened, 'y');
    Fd a = Open("control?wait", O_RDWR), b = Open("control?wait", O_RDWR);
    ASSERT_EQ(WriteText(a.get(), "msg::identity\nid::1\n"), 0);
    std::string got_a, got_b;
    std::thread ta([&] { got_a = ReadOnce(a.get()).text; });
    std::thread tb([&] { got_b = ReadOnce(b.get()).text; });
    KillChild(child);
    ta.join();
    tb.join();
    EXPECT_EQ(got_a, "*@control\n");
    EXPECT_EQ(got_b, "*@control\n");
    // No server: a client's write fails with EPIPE.
    EXPECT_EQ(WriteText(a.get(), "msg::identity\nid::2\n"), EPIPE);
    // A new server meets the clients still open, in the order of their open.
    server_ = Open("control?server", O_RDWR | O_CREAT | O_TRUNC, 0666);
    ASSERT_GE(server_.get(), 0);
    std::regex connect(R"(\+@control\.(\d+)\.n0\..*\n)");
    std::smatch m1, m2;
    std::string l1 = ServerRead(), l2 = ServerRead();
    ASSERT_TRUE(std::regex_match(l1, m1, connect)) << l1;
    ASSERT_TRUE(std::regex_match(l2, m2, connect)) << l2;
    EXPECT_LT(std::stoull(m1[1]), std::stoull(m2[1]));
    ASSERT_EQ(WriteText(a.get(), "msg::identity\nid::3\n"), 0);
    EXPECT_EQ(ServerRead(), "@control." + m1[1].str() + "\nmsg::identity\nid::3\n");
}

TEST_F(ServerTest, TenThousandMessagesNoneLostOrDuplicated) {
    const int kPerClient = 5000;
    Fd a, b;
    std::uint64_t ids[2] = {Connect(&a, O_WRONLY), Connect(&b, O_WRONLY)};
    auto send = [&](int fd) {
        for (int i = 0; i < kPerClient; i++) {
            if (WriteText(fd, "msg::m\nid::" + std::to_string(i) + "\n") != 0) return;
        }
    };
    std::thread ta(send, a.get()), tb(send, b.get());
    std::map<std::uint64_t, int> next;  // per client: the id expected next
    std::regex message(R"(@control\.(\d+)\nmsg::m\nid::(\d+)\n)");
    int total = 0, bad = 0;
    while (total < 2 * kPerClient) {
        if (!PollIn(server_.get(), 10000)) break;
        Rd r = ReadOnce(server_.get(), 1024);
        std::smatch m;
        if (r.n <= 0 || !std::regex_match(r.text, m, message)) {
            if (bad++ < 3) ADD_FAILURE() << "unexpected read: " << r.text;
            continue;
        }
        std::uint64_t client = std::stoull(m[1]);
        EXPECT_EQ(std::stoi(m[2]), next[client]++) << "client " << client;
        total++;
    }
    ta.join();
    tb.join();
    EXPECT_EQ(total, 2 * kPerClient);
    EXPECT_EQ(next[ids[0]], kPerClient);
    EXPECT_EQ(next[ids[1]], kPerClient);
    EXPECT_FALSE(PollIn(server_.get()));
}

}  // namespace
}  // namespace ppsfs_test
