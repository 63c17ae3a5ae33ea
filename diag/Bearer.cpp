// SPDX-License-Identifier: Apache-2.0
// bearer: the radio access bearers of the active radio technology, published
// into status_data: on WCDMA the array rab_3g of eight bearer objects, on
// GSM the object rab_2g. The attribute of the technology not shown is
// deleted, so a client never sees bearers of a RAT the handset has left.
#include <stdio.h>
#include <string.h>
#include <sys/slog.h>

#include "CommandRun.h"
#include "pps/VelomarLog.h"
#include "techmode/techmode_structs.h"
#include "techmode/techmode_text.h"

static int s_bearerLastId = -1;

namespace {

// Adds the eight bearer entries of rab_3g: one unnamed object each, member
// names carrying the entry number ("1 rab_id" ... "8 ciphering"). Every
// entry is published, set up or not; the modem sends no count.
void AddRab3G(pps_encoder_t *enc, const BearerInfo3G &info, char (&name)[32]) {
    pps_encoder_start_array(enc, "rab_3g");
    for (int n = 1; n <= 8; n++) {
        const RabInfo3G &rab = info.rabs[n - 1];
        pps_encoder_start_object(enc, nullptr);
        snprintf(name, sizeof name, "%1d rab_id", n);
        pps_encoder_add_int(enc, name, rab.rab_id);
        snprintf(name, sizeof name, "%1d domain", n);
        pps_encoder_add_string(enc, name, DomainText(rab.domain));
        snprintf(name, sizeof name, "%1d datarate_ul", n);
        pps_encoder_add_int(enc, name, static_cast<int32_t>(rab.datarate_ul));
        snprintf(name, sizeof name, "%1d datarate_dl", n);
        pps_encoder_add_int(enc, name, static_cast<int32_t>(rab.datarate_dl));
        snprintf(name, sizeof name, "%1d maxrate_ul", n);
        pps_encoder_add_int(enc, name, static_cast<int32_t>(rab.maxrate_ul));
        snprintf(name, sizeof name, "%1d maxrate_dl", n);
        pps_encoder_add_int(enc, name, static_cast<int32_t>(rab.maxrate_dl));
        snprintf(name, sizeof name, "%1d traffic_class", n);
        pps_encoder_add_int(enc, name, rab.traffic_class);
        snprintf(name, sizeof name, "%1d bler_residual", n);
        pps_encoder_add_int(enc, name, rab.bler_residual);
        snprintf(name, sizeof name, "%1d codec", n);
        pps_encoder_add_string(enc, name, CodecText(rab.codec));
        snprintf(name, sizeof name, "%1d ciphering", n);
        pps_encoder_add_string(enc, name, UmtsCipheringText(rab.ciphering));
        pps_encoder_end_object(enc);
    }
    pps_encoder_end_array(enc);
}

// Adds the object rab_2g. The ciphering algorithm is read against the table
// of its domain: GSM ciphering on circuit-switched, GPRS on packet-switched.
void AddRab2G(pps_encoder_t *enc, const BearerInfo2G &info) {
    const char *ciphering = "data error!";
    if (info.domain == 0)
        ciphering = GsmCipheringText(info.ciphering);
    else if (info.domain == 1)
        ciphering = GprsCipheringText(info.ciphering);

    pps_encoder_start_object(enc, "rab_2g");
    pps_encoder_add_string(enc, "domain", DomainText(info.domain));
    pps_encoder_add_int(enc, "datarate_ul", static_cast<int32_t>(info.datarate_ul));
    pps_encoder_add_int(enc, "datarate_dl", static_cast<int32_t>(info.datarate_dl));
    pps_encoder_add_int(enc, "maxrate_ul", static_cast<int32_t>(info.maxrate_ul));
    pps_encoder_add_int(enc, "maxrate_dl", static_cast<int32_t>(info.maxrate_dl));
    pps_encoder_add_int(enc, "bler_residual", info.bler_residual);
    pps_encoder_add_string(enc, "codec", CodecText(info.codec));
    pps_encoder_add_string(enc, "ciphering", ciphering);
    pps_encoder_end_object(enc);
}

}  // namespace

int VeloBearerHandler(PPSServer *, void *, uint64_t clientId, const char *msg, const char *id,
                      const char *dat) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloBearerHandler");
    g_service->BearerCmd(clientId, msg, id, dat);
    return 0;
}

void VelomarPPS::BearerCmd(uint64_t clientId, const char *msg, const char *id, const char *dat) {
    MobilityData mobility;
    BearerInfo2G info2g;
    BearerInfo3G info3g;
    char name[32];
    memset(&mobility, 0, sizeof mobility);
    memset(&info2g, 0, sizeof info2g);
    memset(&info3g, 0, sizeof info3g);
    memset(name, 0, sizeof name);

    CommandRun run("BearerHandler", &s_bearerLastId);
    if (!BeginCommand(run, clientId, msg, id, dat)) return;

    static const char *const kUnsupported[] = {"rab_id",    "ps_channel", "rab_data_rate",
                                               "ps_srb_id", "cs_rab_id",  "cs_channel",
                                               "cs_speed",  "cs_ulsf",    "cs_dlsf"};
    run.NotSupported(kUnsupported);

    if (getDtaMobilityDta(m_techmodeFd, &mobility) != 0) mobility.active_rat = kRatUnknown;
    pps_encoder_add_string(&run.enc, "active_rat", RatText(mobility.active_rat));

    // Only the bearer fetch of the active technology decides the outcome.
    bool ok = false;
    if (mobility.active_rat == kRatWcdma) {
        pps_encoder_delete_attribute(&run.enc, "rab_2g");
        if (getDta3GBearerInfoDta(m_techmodeFd, &info3g) == 0) {
            AddRab3G(&run.enc, info3g, name);
            ok = true;
        } else {
            printf("getDta3GBearerInfoDta return failure\n");
            pps_encoder_delete_attribute(&run.enc, "rab_3g");
        }
    } else if (mobility.active_rat == kRatGsm) {
        pps_encoder_delete_attribute(&run.enc, "rab_3g");
        if (getDta2GBearerInfoDta(m_techmodeFd, &info2g) == 0) {
            AddRab2G(&run.enc, info2g);
            ok = true;
        } else {
            printf("getDta2GBearerInfoDta return failure\n");
            pps_encoder_delete_attribute(&run.enc, "rab_2g");
        }
    } else {
        // GAN, unknown, or a code outside the RAT table: no bearers to show.
        pps_encoder_delete_attribute(&run.enc, "rab_3g");
        pps_encoder_delete_attribute(&run.enc, "rab_2g");
    }

    FinishCommand(run, m_statusDataFd, ok);
}
