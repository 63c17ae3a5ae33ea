// SPDX-License-Identifier: Apache-2.0
// The command cycle (the id echo and the duplicate-id check) and the
// network-time bridge (NITZ details republished into status_data,
// gsm_time_enable turned into a ts_select request).
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

class NetworkTime : public DiagHarness {
  protected:
    NetworkTime() {
        int p[2];
        EXPECT_EQ(pipe2(p, O_NONBLOCK), 0);
        svc.m_nwTimeControlFd = p[1];
        sent = p[0];
    }
    ~NetworkTime() override { close(sent); }
    // Feeds text to a handler as the object would deliver it (what the
    // handler echoes on standard output is dropped).
    void Deliver(void (*handler)(PPSServer *, void *, int), const std::string &text) {
        int p[2];
        EXPECT_EQ(pipe(p), 0);
        EXPECT_EQ(write(p[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(p[1]);
        testing::internal::CaptureStdout();
        handler(nullptr, nullptr, p[0]);
        close(p[0]);
        testing::internal::GetCapturedStdout();
    }
    int sent = -1;  // what the bridge sends the network-time control object
};

// Members in any order, others ignored; text the network-time service
// should never send publishes nothing. 22:13:20 on 2023-11-14 is in the
// system test.
TEST_F(NetworkTime, RepublishesNitzAsUtcDateAndTime) {
    const struct {
        const char *text, *published;
    } cases[] = {
        {"@status\nlast_sync_detail:json:{\"src_sec\":0,\"source\":\"gps\",\"extra\":[1]}\n",
         "nitz_source::gps\nnitz_time::00:00:00\nnitz_date::1970:01:01\n"},
        {"not pps\n", ""},
        {"@status\nother::1\n", ""},
        {"@status\nlast_sync_detail::text\n", ""},
        {"@status\nlast_sync_detail:json:{\"src_sec\":5}\n", ""},
        {"@status\nlast_sync_detail:json:{\"source\":\"nitz\"}\n", ""},
        {"@status\nlast_sync_detail:json:{\"source\":1,\"src_sec\":5}\n", ""},
        {"", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        Deliver(VeloNitzStatusHandler, c.text);
        EXPECT_EQ(Data(), c.published);
    }
}

// A value of 1 (as atoi reads it) asks for GSM time only, another for all
// sources; anything but a string gsm_time_enable asks for nothing, and so
// does text that is not PPS.
TEST_F(NetworkTime, GsmTimeEnableSelectsTimeSources) {
    struct {
        const char *text, *dat;  // dat "": nothing sent
    } cases[] = {
        {"@config\ngsm_time_enable::01\n", "gsm"},
        {"@config\ngsm_time_enable::1x\n", "gsm"},
        {"@config\ngsm_time_enable::2\n", "all"},
        {"@config\ngsm_time_enable:n:1\n", ""},
        {"@config\nother::1\n", ""},
        {"not pps\n", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        Deliver(VeloConfigHandler, c.text);
        EXPECT_EQ(Drain(sent),
                  *c.dat ? "msg::ts_select\nid::0\ndat::" + std::string(c.dat) + "\n" : "");
    }
}

}  // namespace
