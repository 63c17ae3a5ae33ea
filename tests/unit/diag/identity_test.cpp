// The command cycle and the identity command, through the real PPSServer
// intake, with pipes as status objects and the fake tech-mode device.
// Each test runs in a fresh process under CTest, so every handler's last
// request id starts at -1.
#include <gtest/gtest.h>

#include <string>

#include "diag_harness.h"

namespace {

class Identity : public DiagHarness {};

const char kUnsupported[] =
    "TLLI::NOT SUPPORTED\nSRNTI::NOT SUPPORTED\nCRNTI::NOT SUPPORTED\nHRNTI::NOT SUPPORTED\n";

TEST_F(Identity, PublishesIdentitiesAndAnswersSuccess) {
    auto &id = testsupport::FakeTechmode::scenario().identity;
    id.imsi = "92103";  // bytes 0x29 0x01 ...
    id.srnc_id = 65535;
    LogCapture log;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Request("identity", "7"), Success("identity", "7"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(Data(), std::string(kUnsupported) +
                          "TMSI::01AB00FF\nPTMSI::C0FFEE01\nIMEI::3538070512345601f\n"
                          "IMSI::92103fffffffffffff\nSRNCID:n:65535\n");
    EXPECT_EQ(out, "Getting Identity Data Structure\nReceived identity data structure\n");
    EXPECT_EQ(log.lines, (std::vector<std::string>{"6 VeloIdentityHandler",
                                                   "6 IdentityHandler: ID: 0x7 data: (null)",
                                                   "6 IdentityHandler: send response SUCCESS",
                                                   "6 PPS Obj: control Send Response Invoked"}));
}

TEST_F(Identity, WithoutDeviceEveryIdentityIsNotAvailable) {
    svc.m_techmodeFd = -1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Request("identity", "3"), Failure("identity", "3"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(Data(), std::string(kUnsupported) +
                          "TMSI::N/A\nPTMSI::N/A\nSRNCID::N/A\nIMEI::N/A\nIMSI::N/A\n");
    EXPECT_NE(out.find("Device error from RRM"), std::string::npos);
    EXPECT_NE(out.find("Could not successfully retrieve identity data structure"),
              std::string::npos);
}

// The duplicate-id check, across a sequence of requests: what each answers,
// and whether it published.
TEST_F(Identity, DuplicateIdRules) {
    struct Step {
        const char *msg, *id;
        bool duplicate;
    } steps[] = {
        {"identity", "70", false},  {"identity", "70", true},
        {"identity", "80", false},  {"identity", "1", false},
        {"identity", "1", false},  // 1 is never a duplicate
        {"access", "1", false},     {"identity", "5", false},
        {"access", "5", false},                               // ids are per handler
        {"tchtxpower", "5", false}, {"tchtxpwr", "5", true},  // two names, one handler
        {"identity", "abc", false}, {"identity", "0", true},  // atoi: "abc" is 0
        {"identity", "9x", false},  {"identity", "9", true},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(std::string(s.msg) + " " + s.id);
        testing::internal::CaptureStdout();
        std::string response = Request(s.msg, s.id);
        std::string out = testing::internal::GetCapturedStdout();
        std::string published = Data() + Utra();
        bool said_same = out.find("Handler: Same ID, ignore it\n") != std::string::npos;
        EXPECT_EQ(said_same, s.duplicate);
        if (s.duplicate) {
            EXPECT_EQ(response, Failure(s.msg, s.id));
            EXPECT_EQ(published, "");  // nothing fetched, nothing written
        }
    }
}

// The last request id starts at -1, so a first request with id -1 is a
// duplicate. Run in a fresh process whatever ran before in this one.
TEST_F(Identity, FirstRequestWithMinusOneIsADuplicate) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::string r = Request("identity", "-1");
            exit(r == Failure("identity", "-1") && Data().empty() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(Identity, EchoesTheRequestAndBoundsLongIds) {
    std::string long_id(40, 'k');
    EXPECT_EQ(Request("identity", long_id), Success("identity", long_id.substr(0, 29)));
    EXPECT_EQ(Request("identity", "9 y:z", 4294967296ULL),
              Success("identity", "9 y:z", 4294967296ULL));
}

TEST_F(Identity, UnknownNameGetsNoResponse) {
    LogCapture log;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Request("identityx", "2"), "");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Unhandled message identityx"), std::string::npos);
    EXPECT_TRUE(log.Has("6 VeloDefaultHandler, identityx"));
    EXPECT_EQ(Data(), "");
}

TEST_F(Identity, CloseAllObjectsClosesOnceAndNeverFdZero) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    svc.m_configFd = p[0];
    svc.m_nwTimeControlFd = p[1];
    svc.m_statusEutraFd = 0;
    svc.m_techmodeFd = -1;
    svc.CloseAllObjects();
    EXPECT_EQ(svc.m_configFd, -1);
    EXPECT_EQ(svc.m_nwTimeControlFd, -1);
    EXPECT_EQ(svc.m_statusDataFd, -1);
    EXPECT_EQ(svc.m_statusEutraFd, 0);
    EXPECT_EQ(fcntl(p[0], F_GETFD), -1);  // really closed
    EXPECT_NE(fcntl(0, F_GETFD), -1);
    int again = dup(1);  // takes the lowest free fd, one of those closed
    svc.CloseAllObjects();
    EXPECT_NE(fcntl(again, F_GETFD), -1);  // the second call closed nothing
    close(again);
}

}  // namespace
