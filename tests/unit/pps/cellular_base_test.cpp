// CellularBase_PPS: object tables, publishing text and logs, responses,
// RequestExit, and the ordering rules of the transaction table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "pps/CellularBase_PPS.h"
#include "unit/pps/pps_test_util.h"

namespace {

using Lines = std::vector<std::string>;

class TestService : public CellularBase_PPS {
  public:
    int Init() override { return 0; }
    void ServiceHook() override {}
    using CellularBase_PPS::object0_;
    using CellularBase_PPS::object1_;
    using CellularBase_PPS::object2_;
    using CellularBase_PPS::server_;
};

// Captured log lines: severity, a blank, the text.
const auto Debug = [](const std::string &t) { return "6 " + t; };
const auto Warning = [](const std::string &t) { return "3 " + t; };
const auto Error = [](const std::string &t) { return "2 " + t; };
const auto Critical = [](const std::string &t) { return "1 " + t; };
const auto IsOpen = [](int fd) { return fcntl(fd, F_GETFD) != -1; };

TEST(OpenObjects, FillsSlotsByTypeAndSkipsInvalidRows) {
    TempDir dir;
    std::string a = dir.File("a?nopersist,critical"), b = dir.File("b"), c = dir.File("c"),
                bad = dir.File("bad"), missing = dir.File("none/x");
    const int rw = O_RDWR | O_CREAT | O_TRUNC;
    PPSObjDesc rows[] = {{2, a.c_str(), rw, 0666, 0},
                         {3, bad.c_str(), rw, 0666, 0},
                         {0, b.c_str(), rw, 0666, 7},
                         {1, c.c_str(), rw, 0666, 0},
                         {0, missing.c_str(), rw, 0666, 0}};
    TestService svc;
    SlogCapture log;
    EXPECT_EQ(svc.OpenObjects(rows, 0), 0);
    EXPECT_EQ(svc.object0_ + svc.object1_ + svc.object2_, -3);

    int before = open("/dev/null", O_RDONLY);
    close(before);
    EXPECT_EQ(svc.OpenObjects(rows, 3), 0);
    EXPECT_EQ(svc.object2_, FdOf(a));
    EXPECT_EQ(svc.object0_, FdOf(b));
    EXPECT_EQ(svc.object1_, -1);
    EXPECT_EQ(FdOf(bad), -1);  // the type-3 row was closed again
    EXPECT_TRUE(fcntl(svc.object0_, F_GETFD) & FD_CLOEXEC);

    EXPECT_EQ(svc.OpenObjects(rows + 3, 2), EINVAL);
    EXPECT_TRUE(IsOpen(svc.object1_));  // rows before the failure stay open
    Lines want = {
        Debug("PPS Obj for Srvc Type: 0 Initialized"),
        Debug("PPS Obj: " + a + ", Initialized"),
        Warning("PPS Obj: " + bad + ", Invalid, Init Failed"),
        Debug("PPS Obj: " + b + ", Initialized"),
        Debug("PPS Obj for Srvc Type: 7 Initialized"),
        Debug("PPS Obj: " + c + ", Initialized"),
        Critical("PPS Obj Path: " + missing + " open failed, err: No such file or directory"),
    };
    EXPECT_EQ(log.lines, want);
    EXPECT_FALSE(log.foreignCode);

    int fds[] = {svc.object0_, svc.object1_, svc.object2_};
    svc.CloseObjects();
    EXPECT_EQ(svc.object0_ + svc.object1_ + svc.object2_, -3);
    for (int fd : fds) EXPECT_FALSE(IsOpen(fd));
    EXPECT_EQ(open("/dev/null", O_RDONLY), before);  // nothing leaked
    close(before);
}

struct PublishCase {
    const char *label;
    std::function<void(TestService &, int)> call;
    const char *written;
    Lines log;
};

TEST(Publishing, WritesPpsTextOrLogsEncoderFailure) {
    const std::string tail = std::string(43, ' ') + "Encode Buffer Fails";
    const AttrPair pairs[] = {{"rat", "GSM"}, {"cell_id", "0x1f"}, {"never", "x"}};
    const AttrPair badPair[] = {{"bad name", "x"}};
    const PublishCase cases[] = {
        {"int attribute",
         [](TestService &s, int fd) { s.WriteAttribute(fd, "rssi", -71); },
         "rssi:n:-71\n",
         {Debug("Writting PPS Attr: rssi")}},
        {"flush",
         [](TestService &s, int fd) { s.FlushStatus(fd, "@status_data"); },
         "@status_data\n",
         {Debug("Flushing PPS Status,obj: @status_data")}},
        {"status",
         [&](TestService &s, int fd) { s.PublishStatus(fd, "@status_geran", pairs, 2); },
         "@status_geran\nrat::GSM\ncell_id::0x1f\n",
         {Debug("Publishing PPS Status,obj: @status_geran")}},
        {"status, count 0",
         [&](TestService &s, int fd) { s.PublishStatus(fd, "@status_data", pairs, 0); },
         "@status_data\n",
         {Debug("Publishing PPS Status,obj: @status_data")}},
        {"string attribute",
         [](TestService &s, int fd) { s.PublishAttribute(fd, "rat", "GSM"); },
         "rat::GSM\n",
         {Debug("Publishing PPS Status,Attr: rat data: GSM")}},
        {"bad int name",
         [](TestService &s, int fd) { s.WriteAttribute(fd, "bad name", 1); },
         "",
         {Debug("Writting PPS Attr: bad name"), Error("Failed to Write PPS Attr: bad name")}},
        {"bad object name",
         [](TestService &s, int fd) { s.FlushStatus(fd, "@a/b"); },
         "",
         {Debug("Flushing PPS Status,obj: @a/b"),
          Error("Failed to Flush PPS Status,Obj: @a/b" + tail)}},
        {"bad pair name",
         [&](TestService &s, int fd) { s.PublishStatus(fd, "@status_data", badPair, 1); },
         "",
         {Debug("Publishing PPS Status,obj: @status_data"),
          Error("Failed to Publish PPS Status,Obj: @status_data" + tail)}},
        {"bad string name",
         [](TestService &s, int fd) { s.PublishAttribute(fd, "bad name", "v"); },
         "",
         {Debug("Publishing PPS Status,Attr: bad name data: v"),
          Error("Failed to Publish PPS Status,Attr: bad name data: v," + tail)}},
    };
    for (const PublishCase &c : cases) {
        SCOPED_TRACE(c.label);
        TestService svc;
        int p[2];
        ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
        SlogCapture log;
        c.call(svc, p[1]);
        char buf[256];
        ssize_t n = read(p[0], buf, sizeof buf);
        EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), c.written);
        EXPECT_EQ(log.lines, c.log);
        close(p[0]);
        close(p[1]);
    }
}

TEST(SendResponse, AnswersThroughTheControlObject) {
    TestService svc;
    ControlPeer peer(svc.server_);
    Transaction request = {3, 4294967296ull, "identity", "7"};
    SlogCapture log;
    svc.SendResponse("control", request, nullptr, 0);
    EXPECT_EQ(peer.Receive(), "@control.4294967296\nres::identity\nid::7\n");
    svc.SendResponse("control", request, nullptr, -1);
    EXPECT_EQ(peer.Receive(), "@control.4294967296\nres::identity\nid::7\nerr:n:-1\n");
    EXPECT_EQ(log.lines[0], Debug("PPS Obj: control Send Response Invoked"));
}

int ExitFromHandler(PPSServer *, void *user, uint64_t, const char *, const char *, const char *) {
    static_cast<TestService *>(user)->RequestExit("bye", 1);
    return 0;
}

TEST(RequestExit, ZeroOnlyLogsOtherwiseClosesAndStops) {
    TestService svc;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    svc.object0_ = p[0];
    svc.object2_ = p[1];
    SlogCapture log;
    svc.RequestExit("low battery", 0);
    EXPECT_TRUE(IsOpen(p[0]));
    EXPECT_EQ(log.lines, Lines{Error("[low battery] [exitOutNow = 0]")});

    // From a handler inside the loop: the objects close and Run returns.
    ControlPeer peer(svc.server_);
    svc.server_.AddMessageHandler("quit", ExitFromHandler, &svc);
    peer.Send("@control.1\nmsg::quit\nid::1\n");
    svc.Run();
    EXPECT_EQ(svc.object0_, -1);
    EXPECT_EQ(svc.object2_, -1);
    EXPECT_FALSE(IsOpen(p[0]));
    EXPECT_FALSE(IsOpen(p[1]));
    EXPECT_EQ(log.lines.back(), Error("[bye] [exitOutNow = 1]"));
}

TEST(Transactions, OrderingReplacementAndTruncation) {
    TestService svc;
    SlogCapture log;
    Transaction t = {};
    EXPECT_EQ(svc.AddTransaction(1, "identity", 12, "7"), 0);
    EXPECT_EQ(log.lines, (Lines{Warning("Locate Trans: Transaction for opCode [1] NOT FOUND"),
                                Debug("Added new transaction for opCode [1]")}));

    // Same opCode, same client: the newer record replaces the older.
    EXPECT_EQ(svc.AddTransaction(1, "identity", 12, "8"), 0);
    EXPECT_EQ(log.lines[3], Debug("Transaction exist for opCode: [1], Removing old Entry"));
    ASSERT_EQ(svc.LocateTransaction(1, t), 0);
    EXPECT_STREQ(t.id, "8");
    svc.RemoveTransaction(1);
    EXPECT_EQ(svc.LocateTransaction(1, t), -1);

    // Same opCode, two clients: both stay, the older is found and removed first.
    const std::string longText(40, 'm');
    svc.AddTransaction(2, longText.c_str(), 12, "a");
    svc.AddTransaction(2, "access", 13, longText.c_str());
    ASSERT_EQ(svc.LocateTransaction(2, t), 0);
    EXPECT_EQ(t.opCode, 2);
    EXPECT_EQ(t.clientId, 12u);
    EXPECT_EQ(std::string(t.msg), longText.substr(0, 29));
    svc.RemoveTransaction(2);
    ASSERT_EQ(svc.LocateTransaction(2, t), 0);
    EXPECT_EQ(t.clientId, 13u);
    EXPECT_EQ(std::string(t.id), longText.substr(0, 29));
    svc.RemoveTransaction(2);

    log.lines.clear();
    t.clientId = 99;
    EXPECT_EQ(svc.LocateTransaction(2, t), -1);
    EXPECT_EQ(t.clientId, 99u);  // untouched
    svc.RemoveTransaction(2);
    EXPECT_EQ(log.lines, (Lines{Warning("Locate Trans: Transaction for opCode [2] NOT FOUND"),
                                Debug("Remove Transaction: Trans for opCode [2] NOT FOUND")}));
}

}  // namespace
