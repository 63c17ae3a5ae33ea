// SPDX-License-Identifier: Apache-2.0
// The network-time bridge: NITZ details republished into status_data, and
// gsm_time_enable turned into a ts_select request.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "diag_harness.h"

namespace {

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
