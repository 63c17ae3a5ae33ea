// SPDX-License-Identifier: Apache-2.0
// identity: the handset's subscriber and equipment identities (TMSI,
// P-TMSI, IMEI, IMSI, SRNC id), published into status_data.
#include <string.h>
#include <sys/slog.h>

#include "CommandRun.h"
#include "pps/VelomarLog.h"
#include "techmode/techmode_structs.h"
#include "techmode/techmode_text.h"

static int s_identityLastId = -1;

int VeloIdentityHandler(PPSServer *, void *, uint64_t clientId, const char *msg, const char *id,
                        const char *dat) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloIdentityHandler");
    g_service->IdentityCmd(clientId, msg, id, dat);
    return 0;
}

void VelomarPPS::IdentityCmd(uint64_t clientId, const char *msg, const char *id, const char *dat) {
    IdentityData identity;
    memset(&identity, 0, sizeof identity);
    char text[256];
    memset(text, 0, sizeof text);

    CommandRun run("IdentityHandler", &s_identityLastId);
    if (!BeginCommand(run, clientId, msg, id, dat)) return;

    static const char *const kUnsupported[] = {"TLLI", "SRNTI", "CRNTI", "HRNTI"};
    run.NotSupported(kUnsupported);

    bool ok = getDtaIdentityDta(m_techmodeFd, &identity) == 0;
    if (ok) {
        FormatTmsiHex(identity.tmsi, text, sizeof text);
        pps_encoder_add_string(&run.enc, "TMSI", text);
        FormatTmsiHex(identity.ptmsi, text, sizeof text);
        pps_encoder_add_string(&run.enc, "PTMSI", text);
        FormatImeiDigits(identity.imeisv, text, sizeof text);
        pps_encoder_add_string(&run.enc, "IMEI", text);
        FormatImsiDigits(identity.imsi, text, sizeof text);
        pps_encoder_add_string(&run.enc, "IMSI", text);
        pps_encoder_add_int(&run.enc, "SRNCID", identity.srnc_id);
    } else {
        static const char *const kIdentities[] = {"TMSI", "PTMSI", "SRNCID", "IMEI", "IMSI"};
        run.NotAvailable(kIdentities);
    }
    FinishCommand(run, m_statusDataFd, ok);
}
