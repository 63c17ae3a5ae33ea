// SPDX-License-Identifier: Apache-2.0
// VelomarPPS: construction, initialisation and closing of the service.
#include "VelomarPPS.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/slog.h>
#include <unistd.h>

#include "pps/VelomarLog.h"
#include "techmode/techmode_transport.h"

VelomarPPS *g_service = nullptr;

#define DIAG_DIR "/pps/services/radioctrl/modem0/diag/"

const PPSObjDesc kVelomarObjects[7] = {
    {0, DIAG_DIR "status_eutra?nopersist,critical", O_RDWR | O_CREAT | O_TRUNC, 0666, 0},
    {1, DIAG_DIR "status_utra?nopersist,critical", O_RDWR | O_CREAT | O_TRUNC, 0666, 0},
    {2, DIAG_DIR "status_geran?nopersist,critical", O_RDWR | O_CREAT | O_TRUNC, 0666, 0},
    {3, DIAG_DIR "status_3gpp2?nopersist,critical", O_RDWR | O_CREAT | O_TRUNC, 0666, 0},
    {4, DIAG_DIR "status_data?nopersist,critical", O_RDWR | O_CREAT | O_TRUNC, 0666, 2},
    {5, DIAG_DIR "config?delta", O_RDWR | O_CREAT | O_TRUNC, 0666, 0},
    {6, DIAG_DIR "status_nr?nopersist,critical", O_RDWR | O_CREAT | O_TRUNC, 0666, 0},
};

static const char kControlPath[] = DIAG_DIR "control?server";
static const char kNwTimeControlPath[] = "/pps/services/network-time/control";
static const char kNwTimeStatusPath[] =
    "/pps/services/network-time/status?delta,f=last_sync_detail";

VelomarPPS::VelomarPPS()
    : m_techmodeFd(-1),
      m_statusEutraFd(-1),
      m_statusUtraFd(-1),
      m_statusGeranFd(-1),
      m_status3gpp2Fd(-1),
      m_statusDataFd(-1),
      m_configFd(-1),
      m_statusNrFd(-1),
      m_nwTimeControlFd(-1),
      m_nwTimeStatusFd(-1) {}

VelomarPPS::~VelomarPPS() {
    CloseAllObjects();
}

int VelomarPPS::Init() {
    if (InitializePPSObjects(kVelomarObjects, 7) != 0) {
        slogf(kVelomarLogCode, _SLOG_CRITICAL,
              "Velomar PPS Init: PPS Object Initialized Failed, Return");
        return -1;
    }
    if (SetupVelomarContext() == -1) {
        slogf(kVelomarLogCode, _SLOG_CRITICAL, "Velomar PPS Init: Cannot Setup Velomar Context");
        return -1;
    }
    int rc = InitializeControlMessage();
    if (rc == -1) {
        slogf(kVelomarLogCode, _SLOG_CRITICAL,
              "Velomar PPS Init: Cannot Initialize Velomar control message");
        return -1;
    }
    slogf(kVelomarLogCode, _SLOG_CRITICAL, "Velomar PPS Init: Initialize Completed");
    return rc;
}

int VelomarPPS::InitializePPSObjects(const PPSObjDesc *table, int count) {
    int *slots[7] = {&m_statusEutraFd, &m_statusUtraFd, &m_statusGeranFd, &m_status3gpp2Fd,
                     &m_statusDataFd,  &m_configFd,     &m_statusNrFd};
    // The row index is 8 bits wide, as in the base's table walk: a table
    // holds at most 255 rows, and rows beyond that are never opened.
    for (int i = 0; i < count && i < 255; i++) {
        const PPSObjDesc &row = table[i];
        int fd = OpenObjectRow(row);
        if (fd == -1) return EINVAL;
        if (row.type < 7) {
            slogf(kVelomarLogCode, _SLOG_DEBUG1, "PPS Obj: %s, Initialized", row.path);
            *slots[row.type] = fd;
        } else {
            slogf(kVelomarLogCode, _SLOG_WARNING, "PPS Obj: %s, Invalid, Init Failed", row.path);
            close(fd);
        }
    }
    return 0;
}

int VelomarPPS::SetupVelomarContext() {
    int fd = InitializeTechModeConnection();
    if (fd != -1) {
        m_techmodeFd = fd;
    } else {
        slogf(kVelomarLogCode, _SLOG_WARNING,
              "vELOMAR PPS SetupVelomarContext:Cannot Initiate Tech Mode Interface ...");
    }
    m_nwTimeControlFd = open(kNwTimeControlPath, O_RDWR);
    if (m_nwTimeControlFd == -1) {
        slogf(kVelomarLogCode, _SLOG_WARNING,
              "vELOMAR PPS SetupVelomarContext:Cannot Open Network Time Control File ...");
    }
    m_nwTimeStatusFd = open(kNwTimeStatusPath, O_RDWR);
    if (m_nwTimeStatusFd == -1) {
        slogf(kVelomarLogCode, _SLOG_WARNING,
              "vELOMAR PPS SetupVelomarContext:Cannot Open Network Time Status File ...");
    }
    slogf(kVelomarLogCode, _SLOG_DEBUG1,
          "Velomar PPS SetupVelomarContext: Velomar context initialized");
    return 0;
}

int VelomarPPS::InitializeControlMessage() {
    return InitializeControlMessage(kControlPath);
}

int VelomarPPS::InitializeControlMessage(const char *controlPath) {
    PPSServer &server = server_;
    int rc = server.OpenServerObject(controlPath);
    // The watched objects are registered whatever happened above, -1 fds
    // included (poll never reports those).
    server.AddFdHandler(m_configFd, VeloConfigHandler, nullptr);
    server.AddFdHandler(m_nwTimeStatusFd, VeloNitzStatusHandler, nullptr);
    if (rc != 0) return -1;
    server.SetDefaultHandler(VeloDefaultHandler, nullptr);
    server.AddMessageHandler("radionwinfo", VeloRadionwinfoHandler, nullptr);
    server.AddMessageHandler("radiostats", VeloRadiostatsHandler, nullptr);
    server.AddMessageHandler("umtsopinfo", VeloUmtsopinfoHandler, nullptr);
    server.AddMessageHandler("hspaopinfo", VeloHspaopinfoHandler, nullptr);
    server.AddMessageHandler("tchtxpower", VeloTchtxpowerHandler, nullptr);
    server.AddMessageHandler("bearer", VeloBearerHandler, nullptr);
    server.AddMessageHandler("tchtxpwr", VeloTchtxpowerHandler, nullptr);
    server.AddMessageHandler("gsmopinfo", VeloGsmopinfoHandler, nullptr);
    server.AddMessageHandler("access", VeloAccessHandler, nullptr);
    server.AddMessageHandler("identity", VeloIdentityHandler, nullptr);
    server.AddMessageHandler("lteopinfo", VeloLteopinfoHandler, nullptr);
    server.AddMessageHandler("nropinfo", VeloNropinfoHandler, nullptr);
    return 0;
}

void VelomarPPS::CloseAllObjects() {
    // Only close() and stores: this also runs in the termination signal
    // handler. fd 0 is never closed.
    int *fds[] = {&m_techmodeFd,    &m_statusEutraFd, &m_statusUtraFd,    &m_statusGeranFd,
                  &m_status3gpp2Fd, &m_statusDataFd,  &m_nwTimeControlFd, &m_nwTimeStatusFd,
                  &m_configFd,      &m_statusNrFd};
    for (int *fd : fds) {
        if (*fd > 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

int VeloDefaultHandler(PPSServer *, void *, uint64_t, const char *msg, const char *, const char *) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloDefaultHandler, %s", msg);
    return 0;
}
