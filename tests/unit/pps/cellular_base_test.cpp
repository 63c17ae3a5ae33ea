// SPDX-License-Identifier: Apache-2.0
// CellularBase_PPS: object tables, publishing text, responses,
// RequestExit, and the ordering rules of the transaction table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "pps/CellularBase_PPS.h"
#include "unit/pps/pps_test_util.h"

namespace {

class TestService : public CellularBase_PPS {
  public:
    int Init() override { return 0; }
    void ServiceHook() override {}
    using CellularBase_PPS::object0_;
    using CellularBase_PPS::object1_;
    using CellularBase_PPS::object2_;
    using CellularBase_PPS::server_;
};

const auto IsOpen = [](int fd) { return fcntl(fd, F_GETFD) != -1; };

// Rows go to the slot of their type, close-on-exec; a row of another type
// is closed again; the first row that cannot be opened fails the table with
// EINVAL, the rows before it staying open.
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
TEST(Publishing, WritesPpsTextUnlessTheEncoderRefuses) {
    const AttrPair pairs[] = {{"rat", "GSM"}, {"cell_id", "0x1f"}, {"never", "x"}};
    TestService svc;
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    SlogCapture log;  // the refusals are logged
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

TEST(SendResponseAndRequestExit, AnswerThroughTheControlObjectAndStopTheLoop) {
    TestService svc;
    ControlPeer peer(svc.server_);
    SlogCapture log;
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

TEST(Transactions, OrderingReplacementAndTruncation) {
    TestService svc;
    SlogCapture log;
    Transaction t = {};
    EXPECT_EQ(svc.AddTransaction(1, "identity", 12, "7"), 0);
    // Same opCode, same client: the newer record replaces the older.
    svc.AddTransaction(1, "identity", 12, "8");
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

    t.clientId = 99;
    EXPECT_EQ(svc.LocateTransaction(2, t), -1);
    EXPECT_EQ(t.clientId, 99u);  // untouched
}

}  // namespace
