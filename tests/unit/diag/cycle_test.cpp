// SPDX-License-Identifier: Apache-2.0
// The command cycle: the id echo, the duplicate-id check and closing. Each
// test runs in a fresh process under CTest, so every handler's last request
// id starts at -1.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "diag_harness.h"

namespace {

using Cycle = DiagHarness;

// An id longer than the reply context's 29 characters is echoed cut. The
// normal run and the one without a device are in the system test.
TEST_F(Cycle, IdentityEchoesACutId) {
    S().identity.imsi = "92103";  // bytes 0x29 0x01 ...
    S().identity.srnc_id = 65535;
    const std::string longId(40, 'k');
    EXPECT_EQ(Request("identity", longId), Success("identity", longId.substr(0, 29)));
    EXPECT_THAT(Data(), testing::EndsWith("IMSI::92103fffffffffffff\nSRNCID:n:65535\n"));
}

// The duplicate-id check, across a sequence of requests: what each answers,
// and whether it published.
TEST_F(Cycle, DuplicateIdRules) {
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
        std::string response = Request(s.msg, s.id), published = Data() + Utra();
        EXPECT_EQ(published.empty(), s.duplicate);  // a duplicate fetches and writes nothing
        if (s.duplicate) {
            EXPECT_EQ(response, Failure(s.msg, s.id));
        }
    }
}

// Every handler keeps a last id of its own: the same id sent to each in
// turn runs, and sent again is refused, nothing fetched or written. A name
// without a handler gets no answer.
TEST_F(Cycle, EveryHandlerHasALastIdOfItsOwn) {
    for (bool again : {false, true}) {
        for (const char *msg : {"identity", "access", "gsmopinfo", "tchtxpower", "bearer",
                                "hspaopinfo", "umtsopinfo", "radiostats", "radionwinfo"}) {
            SCOPED_TRACE(msg);
            EXPECT_EQ(Request(msg, "7"), again ? Failure(msg, "7") : Success(msg, "7"));
            EXPECT_EQ((Data() + Utra() + Geran()).empty(), again);
        }
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(Request("nosuchcmd", "5"), "");
    testing::internal::GetCapturedStderr();
}

// The last request id starts at -1, so a first request with id -1 is a
// duplicate. Run in a fresh process whatever ran before in this one.
TEST_F(Cycle, FirstRequestWithMinusOneIsADuplicate) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::string r = Request("identity", "-1");
            exit(r == Failure("identity", "-1") && Data().empty() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(Cycle, CloseAllObjectsClosesOnceAndNeverFdZero) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    svc.m_configFd = p[0];
    svc.m_nwTimeControlFd = p[1];
    svc.m_statusEutraFd = 0;
    svc.m_techmodeFd = -1;
    svc.CloseAllObjects();
    EXPECT_EQ(svc.m_configFd + svc.m_nwTimeControlFd + svc.m_statusDataFd, -3);
    EXPECT_EQ(svc.m_statusEutraFd, 0);
    EXPECT_EQ(fcntl(p[0], F_GETFD), -1);  // really closed
    EXPECT_NE(fcntl(0, F_GETFD), -1);
    int again = dup(1);  // takes the lowest free fd, one of those closed
    svc.CloseAllObjects();
    EXPECT_NE(fcntl(again, F_GETFD), -1);  // the second call closed nothing
    close(again);
}

}  // namespace
