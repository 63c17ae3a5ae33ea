// SPDX-License-Identifier: Apache-2.0
// umtsopinfo: the UMTS operating information screen, published into
// status_utra. In order: the registration reject causes, the periodic
// location update timer, the intra- and inter-frequency neighbours, the GSM
// cells measured from UMTS (only when camped on WCDMA) and the first four
// PDP contexts.
#include <stdio.h>
#include <string.h>
#include <sys/slog.h>

#include "CommandRun.h"
#include "IndexedName.h"
#include "pps/VelomarLog.h"
#include "techmode/techmode_structs.h"

static int s_umtsopinfoLastId = -1;

namespace {

// Every list of this screen shows at most six entries.
constexpr int kMaxListed = 6;
// Only the first four PDP contexts have a place on the screen.
constexpr int kShownContexts = 4;

const char *const kNeighbourNames[] = {
    "intra_psc%1d", "intra_ecno%1d", "intra_rscp%1d", "inter_uarfcn%1d",
    "inter_psc%1d", "inter_ecno%1d", "inter_rscp%1d", "inter_rssi%1d",
};
const char *const kGsmCellNames[] = {
    "irat_system%1d",   "irat_ch%1d",     "irat_bsic%1d",
    "irat_gsm_rssi%1d", "irat_cellid%1d", "irat_cm%1d",
};
const char *const kContextNames[] = {"apn%1d_name", "apn%1d_ipv4_addr", "apn%1d_ipv6_addr"};

int Capped(unsigned count) {
    return count > kMaxListed ? kMaxListed : static_cast<int>(count);
}

// Publishes one PDP context under index i and dumps its name's bytes.
void AddContext(pps_encoder_t *enc, AttrName &name, int i, const PdpContext &c) {
    // The name fills its field when it has no NUL: copy it out bounded.
    char apn[sizeof c.apn + 1];
    memcpy(apn, c.apn, sizeof c.apn);
    apn[sizeof c.apn] = '\0';
    pps_encoder_add_string(enc, IndexedName(name, "apn%1d_name", i), apn);

    printf("APN:");
    for (size_t j = 0; apn[j] != '\0'; j++) printf("0x%x ", static_cast<unsigned char>(apn[j]));
    printf("\n");

    char text[48];
    const uint8_t *v4 = c.ipv4_addr;
    snprintf(text, sizeof text, "%d.%d.%d.%d", v4[0], v4[1], v4[2], v4[3]);
    pps_encoder_add_string(enc, IndexedName(name, "apn%1d_ipv4_addr", i), text);

    const uint8_t *v6 = c.ipv6_addr;
    snprintf(text, sizeof text,
             "%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x", v6[0],
             v6[1], v6[2], v6[3], v6[4], v6[5], v6[6], v6[7], v6[8], v6[9], v6[10], v6[11], v6[12],
             v6[13], v6[14], v6[15]);
    pps_encoder_add_string(enc, IndexedName(name, "apn%1d_ipv6_addr", i), text);
}

}  // namespace

int VeloUmtsopinfoHandler(PPSServer *, void *, uint64_t clientId, const char *msg, const char *id,
                          const char *dat) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloUmtsopinfoHandler");
    g_service->UmtsopinfoCmd(clientId, msg, id, dat);
    return 0;
}

void VelomarPPS::UmtsopinfoCmd(uint64_t clientId, const char *msg, const char *id,
                               const char *dat) {
    BasicData basic;
    RadioStatData radio;
    IntraRatNeighbourCellMeasInfo3G neighbours;
    MobilityData mobility;
    InterRatMeasurementsInfo irat;
    PdpContextInfo pdp;
    AttrName name;
    memset(&basic, 0, sizeof basic);
    memset(&radio, 0, sizeof radio);
    memset(&neighbours, 0, sizeof neighbours);
    memset(&mobility, 0, sizeof mobility);
    memset(&irat, 0, sizeof irat);
    memset(&pdp, 0, sizeof pdp);
    memset(name, 0, sizeof name);

    CommandRun run("UmtsopinfoHandler", &s_umtsopinfoLastId);
    if (!BeginCommand(run, clientId, msg, id, dat)) return;
    pps_encoder_t *enc = &run.enc;

    pps_encoder_add_string(enc, "drx", "NOT SUPPORTED");
    // Neighbour defaults; the cells the modem lists overwrite them below.
    AddIndexedText(enc, name, kNeighbourNames, 1, kMaxListed, "N/A");

    bool success = false;
    if (getDtaBasicDta(m_techmodeFd, &basic) == 0) {
        success = true;
        pps_encoder_add_int(enc, "gmm_reject", basic.gmm_cause);
        pps_encoder_add_int(enc, "mm_reject", basic.mm_cause);
    } else {
        static const char *const kRejects[] = {"gmm_reject", "mm_reject"};
        run.NotAvailable(kRejects);
    }

    if (getDtaRadioStatDta(m_techmodeFd, &radio) == 0) {
        success = true;
        pps_encoder_add_int(enc, "t3212", radio.t3212);
    } else {
        pps_encoder_add_string(enc, "t3212", "N/A");
    }

    if (getDta3GIntraRatNeighbourCellMeasInfoDta(m_techmodeFd, &neighbours) == 0) {
        success = true;
        int a = Capped(neighbours.intra_count);
        for (int i = 1; i <= a; i++) {
            const IntraFreqCell3G &c = neighbours.intra_cells[i - 1];
            pps_encoder_add_int(enc, IndexedName(name, "intra_psc%1d", i), c.psc);
            pps_encoder_add_int(enc, IndexedName(name, "intra_ecno%1d", i), c.ecno);
            pps_encoder_add_int(enc, IndexedName(name, "intra_rscp%1d", i), c.rscp);
        }
        int b = Capped(neighbours.inter_count);
        for (int i = 1; i <= b; i++) {
            const InterFreqCell3G &c = neighbours.inter_cells[i - 1];
            pps_encoder_add_int(enc, IndexedName(name, "inter_uarfcn%1d", i), c.uarfcn);
            pps_encoder_add_int(enc, IndexedName(name, "inter_psc%1d", i), c.psc);
            pps_encoder_add_int(enc, IndexedName(name, "inter_ecno%1d", i), c.ecno);
            pps_encoder_add_int(enc, IndexedName(name, "inter_rscp%1d", i), c.rscp);
            pps_encoder_add_int(enc, IndexedName(name, "inter_rssi%1d", i), c.rssi);
        }
    }

    // GSM cells are measured from WCDMA only. The mobility fetch only picks
    // the branch; it does not count towards the answer.
    unsigned rat = kRatUnknown;
    if (getDtaMobilityDta(m_techmodeFd, &mobility) == 0) rat = mobility.active_rat;
    if (rat == kRatWcdma && getDtaInterRatMeasurementsInfoDta(m_techmodeFd, &irat) == 0) {
        success = true;
        // Indices above the count are left as an earlier run published them.
        int n = Capped(irat.gsm_cell_count);
        for (int i = 1; i <= n; i++) {
            const GsmNeighbourMeas &c = irat.gsm_cells[i - 1];
            pps_encoder_add_string(enc, IndexedName(name, "irat_system%1d", i), "GSM");
            pps_encoder_add_int(enc, IndexedName(name, "irat_ch%1d", i), c.arfcn);
            pps_encoder_add_int(enc, IndexedName(name, "irat_bsic%1d", i), c.bsic);
            pps_encoder_add_int(enc, IndexedName(name, "irat_gsm_rssi%1d", i), c.rssi);
            pps_encoder_add_string(enc, IndexedName(name, "irat_cellid%1d", i), "N/A");
            pps_encoder_add_string(enc, IndexedName(name, "irat_cm%1d", i), "N/A");
        }
    } else {
        AddIndexedText(enc, name, kGsmCellNames, 1, kMaxListed, "N/A");
    }

    if (getDtaPdpContextInfoDta(m_techmodeFd, &pdp) == 0) {
        success = true;
        for (int i = 1; i <= kShownContexts; i++) AddContext(enc, name, i, pdp.contexts[i - 1]);
    } else {
        AddIndexedText(enc, name, kContextNames, 1, kShownContexts, "N/A");
    }

    FinishCommand(run, m_statusUtraFd, success);
}
