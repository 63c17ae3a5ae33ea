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
    // Feeds text to a handler as the object would deliver it; returns what
    // the handler printed on standard output.
    std::string Deliver(void (*handler)(PPSServer *, void *, int), const std::string &text) {
        int p[2];
        EXPECT_EQ(pipe(p), 0);
        EXPECT_EQ(write(p[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(p[1]);
        testing::internal::CaptureStdout();
        handler(nullptr, nullptr, p[0]);
        close(p[0]);
        return testing::internal::GetCapturedStdout();
    }
    int sent = -1;  // what the bridge sends the network-time control object
};

// Members in any order, others ignored; 22:13:20 on 2023-11-14 is in the
// system test.
TEST_F(NetworkTime, RepublishesNitzAsUtcDateAndTime) {
    const std::string text =
        "@status\nlast_sync_detail:json:{\"src_sec\":0,\"source\":\"gps\",\"extra\":[1]}\n";
    EXPECT_EQ(Deliver(VeloNitzStatusHandler, text), text + "\n");  // the echo
    EXPECT_EQ(Data(), "nitz_source::gps\nnitz_time::00:00:00\nnitz_date::1970:01:01\n");
}

TEST_F(NetworkTime, BadNitzTextPublishesNothing) {
    struct {
        const char *text, *log;
    } cases[] = {
        {"not pps\n", "6 PPS decoder parse failed \n"},
        {"@status\nother::1\n", "6 PPS decoder push failed \n"},
        {"@status\nlast_sync_detail::text\n", "6 PPS decoder push failed \n"},
        {"@status\nlast_sync_detail:json:{\"src_sec\":5}\n", "6 PPS decoder pop failed \n"},
        {"@status\nlast_sync_detail:json:{\"source\":\"nitz\"}\n", "6 PPS decoder pop failed \n"},
        {"@status\nlast_sync_detail:json:{\"source\":1,\"src_sec\":5}\n",
         "6 PPS decoder pop failed \n"},
        {"", "6 [NitzStatusHandler] 0 byte read\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        SlogCapture log;
        Deliver(VeloNitzStatusHandler, c.text);
        EXPECT_EQ(log.lines.back(), c.log);
        EXPECT_EQ(Data(), "");
    }
}

TEST_F(NetworkTime, GsmTimeEnableSelectsTimeSources) {
    struct {
        const char *line, *dat;  // dat "": nothing sent
        const char *log;
    } cases[] = {
        {"gsm_time_enable::01", "gsm", "6 found gsm_time_enable 1\n"},
        {"gsm_time_enable::1x", "gsm", "6 found gsm_time_enable 1\n"},
        {"gsm_time_enable::2", "all", "6 found gsm_time_enable 2\n"},
        {"gsm_time_enable:n:1", "", "6 Velomar: Error in decoding string gsm_time_enable : 4"},
        {"other::1", "", "6 Velomar: Error in decoding string gsm_time_enable : 1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        SlogCapture log;
        std::string out = Deliver(VeloConfigHandler, std::string("@config\n") + c.line + "\n");
        EXPECT_TRUE(log.Has(c.log));
        EXPECT_EQ(Drain(sent),
                  *c.dat ? "msg::ts_select\nid::0\ndat::" + std::string(c.dat) + "\n" : "");
        // The echo of what was read, then SetGsmTime's choice.
        EXPECT_EQ(out, "@config\n" + std::string(c.line) + "\n\n" +
                           (*c.dat ? c.dat + std::string("\n") : ""));
    }
}

TEST_F(NetworkTime, ConfigFailures) {
    SlogCapture log;
    testing::internal::CaptureStderr();
    Deliver(VeloConfigHandler, "not pps\n");
    Deliver(VeloConfigHandler, "");
    close(svc.m_nwTimeControlFd);
    svc.m_nwTimeControlFd = -1;
    Deliver(VeloConfigHandler, "@config\ngsm_time_enable::1\n");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ConfigHandler: PPS decoding failed!"),
              std::string::npos);
    EXPECT_TRUE(log.Has("6 [ConfigHandler] 0 byte read\n"));
    EXPECT_TRUE(log.Has("3 SetGsmTime: failed to send control msg\n"));
}

}  // namespace
