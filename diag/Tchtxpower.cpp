// SPDX-License-Identifier: Apache-2.0
// tchtxpower (also "tchtxpwr"): the dedicated-channel transmit power values
// and the radio temperature, published into status_utra. Both names share
// one handler and so one last request id.
#include <string.h>
#include <sys/slog.h>

#include "CommandRun.h"
#include "pps/VelomarLog.h"
#include "techmode/techmode_structs.h"

static int s_tchtxpowerLastId = -1;

int VeloTchtxpowerHandler(PPSServer *, void *, uint64_t clientId, const char *msg, const char *id,
                          const char *dat) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloTchtxpowerHandler");
    g_service->TchtxpowerCmd(clientId, msg, id, dat);
    return 0;
}

void VelomarPPS::TchtxpowerCmd(uint64_t clientId, const char *msg, const char *id,
                               const char *dat) {
    DedicatedChannelPower power;
    BatteryTemperature temperature;
    memset(&power, 0, sizeof power);
    memset(&temperature, 0, sizeof temperature);

    CommandRun run("TchtxpowerHandler", &s_tchtxpowerLastId);
    if (!BeginCommand(run, clientId, msg, id, dat)) return;

    // radio_temp appears here and again after the temperature fetch; both
    // lines go out in the one write, and PPS keeps the later one.
    static const char *const kUnsupported[] = {"dch_avgcalls", "dch_bler",       "dch_bler_target",
                                               "dch_sir",      "dch_sir_target", "dch_tx_pwr_algo",
                                               "radio_temp"};
    run.NotSupported(kUnsupported);
    bool any = false;

    if (getDtaDedicatedChannelPowerDta(m_techmodeFd, &power) == 0) {
        // Power and RSSI are signed dBm values; the step is unsigned.
        pps_encoder_add_int(&run.enc, "dch_tx_pwr", power.dch_tx_pwr);
        pps_encoder_add_int(&run.enc, "dch_tx_pwr_step", power.dch_tx_pwr_step);
        pps_encoder_add_int(&run.enc, "dch_utra_rssi", power.dch_utra_rssi);
        any = true;
    } else {
        static const char *const kNames[] = {"dch_tx_pwr", "dch_tx_pwr_step", "dch_utra_rssi"};
        run.NotAvailable(kNames);
    }

    if (getDtaBatteryTemperatureDta(m_techmodeFd, &temperature) == 0) {
        pps_encoder_add_int(&run.enc, "radio_temp", temperature.radio_temp);
        any = true;
    } else {
        pps_encoder_add_string(&run.enc, "radio_temp", "N/A");
    }

    FinishCommand(run, m_statusUtraFd, any);
}
