// SPDX-License-Identifier: Apache-2.0
// access: the latest reject and release causes of the protocol layers (SM,
// CC, GMM, MM, RR, RRC) and the UTRA random-access parameters, published into
// status_data. Four fetches, each with its own section; the screen is shown
// when any of them answered.
#include <string.h>
#include <sys/slog.h>

#include "CommandRun.h"
#include "pps/VelomarLog.h"
#include "techmode/techmode_structs.h"

static int s_accessLastId = -1;

int VeloAccessHandler(PPSServer *, void *, uint64_t clientId, const char *msg, const char *id,
                      const char *dat) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloAccessHandler");
    g_service->AccessCmd(clientId, msg, id, dat);
    return 0;
}

void VelomarPPS::AccessCmd(uint64_t clientId, const char *msg, const char *id, const char *dat) {
    SmCcCause smcc;
    BasicData basic;
    RadioStatData radio;
    RadioAccessInfo3G rach;
    memset(&smcc, 0, sizeof smcc);
    memset(&basic, 0, sizeof basic);
    memset(&radio, 0, sizeof radio);
    memset(&rach, 0, sizeof rach);

    CommandRun run("AccessHandler", &s_accessLastId);
    if (!BeginCommand(run, clientId, msg, id, dat)) return;

    static const char *const kUnsupported[] = {
        "rach_attempts",   "final_tx_power", "num_preambles",   "num_succ_prach",
        "not_acked_prach", "nacked_prach",   "rrc_latest_cause"};
    run.NotSupported(kUnsupported);
    bool any = false;

    if (getDtaSmCcCauseDta(m_techmodeFd, &smcc) == 0) {
        pps_encoder_add_int(&run.enc, "sm_latest_cause", smcc.sm_cause);
        pps_encoder_add_int(&run.enc, "cc_latest_cause", smcc.cc_cause);
        any = true;
    } else {
        static const char *const kNames[] = {"sm_latest_cause", "cc_latest_cause"};
        run.NotAvailable(kNames);
    }

    if (getDtaBasicDta(m_techmodeFd, &basic) == 0) {
        pps_encoder_add_int(&run.enc, "gmm_latest_cause", basic.gmm_cause);
        pps_encoder_add_int(&run.enc, "mm_latest_cause", basic.mm_cause);
        pps_encoder_add_int(&run.enc, "rr_latest_cause", basic.rr_cause);
        any = true;
    } else {
        static const char *const kNames[] = {"gmm_latest_cause", "mm_latest_cause",
                                             "rr_latest_cause"};
        run.NotAvailable(kNames);
    }

    if (getDtaRadioStatDta(m_techmodeFd, &radio) == 0) {
        pps_encoder_add_int(&run.enc, "rrc_rej_cause", radio.rrc_reject_cause);
        pps_encoder_add_int(&run.enc, "rrc_rel_cause", radio.rrc_release_cause);
        any = true;
    } else {
        static const char *const kNames[] = {"rrc_rej_cause", "rrc_rel_cause"};
        run.NotAvailable(kNames);
    }

    if (getDta3GRadioAccessInfoDta(m_techmodeFd, &rach) == 0) {
        // The initial transmit power is a signed dBm value.
        pps_encoder_add_int(&run.enc, "init_tx_power", rach.init_tx_power);
        pps_encoder_add_int(&run.enc, "rach_step_size", rach.rach_step_size);
        pps_encoder_add_int(&run.enc, "prea_retr_max", rach.preamble_retrans_max);
        any = true;
    } else {
        static const char *const kNames[] = {"init_tx_power", "rach_step_size", "prea_retr_max"};
        run.NotAvailable(kNames);
    }

    FinishCommand(run, m_statusDataFd, any);
}
