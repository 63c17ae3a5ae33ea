// SPDX-License-Identifier: Apache-2.0
// gsmopinfo: the GSM/GPRS operating information screen, published into
// status_geran. In order: fixed attributes, the idle-mode neighbour cells,
// the network identity and active RAT, the 3G cells measured from GSM (only
// when camped on GSM), the GPRS timers, the serving cell with its latest
// TBF, the dedicated-mode measurements and the RR state.
#include <stdio.h>
#include <string.h>
#include <sys/slog.h>

#include "CommandRun.h"
#include "IndexedName.h"
#include "pps/VelomarLog.h"
#include "techmode/techmode_structs.h"
#include "techmode/techmode_text.h"

static int s_gsmopinfoLastId = -1;

namespace {

// Neighbour lists are shown up to this many entries; the rest are dropped.
constexpr int kMaxListed = 16;
// The idle neighbour names are reset to "N/A" for the first six indices
// only, so a later run with fewer cells leaves indices 7..16 as they were.
constexpr int kNeighbourDefaults = 6;

const char *const kNeighbourNames[] = {
    "gsm_cell_type%1d", "gsm_arfcn%1d", "gsm_rssi%1d", "gsm_cellid%1d", "gsm_bsic%1d",
    "gsm_lac%1d",       "gsm_rac%1d",   "gsm_c1_%1d",  "gsm_c2_%1d",
};

int Capped(unsigned count) {
    return count > kMaxListed ? kMaxListed : static_cast<int>(count);
}

}  // namespace

int VeloGsmopinfoHandler(PPSServer *, void *, uint64_t clientId, const char *msg, const char *id,
                         const char *dat) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloGsmopinfoHandler");
    g_service->GsmopinfoCmd(clientId, msg, id, dat);
    return 0;
}

void VelomarPPS::GsmopinfoCmd(uint64_t clientId, const char *msg, const char *id, const char *dat) {
    IdleNeighborCellsInfo2G idle;
    MobilityData mobility;
    InterRatMeasurementsInfo irat;
    RadioStatData radio;
    ServingCell2G serving;
    DedicatedMeasurementInfo2G dedicated;
    BasicData basic;
    AttrName name;
    memset(&idle, 0, sizeof idle);
    memset(&mobility, 0, sizeof mobility);
    memset(&irat, 0, sizeof irat);
    memset(&radio, 0, sizeof radio);
    memset(&serving, 0, sizeof serving);
    memset(&dedicated, 0, sizeof dedicated);
    memset(&basic, 0, sizeof basic);
    memset(name, 0, sizeof name);

    CommandRun run("GsmopinfoHandler", &s_gsmopinfoLastId);
    if (!BeginCommand(run, clientId, msg, id, dat)) return;
    pps_encoder_t *enc = &run.enc;

    pps_encoder_add_string(enc, "gsm_cs_ps_pdp", "NOT SUPPORTED");
    pps_encoder_add_string(enc, "dtm_support", "N/A");
    static const char *const kUnsupported[] = {"gsm_pch_period", "last_sddch", "gsm_dnlk_thru",
                                               "edge_bler"};
    run.NotSupported(kUnsupported);

    // Idle-mode neighbours: defaults first, then the cells the modem lists
    // overwrite them in the same message.
    AddIndexedText(enc, name, kNeighbourNames, 1, kNeighbourDefaults, "N/A");
    bool success = getDta2GIdleNeighborCellsInfoDta(m_techmodeFd, &idle) == 0;
    if (success) {
        int n = Capped(idle.cell_count);
        for (int i = 1; i <= n; i++) {
            const IdleNeighborCell2G &c = idle.cells[i - 1];
            pps_encoder_add_string(enc, IndexedName(name, "gsm_cell_type%1d", i),
                                   CellTypeText(c.cell_type));
            pps_encoder_add_int(enc, IndexedName(name, "gsm_arfcn%1d", i), c.arfcn);
            pps_encoder_add_int(enc, IndexedName(name, "gsm_rssi%1d", i), c.rssi);
            pps_encoder_add_int(enc, IndexedName(name, "gsm_cellid%1d", i), c.cell_id);
            pps_encoder_add_int(enc, IndexedName(name, "gsm_bsic%1d", i), c.bsic);
            pps_encoder_add_int(enc, IndexedName(name, "gsm_lac%1d", i), c.lac);
            pps_encoder_add_string(enc, IndexedName(name, "gsm_rac%1d", i), "NOT SUPPORTED");
            pps_encoder_add_int(enc, IndexedName(name, "gsm_c1_%1d", i), c.c1);
            pps_encoder_add_int(enc, IndexedName(name, "gsm_c2_%1d", i), c.c2);
        }
    }

    unsigned rat = kRatUnknown;  // unless the modem says otherwise
    if (getDtaMobilityDta(m_techmodeFd, &mobility) == 0) {
        success = true;
        rat = mobility.active_rat;
        pps_encoder_add_int(enc, "gsm_mcc", mobility.mcc);
        pps_encoder_add_int(enc, "gsm_mnc", mobility.mnc);
        pps_encoder_add_int(enc, "gsm_lac", mobility.lac);
        pps_encoder_add_int(enc, "gsm_rac", mobility.rac);
        pps_encoder_add_string(enc, "active_rat", RatText(rat));
        printf("RAT = %s\n", RatText(rat));
    } else {
        static const char *const kMobility[] = {"active_rat", "gsm_mcc", "gsm_mnc", "gsm_lac",
                                                "gsm_rac"};
        run.NotAvailable(kMobility);
    }

    // UTRA cells are measured from GSM only; on any other RAT the list of an
    // earlier run is removed rather than left stale.
    if (rat == kRatGsm && getDtaInterRatMeasurementsInfoDta(m_techmodeFd, &irat) == 0) {
        success = true;
        pps_encoder_start_array(enc, "gsm_irat_meas");
        int n = Capped(irat.utra_cell_count);
        for (int i = 1; i <= n; i++) {
            const UtraNeighbourMeas &c = irat.utra_cells[i - 1];
            pps_encoder_start_object(enc, nullptr);
            pps_encoder_add_int(enc, IndexedName(name, "%1d irat_3g_uarfcn", i), c.uarfcn);
            pps_encoder_add_int(enc, IndexedName(name, "%1d irat_3g_psc", i), c.psc);
            pps_encoder_add_int(enc, IndexedName(name, "%1d irat_3g_rscp", i), c.rscp);
            pps_encoder_add_int(enc, IndexedName(name, "%1d irat_3g_ecn0", i), c.ecn0);
            pps_encoder_add_int(enc, IndexedName(name, "%1d irat_3g_rssi", i), c.rssi);
            pps_encoder_end_object(enc);
        }
        pps_encoder_end_array(enc);
    } else {
        pps_encoder_delete_attribute(enc, "gsm_irat_meas");
    }

    if (getDtaRadioStatDta(m_techmodeFd, &radio) == 0) {
        success = true;
        pps_encoder_add_int(enc, "gsm_t3312", radio.t3312);
        pps_encoder_add_int(enc, "gsm_t3314", radio.t3314);
    } else {
        static const char *const kTimers[] = {"gsm_t3312", "gsm_t3314"};
        run.NotAvailable(kTimers);
    }

    static const char *const kServing[] = {
        "gprs_state", "gsm_bsic", "gsm_bands", "gsm_cellid",   "gsm_arfcn",    "gprs_nco",
        "gsm_nmo",    "msc_rev",  "sgsn_rev",  "edge_support", "gsm_tx_power", "gsm_ta",
    };
    static const char *const kTbf[] = {"tbf_channel", "tfi_ul", "tfi_dl", "timeslots_ul",
                                       "timeslots_dl"};
    if (getDta2GServingCellDta(m_techmodeFd, &serving) == 0) {
        success = true;
        pps_encoder_add_string(enc, "gprs_state", GprsStateText(serving.gprs_state));
        pps_encoder_add_int(enc, "gsm_bsic", serving.bsic);
        pps_encoder_add_string(enc, "gsm_bands", GsmBandText(serving.band));
        pps_encoder_add_int(enc, "gsm_cellid", serving.cell_id);
        pps_encoder_add_int(enc, "gsm_arfcn", serving.arfcn);
        pps_encoder_add_string(enc, "gprs_nco", NetworkControlOrderText(serving.nco));
        pps_encoder_add_string(enc, "gsm_nmo", NetworkOperationModeText(serving.nmo));
        pps_encoder_add_int(enc, "msc_rev", serving.msc_rev);
        pps_encoder_add_int(enc, "sgsn_rev", serving.sgsn_rev);
        pps_encoder_add_string(enc, "edge_support", EdgeSupportText(serving.edge_support));
        pps_encoder_add_int(enc, "gsm_tx_power", serving.tx_power);
        pps_encoder_add_int(enc, "gsm_ta", serving.timing_advance);
        pps_encoder_start_object(enc, "latest_tbf");
        pps_encoder_add_string(enc, "tbf_channel", CodingSchemeText(serving.tbf_coding_scheme));
        pps_encoder_add_int(enc, "tfi_ul", serving.tfi_ul);
        pps_encoder_add_int(enc, "tfi_dl", serving.tfi_dl);
        pps_encoder_add_int(enc, "timeslots_ul", serving.timeslots_ul);
        pps_encoder_add_int(enc, "timeslots_dl", serving.timeslots_dl);
        pps_encoder_end_object(enc);
    } else {
        run.NotAvailable(kServing);
        pps_encoder_start_object(enc, "latest_tbf");
        run.NotAvailable(kTbf);
        pps_encoder_end_object(enc);
    }

    if (getDta2GDedicatedMeasurementDta(m_techmodeFd, &dedicated) == 0) {
        success = true;
        pps_encoder_start_array(enc, "gsm_ded_meas");
        int n = Capped(dedicated.cell_count);
        for (int i = 1; i <= n; i++) {
            const DedicatedNeighbourMeas2G &c = dedicated.cells[i - 1];
            pps_encoder_start_object(enc, nullptr);
            pps_encoder_add_int(enc, IndexedName(name, "%1d gsm_dec_arfcn", i), c.arfcn);
            pps_encoder_add_int(enc, IndexedName(name, "%1d gsm_dec_bsic", i), c.bsic);
            pps_encoder_add_int(enc, IndexedName(name, "%1d gsm_dec_rxlev", i), c.rxlev);
            pps_encoder_end_object(enc);
        }
        pps_encoder_end_array(enc);
        pps_encoder_start_object(enc, "gsm_sc_dec");
        pps_encoder_add_int(enc, "rxlev_full", dedicated.rxlev_full);
        pps_encoder_add_int(enc, "rxlev_sub", dedicated.rxlev_sub);
        pps_encoder_add_int(enc, "rxqual_full", dedicated.rxqual_full);
        pps_encoder_add_int(enc, "rxqual_sub", dedicated.rxqual_sub);
        pps_encoder_end_object(enc);
    } else {
        pps_encoder_delete_attribute(enc, "gsm_sc_dec");
        pps_encoder_delete_attribute(enc, "gsm_ded_meas");
    }

    if (getDtaBasicDta(m_techmodeFd, &basic) == 0) {
        success = true;
        pps_encoder_add_string(enc, "rr_state", RrStateText(basic.rr_state));
    } else {
        pps_encoder_add_string(enc, "rr_state", "N/A");
    }

    FinishCommand(run, m_statusGeranFd, success);
}
