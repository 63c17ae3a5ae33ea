// SPDX-License-Identifier: Apache-2.0
// qrx_velomar_server: the modem diagnostic server. Creates the service,
// initialises it, applies -U, installs the termination handler and hands the
// thread to the poll loop.
//
// Exit statuses: 1 when the service cannot be created or initialised or -U
// cannot be applied; 0 after SIGHUP, SIGINT or SIGTERM, or when the loop
// ends; 1 (through err) on a fatal read error of the control object.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/slog.h>
#include <unistd.h>

#include <new>

#include "RunAsUser.h"
#include "pps/VelomarLog.h"
#include "VelomarPPS.h"

static void TerminationHandler(int) {
    g_service->CloseAllObjects();
    printf("velomar_pps_main is terminated.\n");
    exit(0);
}

int main(int argc, char *argv[]) {
    g_service = new (std::nothrow) VelomarPPS();
    if (g_service == nullptr) {
        slogf(kVelomarLogCode, _SLOG_CRITICAL, "NEW failure in creating VelomarPPS");
        return 1;
    }
    if (g_service->Init() == -1) {
        slogf(kVelomarLogCode, _SLOG_CRITICAL, "Velomar PPS: Velomar Init Failure....");
        return 1;
    }

    // Options come after Init, so the objects are opened with the starting
    // identity and kept under the new one. Unknown options are skipped.
    int opt;
    while ((opt = getopt(argc, argv, "U:")) != -1) {
        if (opt == 'U' && RunAsUser(optarg) != 0) {
            slogf(kVelomarLogCode, _SLOG_CRITICAL, "Invalid user/group specified [%s]", optarg);
            return 1;
        }
    }

    signal(SIGHUP, TerminationHandler);
    signal(SIGTERM, TerminationHandler);
    signal(SIGINT, TerminationHandler);

    slogf(kVelomarLogCode, _SLOG_CRITICAL,
          "Velomar PPS:Initialization Complete ... Now Start the Velomar PPS Server");
    g_service->Run();

    g_service->CloseAllObjects();
    if (g_service != nullptr) delete g_service;
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "exiting qrx_velomar");
    return 0;
}
