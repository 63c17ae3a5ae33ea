/* SPDX-License-Identifier: Apache-2.0 */
// VelomarPPS: the modem diagnostic service. The one object of the process
// that holds every fd of the service (the tech-mode device, seven PPS objects
// of its own, the two network-time objects); Init wires the control object,
// the command names and the two watched objects into the base's PPSServer.
//
// Single-threaded: everything runs on the poll-loop thread, except
// CloseAllObjects, which the termination signal handler also calls.
#ifndef DIAG_VELOMARPPS_H
#define DIAG_VELOMARPPS_H

#include <stdint.h>
#include <sys/pps.h>

#include "pps/CellularBase_PPS.h"

class VelomarPPS : public CellularBase_PPS {
  public:
    VelomarPPS();
    ~VelomarPPS() override;

    // Opens the object table, the tech-mode device and network-time
    // objects, then the control object and the handlers. 0, or -1 on failure
    // (after a critical log line).
    int Init() override;
    void ServiceHook() override {}

    // Opens the tech-mode device and the two network-time objects; a missing
    // one only disables its part. Always 0.
    int SetupVelomarContext();
    // Opens rows of types 0..6 into the seven object fds. 0, or 22 (EINVAL)
    // at the first row that cannot be opened.
    int InitializePPSObjects(const PPSObjDesc *table, int count);
    // Opens the control object and registers the fd and message handlers.
    // 0, or -1 when the control object cannot be opened.
    int InitializeControlMessage();
    // Closes every fd the service holds (fds above 0 only) and marks it -1.
    // Safe to call again; safe in a signal handler.
    void CloseAllObjects();

    // Command bodies: the common request cycle around each command's own
    // fetches and attributes. Called on g_service by the message handlers.
    void IdentityCmd(uint64_t clientId, const char *msg, const char *id, const char *dat);
    void AccessCmd(uint64_t clientId, const char *msg, const char *id, const char *dat);
    void GsmopinfoCmd(uint64_t clientId, const char *msg, const char *id, const char *dat);
    void TchtxpowerCmd(uint64_t clientId, const char *msg, const char *id, const char *dat);
    void BearerCmd(uint64_t clientId, const char *msg, const char *id, const char *dat);
    void HspaopinfoCmd(uint64_t clientId, const char *msg, const char *id, const char *dat);
    void UmtsopinfoCmd(uint64_t clientId, const char *msg, const char *id, const char *dat);
    void RadiostatsCmd(uint64_t clientId, const char *msg, const char *id, const char *dat);
    void RadionwinfoCmd(uint64_t clientId, const char *msg, const char *id, const char *dat);
    void LteopinfoCmd(uint64_t clientId, const char *msg, const char *id, const char *dat);
    void NropinfoCmd(uint64_t clientId, const char *msg, const char *id, const char *dat);

    // Network-time bridge bodies, called by the fd handlers.
    void NitzStatusCmd(int fd);
    void ConfigCmd(int fd);
    // Asks the network-time service to use GSM time only ("gsm") or all
    // sources ("all").
    void SetGsmTime(bool gsm);

    // The service's fds, in member order.
    int m_techmodeFd;
    int m_statusEutraFd;
    int m_statusUtraFd;
    int m_statusGeranFd;
    int m_status3gpp2Fd;
    int m_statusDataFd;
    int m_configFd;
    int m_statusNrFd;
    int m_nwTimeControlFd;
    int m_nwTimeStatusFd;

  protected:
    // InitializeControlMessage on a given control object path (tests run the
    // service on objects of their own).
    int InitializeControlMessage(const char *controlPath);

  private:
    // One command run of the common cycle.
    struct CommandRun;
    bool BeginCommand(CommandRun &run, uint64_t clientId, const char *msg, const char *id,
                      const char *dat);
    void FinishCommand(CommandRun &run, int statusFd, bool success);
};

// The object table: five status objects, the configuration object, and the
// NR status object (after the others, so that their rows keep their types).
extern const PPSObjDesc kVelomarObjects[7];

// Writes one request (msg, optional id, dat as text or JSON) to a PPS
// control object. -1 when fd is -1 (nothing written), else 0.
int SendControlMsg(int fd, const char *msg, const char *id, const char *dat, bool json);

// The one service object; every handler reaches the service through it.
extern VelomarPPS *g_service;

// Message handlers (registered with a null user pointer).
int VeloDefaultHandler(PPSServer *server, void *user, uint64_t clientId, const char *msg,
                       const char *id, const char *dat);
int VeloIdentityHandler(PPSServer *server, void *user, uint64_t clientId, const char *msg,
                        const char *id, const char *dat);
int VeloAccessHandler(PPSServer *server, void *user, uint64_t clientId, const char *msg,
                      const char *id, const char *dat);
int VeloGsmopinfoHandler(PPSServer *server, void *user, uint64_t clientId, const char *msg,
                         const char *id, const char *dat);
int VeloTchtxpowerHandler(PPSServer *server, void *user, uint64_t clientId, const char *msg,
                          const char *id, const char *dat);
int VeloBearerHandler(PPSServer *server, void *user, uint64_t clientId, const char *msg,
                      const char *id, const char *dat);
int VeloHspaopinfoHandler(PPSServer *server, void *user, uint64_t clientId, const char *msg,
                          const char *id, const char *dat);
int VeloUmtsopinfoHandler(PPSServer *server, void *user, uint64_t clientId, const char *msg,
                          const char *id, const char *dat);
int VeloRadiostatsHandler(PPSServer *server, void *user, uint64_t clientId, const char *msg,
                          const char *id, const char *dat);
int VeloRadionwinfoHandler(PPSServer *server, void *user, uint64_t clientId, const char *msg,
                           const char *id, const char *dat);
int VeloLteopinfoHandler(PPSServer *server, void *user, uint64_t clientId, const char *msg,
                         const char *id, const char *dat);
int VeloNropinfoHandler(PPSServer *server, void *user, uint64_t clientId, const char *msg,
                        const char *id, const char *dat);

// Fd handlers of the network-time bridge.
void VeloNitzStatusHandler(PPSServer *server, void *user, int fd);
void VeloConfigHandler(PPSServer *server, void *user, int fd);

#endif
