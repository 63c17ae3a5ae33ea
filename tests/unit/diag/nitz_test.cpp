// The network-time bridge: NITZ details republished into status_data, and
// gsm_time_enable turned into a ts_select request.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "diag_harness.h"

namespace {

class NetworkTime : public DiagHarness {
  protected:
    void SetUp() override {
        DiagHarness::SetUp();
        int p[2];
        ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
        svc.m_nwTimeControlFd = p[1];
        control_reader = p[0];
    }
    void TearDown() override {
        close(control_reader);
        DiagHarness::TearDown();
    }
    // Feeds text to a handler as the object would deliver it.
    void Deliver(void (*handler)(PPSServer *, void *, int), const std::string &text) {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        ASSERT_EQ(write(p[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(p[1]);
        handler(nullptr, nullptr, p[0]);
        close(p[0]);
    }
    std::string Sent() { return Drain(control_reader); }
    int control_reader = -1;
};

TEST_F(NetworkTime, RepublishesNitzAsUtcDateAndTime) {
    struct {
        const char *detail;
        const char *published;
    } cases[] = {
        {"{\"source\":\"nitz\",\"src_sec\":0}",
         "nitz_source::nitz\nnitz_time::00:00:00\nnitz_date::1970:01:01\n"},
        {"{\"src_sec\":1700000000,\"source\":\"gps\",\"extra\":[1]}",
         "nitz_source::gps\nnitz_time::22:13:20\nnitz_date::2023:11:14\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.detail);
        std::string text = std::string("@status\nlast_sync_detail:json:") + c.detail + "\n";
        testing::internal::CaptureStdout();
        Deliver(VeloNitzStatusHandler, text);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), text + "\n");  // the echo
        EXPECT_EQ(Data(), c.published);
    }
}

TEST_F(NetworkTime, BadNitzTextPublishesNothing) {
    struct {
        const char *text;
        const char *log;
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
        LogCapture log;
        testing::internal::CaptureStdout();
        Deliver(VeloNitzStatusHandler, c.text);
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(log.Has(c.log));
        EXPECT_EQ(Data(), "");
    }
}

TEST_F(NetworkTime, GsmTimeEnableSelectsTimeSources) {
    struct {
        const char *line;
        const char *sent;  // "" for nothing
        const char *log;
    } cases[] = {
        {"gsm_time_enable::1", "msg::ts_select\nid::0\ndat::gsm\n", "6 found gsm_time_enable 1\n"},
        {"gsm_time_enable::01", "msg::ts_select\nid::0\ndat::gsm\n", nullptr},
        {"gsm_time_enable::1x", "msg::ts_select\nid::0\ndat::gsm\n", nullptr},
        {"gsm_time_enable::0", "msg::ts_select\nid::0\ndat::all\n", "6 found gsm_time_enable 0\n"},
        {"gsm_time_enable::2", "msg::ts_select\nid::0\ndat::all\n", nullptr},
        {"gsm_time_enable::", "msg::ts_select\nid::0\ndat::all\n", nullptr},
        {"gsm_time_enable::on", "msg::ts_select\nid::0\ndat::all\n", nullptr},
        {"gsm_time_enable:n:1", "", "6 Velomar: Error in decoding string gsm_time_enable : 4"},
        {"other::1", "", "6 Velomar: Error in decoding string gsm_time_enable : 1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        LogCapture log;
        testing::internal::CaptureStdout();
        Deliver(VeloConfigHandler, std::string("@config\n") + c.line + "\n");
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(Sent(), c.sent);
        if (c.log) {
            EXPECT_TRUE(log.Has(c.log));
        }
        if (*c.sent) {  // SetGsmTime echoes its choice
            EXPECT_NE(out.find(std::string(strstr(c.sent, "dat::") + 5)), std::string::npos);
        }
    }
}

TEST_F(NetworkTime, ConfigFailures) {
    LogCapture log;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    Deliver(VeloConfigHandler, "not pps\n");
    Deliver(VeloConfigHandler, "");
    close(svc.m_nwTimeControlFd);
    svc.m_nwTimeControlFd = -1;
    Deliver(VeloConfigHandler, "@config\ngsm_time_enable::1\n");
    testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ConfigHandler: PPS decoding failed!"), std::string::npos);
    EXPECT_TRUE(log.Has("6 [ConfigHandler] 0 byte read\n"));
    EXPECT_TRUE(log.Has("3 SetGsmTime: failed to send control msg\n"));
    EXPECT_EQ(SendControlMsg(-1, "m", nullptr, "d", false), -1);
}

}  // namespace
