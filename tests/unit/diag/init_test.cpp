// VelomarPPS initialisation pieces: the object table walk and the control
// message set-up, against real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "diag_harness.h"

namespace {

class Init : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/diag_init.XXXXXX";
        dir = mkdtemp(tmpl);
        g_service = &svc;
    }
    void TearDown() override {
        svc.CloseAllObjects();
        (void)!system(("rm -rf " + dir).c_str());
        g_service = nullptr;
    }
    std::string dir;
    TestService svc;
};

TEST_F(Init, ObjectTableFillsSlotsByTypeAndStopsAtFirstFailure) {
    std::string p[4] = {dir + "/a", dir + "/b", dir + "/c", dir + "/missing/d"};
    const int fl = O_RDWR | O_CREAT | O_TRUNC;
    PPSObjDesc rows[] = {
        {5, p[0].c_str(), fl, 0666, 0}, {1, p[1].c_str(), fl, 0666, 0},
        {6, p[2].c_str(), fl, 0666, 0},  // no such slot: closed again, not a failure
        {4, p[3].c_str(), fl, 0666, 2}, {2, p[0].c_str(), fl, 0666, 0},  // never reached
    };
    LogCapture log;
    EXPECT_EQ(svc.InitializePPSObjects(rows, 3), 0);
    EXPECT_GE(svc.m_configFd, 0);
    EXPECT_GE(svc.m_statusUtraFd, 0);
    EXPECT_EQ(svc.m_statusGeranFd, -1);
    EXPECT_NE(fcntl(svc.m_configFd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_TRUE(log.Has("6 PPS Obj: " + p[0] + ", Initialized"));
    EXPECT_TRUE(log.Has("3 PPS Obj: " + p[2] + ", Invalid, Init Failed"));

    EXPECT_EQ(svc.InitializePPSObjects(rows, 5), 22);
    EXPECT_TRUE(
        log.Has("1 PPS Obj Path: " + p[3] + " open failed, err: No such file or directory"));
    EXPECT_EQ(svc.m_statusGeranFd, -1);  // the row after the failure was not opened
    EXPECT_EQ(svc.InitializePPSObjects(rows, 0), 0);
}

TEST_F(Init, InitFailsWithoutPpsAndLogsWhy) {
    if (access("/pps/services/radioctrl/modem0/diag", F_OK) == 0)
        GTEST_SKIP() << "a real /pps is here";
    LogCapture log;
    EXPECT_EQ(svc.Init(), -1);
    EXPECT_TRUE(log.Has("1 Velomar PPS Init: PPS Object Initialized Failed, Return"));
}

TEST_F(Init, ContextWithoutDevicesOnlyWarns) {
    if (access("/dev/radio/cellular/techmode", F_OK) == 0)
        GTEST_SKIP() << "a tech-mode device is here";
    LogCapture log;
    testing::internal::CaptureStdout();
    EXPECT_EQ(svc.SetupVelomarContext(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(svc.m_techmodeFd, -1);
    EXPECT_EQ(
        out.rfind(
            "InitializeTechModeConnection: Failed to open device: /dev/radio/cellular/techmode (",
            0),
        0u);
    EXPECT_TRUE(
        log.Has("3 vELOMAR PPS SetupVelomarContext:Cannot Initiate Tech Mode Interface ..."));
    EXPECT_TRUE(log.Has("6 Velomar PPS SetupVelomarContext: Velomar context initialized"));
}

}  // namespace
