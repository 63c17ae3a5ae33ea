// SPDX-License-Identifier: Apache-2.0
// PPSServer: intake and dispatch, the name hash, the client table, response
// text, the control object and the poll loop over real fds. CellularBase_PPS:
// object tables, publishing, RequestExit and the transaction table.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "pps/CellularBase_PPS.h"
#include "pps/PPSServer.h"
#include "unit/pps/pps_test_util.h"

namespace {

TEST(PPSProcess, DispatchesLastMessageSeenInBuffer) {
    struct {
        const char *text, *want;  // want "": nothing dispatched
    } cases[] = {
        {"@control.12\nmsg::identity\nid::7\n", "12 identity 7 (null)"},
        {"@control\nmsg::identity\nid::7\n", ""},
        {"@control.abc\nmsg::identity\nid::7\n", ""},
        {"@control.12\nid::7\n", ""},
        {"@control.12\nmsg::identity\n", ""},
        {"@control.9\n@control.x1\nmsg::access\nid::7\n", "9 access 7 (null)"},
        {"@control.4294967296\nmsg::access\nid::q\n", "4294967296 access q (null)"},
        {"@control.12\nmsg::access\nid:n:8\nx::y\ndat:json:{\"a\":1}\n", "12 access 8 {\"a\":1}"},
        {"@control.3\nmsg::access\nid::1\ndat::x\n@control.4\nmsg::identity\nid::2\n",
         "4 identity 2 x"},
        {"@control.5\nmsg::access\nid::1\n:bad\nid::2\n", "5 access 1 (null)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        PPSServer server;
        Recorder r(server);
        server.AddMessageHandler("identity", RecordCall, &r);
        server.AddMessageHandler("access", RecordCall, &r);
        std::string buffer = c.text;
        server.PPSProcess(&buffer[0]);
        EXPECT_EQ(r.calls, *c.want ? Lines{c.want} : Lines{});
    }
}

TEST(DispatchMessage, UnknownNamesGoToTheDefaultHandlerAndNamesAreNeverCompared) {
    PPSServer server;
    Recorder first(server), second(server);
    server.AddMessageHandler("Ac", RecordCall, &first);
    testing::internal::CaptureStderr();
    server.DispatchMessage(12, "identityx", "7", "d");  // no default handler yet
    server.SetDefaultHandler(RecordCall, &second);
    server.DispatchMessage(13, "identityx", "8", "d");
    testing::internal::GetCapturedStderr();  // "Unhandled message identityx", twice
    // "BB" takes the slot of "Ac": 65*33+99 == 66*33+66.
    server.AddMessageHandler("BB", RecordCall, &second);
    server.DispatchMessage(1, "Ac", "1", nullptr);
    EXPECT_EQ(first.calls, Lines{});
    EXPECT_EQ(second.calls, (Lines{"13 identityx 8 d", "1 Ac 1 (null)"}));
}

TEST(PPSProcess, ClientTableFollowsConnections) {
    PPSServer server;
    SlogCapture log;  // a warning for the dropped group
    ClientInfo info;
    std::string text =
        "+@control.5.n2.p100.u1000.x7.g20.g1.g2.g3.g4.g5.g6.g7.g8.g9\n+@control.0x1f.p3\n";
    server.PPSProcess(&text[0]);
    ASSERT_TRUE(server.GetClientInfo(5, &info));
    EXPECT_EQ(std::vector<uint32_t>({info.nd, (uint32_t)info.pid, info.euid, info.egid,
                                     info.ngroups, info.flags, info.ruid, info.sgid}),
              std::vector<uint32_t>({2, 100, 1000, 20, 8, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint32_t>(info.grouplist, info.grouplist + 8),
              std::vector<uint32_t>({1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_TRUE(server.GetClientInfo(31, &info));
    EXPECT_EQ(info.pid, 3);
    EXPECT_FALSE(server.GetClientInfo(31, nullptr));

    // A reconnection without items drops the old record; a disconnection too.
    text = "+@control.5\n-@control.31\n";
    server.PPSProcess(&text[0]);
    EXPECT_FALSE(server.GetClientInfo(5, &info));
    EXPECT_FALSE(server.GetClientInfo(31, &info));
}

// Open to clients of every user whatever the umask, closed on exec; a stale
// entry that cannot be opened (a socket left behind) is replaced.
TEST(OpenServerObject, OpensOrReportsFailure) {
    TempDir dir;
    std::string path = dir.File("control?server");
    sockaddr_un addr = {AF_UNIX, {}};
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(stale);
    PPSServer server;
    mode_t old = umask(077);
    EXPECT_EQ(server.OpenServerObject(path.c_str()), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, S_IFREG | 0666u);
    int fd = FdOf(path);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
    close(fd);
    // Neither open nor unlink can succeed: EINVAL.
    EXPECT_EQ(server.OpenServerObject(dir.File("missing/control").c_str()), EINVAL);
}

void RecordFd(PPSServer *server, void *user, int fd) {
    static_cast<Recorder *>(user)->Add(server, std::to_string(fd));
}

int AnswerAndStop(PPSServer *server, void *user, uint64_t client, const char *msg, const char *id,
                  const char *dat) {
    RecordCall(server, user, client, msg, id, dat);
    server->WriteResponse("control", client, msg, id, nullptr, 0, false);
    server->Stop();
    return 0;
}

TEST(Run, ServesRequestsAndFdHandlersAndCanRunAgain) {
    PPSServer server;
    ControlPeer peer(server);
    Recorder r(server);
    server.AddMessageHandler("identity", AnswerAndStop, &r);
    peer.Send("@control.12\nmsg::identity\nid::7\n");
    EXPECT_EQ(server.Run(), 0);
    EXPECT_EQ(peer.Receive(), "@control.12\nres::identity\nid::7\n");

    // A read of 1024 bytes keeps 1023: the cut dat line is incomplete.
    std::string text = "@control.5\nmsg::identity\nid::8\ndat::";
    peer.Send(text + std::string(1023 - text.size(), 'y') + "\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(server.Run(), 0);
    testing::internal::GetCapturedStderr();  // "read larger than buffer 1024"
    EXPECT_EQ(r.calls, (Lines{"12 identity 7 (null)", "5 identity 8 (null)"}));

    // Fd handlers run on every pass, in order: a read end without writer
    // reports POLLHUP, a write end without reader POLLERR.
    int hup[2], error[2];
    ASSERT_EQ(pipe(hup), 0);
    ASSERT_EQ(pipe(error), 0);
    close(hup[1]);
    close(error[0]);
    Recorder fds(server, 6), never(server);
    server.AddFdHandler(-1, RecordFd, &never);
    server.AddFdHandler(error[1], RecordFd, &fds);
    server.AddFdHandler(hup[0], RecordFd, &fds);
    EXPECT_EQ(server.Run(), 0);
    const std::string e = std::to_string(error[1]), h = std::to_string(hup[0]);
    EXPECT_EQ(fds.calls, (Lines{e, h, e, h, e, h}));
    EXPECT_EQ(never.calls, Lines{});
    close(hup[0]);
    close(error[1]);
}

class TestService : public CellularBase_PPS {
  public:
    int Init() override { return 0; }
    void ServiceHook() override {}
    using CellularBase_PPS::object0_, CellularBase_PPS::object1_, CellularBase_PPS::object2_;
    using CellularBase_PPS::server_;
};

// A service whose slogf lines (refusals, warnings) are dropped.
class Service : public ::testing::Test {
  protected:
    SlogCapture log;
    TestService svc;
};

const auto IsOpen = [](int fd) { return fcntl(fd, F_GETFD) != -1; };

// Rows go to the slot of their type, close-on-exec; a row of another type
// is closed again; the first row that cannot be opened fails the table with
// EINVAL, the rows before it staying open.
TEST_F(Service, OpenObjectsFillsSlotsByTypeAndSkipsInvalidRows) {
    TempDir dir;
    std::string a = dir.File("a?nopersist,critical"), b = dir.File("b"), c = dir.File("c"),
                bad = dir.File("bad"), missing = dir.File("none/x");
    const int rw = O_RDWR | O_CREAT | O_TRUNC;
    PPSObjDesc rows[] = {{2, a.c_str(), rw, 0666, 0},
                         {3, bad.c_str(), rw, 0666, 0},
                         {0, b.c_str(), rw, 0666, 7},
                         {1, c.c_str(), rw, 0666, 0},
                         {0, missing.c_str(), rw, 0666, 0}};
    EXPECT_EQ(svc.OpenObjects(rows, 3), 0);
    EXPECT_EQ(svc.object2_, FdOf(a));
    EXPECT_EQ(svc.object0_, FdOf(b));
    EXPECT_EQ(svc.object1_, -1);
    EXPECT_EQ(FdOf(bad), -1);
    EXPECT_TRUE(fcntl(svc.object0_, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(svc.OpenObjects(rows + 3, 2), EINVAL);
    EXPECT_TRUE(IsOpen(svc.object1_));

    int fds[] = {svc.object0_, svc.object1_, svc.object2_};
    svc.CloseObjects();
    EXPECT_EQ(svc.object0_ + svc.object1_ + svc.object2_, -3);
    for (int fd : fds) EXPECT_FALSE(IsOpen(fd));
}

// Each writes its PPS text to the fd given; what the encoder refuses (a bad
// name) writes nothing and leaves the next call unharmed.
TEST_F(Service, PublishingWritesPpsTextUnlessTheEncoderRefuses) {
    const AttrPair pairs[] = {{"rat", "GSM"}, {"cell_id", "0x1f"}, {"never", "x"}};
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    svc.WriteAttribute(p[1], "a b", -71);
    svc.WriteAttribute(p[1], "rssi", -71);
    svc.FlushStatus(p[1], "@a/b");
    svc.FlushStatus(p[1], "@status_data");
    svc.PublishStatus(p[1], "@a/b", pairs, 2);
    svc.PublishStatus(p[1], "@status_geran", pairs, 2);
    svc.PublishAttribute(p[1], "a b", "GSM");
    svc.PublishAttribute(p[1], "rat", "GSM");
    char buf[256];
    ssize_t n = read(p[0], buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0),
              "rssi:n:-71\n@status_data\n@status_geran\nrat::GSM\ncell_id::0x1f\nrat::GSM\n");
    close(p[0]);
    close(p[1]);
}

int ExitFromHandler(PPSServer *, void *user, uint64_t, const char *, const char *, const char *) {
    static_cast<TestService *>(user)->RequestExit("bye", 1);
    return 0;
}

// The exact response text, written directly or for a transaction; the exit
// closes the objects and stops the loop.
TEST_F(Service, ResponsesAndRequestExit) {
    struct {
        uint64_t client;
        const char *id, *dat;
        int err;
        bool json;
        const char *rest;  // after "@control.<client>\nres::identity\n"
    } cases[] = {
        {4294967296ull, "req-a", nullptr, 0, true, "id::req-a\n"},
        {1, "2", "x", 0, false, "id::2\ndat::x\n"},
        {1, "2", "{\"k\":1}", 5, true, "id::2\ndat:json:{\"k\":1}\nerr:n:5\n"},
    };
    ControlPeer peer(svc.server_);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rest);
        svc.server_.WriteResponse("control", c.client, "identity", c.id, c.dat, c.err, c.json);
        EXPECT_EQ(peer.Receive(),
                  "@control." + std::to_string(c.client) + "\nres::identity\n" + c.rest);
    }
    svc.SendResponse("control", {3, 4294967296ull, "identity", "7"}, nullptr, -1);
    EXPECT_EQ(peer.Receive(), "@control.4294967296\nres::identity\nid::7\nerr:n:-1\n");

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    svc.object0_ = p[0];
    svc.object2_ = p[1];
    svc.RequestExit("low battery", 0);
    EXPECT_TRUE(IsOpen(p[0]));

    // From a handler inside the loop: the objects close and Run returns.
    svc.server_.AddMessageHandler("quit", ExitFromHandler, &svc);
    peer.Send("@control.1\nmsg::quit\nid::1\n");
    svc.Run();
    EXPECT_EQ(svc.object0_ + svc.object2_, -2);
    EXPECT_FALSE(IsOpen(p[0]) || IsOpen(p[1]));
}

// Same opCode and client: the newer record replaces the older; two clients:
// both stay, the older found and removed first. Texts are cut to 29 bytes.
TEST_F(Service, TransactionsOrderingReplacementAndTruncation) {
    auto locate = [this](int opCode) {  // "none" leaves the record alone
        Transaction t = {};
        t.clientId = 99;
        return svc.LocateTransaction(opCode, t) == 0
                   ? std::to_string(t.opCode) + " " + std::to_string(t.clientId) + " " + t.msg +
                         " " + t.id
               : t.clientId == 99 ? "none"
                                  : "touched";
    };
    EXPECT_EQ(svc.AddTransaction(1, "identity", 12, "7"), 0);
    svc.AddTransaction(1, "identity", 12, "8");
    EXPECT_EQ(locate(1), "1 12 identity 8");
    svc.RemoveTransaction(1);
    EXPECT_EQ(locate(1), "none");
    const std::string longText(40, 'm'), cut(29, 'm');
    svc.AddTransaction(2, longText.c_str(), 12, "a");
    svc.AddTransaction(2, "access", 13, longText.c_str());
    EXPECT_EQ(locate(2), "2 12 " + cut + " a");
    svc.RemoveTransaction(2);
    EXPECT_EQ(locate(2), "2 13 access " + cut);
    svc.RemoveTransaction(2);
    EXPECT_EQ(locate(2), "none");
}

}  // namespace
