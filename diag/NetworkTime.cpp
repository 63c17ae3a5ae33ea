// SPDX-License-Identifier: Apache-2.0
// The network-time bridge: republishes the NITZ details of the platform's
// network-time service into status_data, and turns gsm_time_enable of the
// configuration object into a ts_select request to that service.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/slog.h>
#include <time.h>
#include <unistd.h>

#include "pps/VelomarLog.h"
#include "VelomarPPS.h"

namespace {

constexpr size_t kReadMax = 2048;

// Reads one delta into buf (NUL-terminated) and echoes it on standard
// output. false when there is nothing to decode.
bool ReadDelta(int fd, char (&buf)[kReadMax + 1], const char *who) {
    ssize_t n = read(fd, buf, kReadMax);
    if (n < 0) {
        perror("read");
        return false;
    }
    if (n == 0) {
        slogf(kVelomarLogCode, _SLOG_DEBUG1, "[%s] 0 byte read\n", who);
        return false;
    }
    buf[n] = '\0';
    printf("%s\n", buf);
    return true;
}

}  // namespace

void VeloNitzStatusHandler(PPSServer *, void *, int fd) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloNitzStatusHandler");
    g_service->NitzStatusCmd(fd);
}

void VeloConfigHandler(PPSServer *, void *, int fd) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloConfigHandler");
    g_service->ConfigCmd(fd);
}

void VelomarPPS::NitzStatusCmd(int fd) {
    char date[32];
    char timetext[32];
    memset(date, 0, sizeof date);
    memset(timetext, 0, sizeof timetext);
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "NitzStatusHandler: fd: 0x%0x", static_cast<unsigned>(fd));

    char buf[kReadMax + 1];
    if (!ReadDelta(fd, buf, "NitzStatusHandler")) return;

    pps_decoder_t decoder;
    pps_decoder_initialize(&decoder, nullptr);
    if (pps_decoder_parse_pps_str(&decoder, buf) != PPS_DECODER_OK) {
        slogf(kVelomarLogCode, _SLOG_DEBUG1, "PPS decoder parse failed \n");
        pps_decoder_cleanup(&decoder);
        return;
    }
    pps_decoder_push(&decoder, nullptr);
    pps_decoder_push(&decoder, "last_sync_detail");
    if (pps_decoder_status(&decoder, true) != PPS_DECODER_OK) {
        slogf(kVelomarLogCode, _SLOG_DEBUG1, "PPS decoder push failed \n");
        pps_decoder_cleanup(&decoder);
        return;
    }
    const char *source = nullptr;
    int src_sec = 0;
    pps_decoder_get_string(&decoder, "source", &source);
    pps_decoder_get_int(&decoder, "src_sec", &src_sec);
    pps_decoder_pop(&decoder);
    if (pps_decoder_status(&decoder, true) != PPS_DECODER_OK) {
        slogf(kVelomarLogCode, _SLOG_DEBUG1, "PPS decoder pop failed \n");
        pps_decoder_cleanup(&decoder);
        return;
    }
    // source points into buf, which outlives the decoder.
    pps_decoder_cleanup(&decoder);

    time_t t = src_sec;
    struct tm *tm = gmtime(&t);
    if (tm != nullptr) {
        snprintf(date, sizeof date, "%04d:%02d:%02d", tm->tm_year + 1900, tm->tm_mon + 1,
                 tm->tm_mday);
        snprintf(timetext, sizeof timetext, "%02d:%02d:%02d", tm->tm_hour, tm->tm_min, tm->tm_sec);
    }

    pps_encoder_t enc;
    pps_encoder_initialize(&enc, false);
    pps_encoder_add_string(&enc, "nitz_source", source);
    pps_encoder_add_string(&enc, "nitz_time", timetext);
    pps_encoder_add_string(&enc, "nitz_date", date);
    WriteEncoded(m_statusDataFd, &enc);
    pps_encoder_cleanup(&enc);
}

void VelomarPPS::ConfigCmd(int fd) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "ConfigHandler: fd: 0x%0x", static_cast<unsigned>(fd));

    char buf[kReadMax + 1];
    if (!ReadDelta(fd, buf, "ConfigHandler")) return;

    pps_decoder_t decoder;
    pps_decoder_initialize(&decoder, nullptr);
    if (pps_decoder_parse_pps_str(&decoder, buf) != PPS_DECODER_OK) {
        perror("ConfigHandler: PPS decoding failed!");
        pps_decoder_cleanup(&decoder);
        return;
    }
    pps_decoder_error_t err = pps_decoder_push(&decoder, nullptr);
    if (err != PPS_DECODER_OK) {
        slogf(kVelomarLogCode, _SLOG_DEBUG1, "Velomar: Error descending in object: %d", err);
        pps_decoder_cleanup(&decoder);
        return;
    }
    const char *enable = nullptr;
    err = pps_decoder_get_string(&decoder, "gsm_time_enable", &enable);
    if (err != PPS_DECODER_OK) {
        slogf(kVelomarLogCode, _SLOG_DEBUG1,
              "Velomar: Error in decoding string gsm_time_enable : %d", err);
        pps_decoder_cleanup(&decoder);
        return;
    }
    int value = atoi(enable);
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "found gsm_time_enable %d\n", value);
    SetGsmTime(value == 1);
    err = pps_decoder_pop(&decoder);
    if (err != PPS_DECODER_OK)
        slogf(kVelomarLogCode, _SLOG_DEBUG1, "Velomar: Error in pop : %d", err);
    pps_decoder_cleanup(&decoder);
}

void VelomarPPS::SetGsmTime(bool gsm) {
    char dat[128];
    memset(dat, 0, sizeof dat);
    strcpy(dat, gsm ? "gsm" : "all");
    printf("%s\n", dat);
    if (SendControlMsg(m_nwTimeControlFd, "ts_select", "0", dat, false) == -1)
        slogf(kVelomarLogCode, _SLOG_WARNING, "SetGsmTime: failed to send control msg\n");
}

int SendControlMsg(int fd, const char *msg, const char *id, const char *dat, bool json) {
    if (fd == -1) return -1;
    pps_encoder_t enc;
    pps_encoder_initialize(&enc, false);
    pps_encoder_add_string(&enc, "msg", msg);
    if (id != nullptr) pps_encoder_add_string(&enc, "id", id);
    if (json)
        pps_encoder_add_json(&enc, "dat", dat);
    else
        pps_encoder_add_string(&enc, "dat", dat);
    WriteEncoded(fd, &enc);
    pps_encoder_cleanup(&enc);
    return 0;
}
