/*
 * vek-selftest: a hardware check for a VEK board on the bench.
 *
 * Lists the boards, opens one, reads the firmware version, the board type
 * (inquiry 5) and register 0x02, writes a test frame into a scratch area of
 * board memory and reads it back, and says what passed. Exit status 0 when
 * every step passed, 1 when a step failed, 2 when no board was found.
 *
 *   vek-selftest [--index N] [--address A] [--length L] [--virtual]
 *
 * --address is the byte address of the scratch area (default 0x00800000),
 * whose old content is overwritten; --length its size in bytes (a multiple of
 * 16, default 1048576). --virtual runs the same steps on a virtual board.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vek_dll.h"
#include "vek_sim.h"

static int failures = 0;

static void report(const char *step, int ok, const char *detail) {
    printf("%-34s %s%s%s\n", step, ok ? "PASS" : "FAIL", detail[0] ? "  " : "", detail);
    if (!ok) ++failures;
}

int main(int argc, char **argv) {
    uint32_t index = 0, address = 0x00800000u, length = 1u << 20;
    int useVirtual = 0;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--index") && i + 1 < argc)
            index = (uint32_t)strtoul(argv[++i], NULL, 0);
        else if (!strcmp(argv[i], "--address") && i + 1 < argc)
            address = (uint32_t)strtoul(argv[++i], NULL, 0);
        else if (!strcmp(argv[i], "--length") && i + 1 < argc)
            length = (uint32_t)strtoul(argv[++i], NULL, 0);
        else if (!strcmp(argv[i], "--virtual"))
            useVirtual = 1;
        else {
            fprintf(stderr, "usage: %s [--index N] [--address A] [--length L] [--virtual]\n", argv[0]);
            return 1;
        }
    }
    if (length == 0 || length % 16 != 0) {
        fprintf(stderr, "vek-selftest: --length must be a non-zero multiple of 16\n");
        return 1;
    }
    if (useVirtual) {
        VekSimBoardConfig config = {sizeof config, NULL, NULL, 0};
        if (VekSimAttach(&config) < 0) return 1;
    }

    char detail[160];
    DeviceHandle *handle = NULL;
    uint8_t vek40 = 0;
    uint32_t rc = VekDevAlloc(index, &handle, &vek40);
    if (rc != 0) {
        printf("No VEK board found at index %u (result 0x%08x).\n", index, rc);
        printf(
            "Check the cable and power, run 'vek list', and on Linux install the udev rule\n"
            "(see the README, \"Real boards on Linux\").\n");
        return 2;
    }
    snprintf(detail, sizeof detail, "board %u opened, VEK4.0: %s", index, vek40 ? "yes" : "no");
    report("open the board", 1, detail);

    uint8_t fw[30];
    GetFWversion(fw);
    char text[16] = {0};
    /* 15 UTF-16LE code units of the manufacturer string. */
    for (int i = 0; i < 15 && (fw[2 * i] | fw[2 * i + 1]) != 0; ++i) {
        int printable = fw[2 * i + 1] == 0 && fw[2 * i] >= 0x20 && fw[2 * i] < 0x7F;
        text[i] = printable ? (char)fw[2 * i] : '?';
    }
    snprintf(detail, sizeof detail, "\"%s\"", text);
    report("read the firmware version", text[0] != 0, detail);

    uint32_t type = 0;
    rc = VekDevInquire(handle, 5, &type);
    snprintf(detail, sizeof detail, rc == 0 ? "board type %u" : "result 0x%08x", rc == 0 ? type : rc);
    report("read the board type (inquiry 5)", rc == 0, detail);

    uint32_t reg = 0;
    rc = VekDevRReg(handle, 0x02, &reg);
    snprintf(detail, sizeof detail, rc == 0 ? "0x%08x" : "result 0x%08x", rc == 0 ? reg : rc);
    report("read register 0x02", rc == 0, detail);

    uint8_t *out = malloc(length), *back = malloc(length);
    if (out == NULL || back == NULL) return 1;
    for (uint32_t i = 0; i < length; ++i) out[i] = (uint8_t)((i * 2654435761u) >> 24);
    memset(back, 0, length);
    rc = VekDevLoadFrame(handle, out, address, length);
    uint32_t rc2 = VekDevGetFrame(handle, back, address, length);
    uint32_t firstBad = length;
    for (uint32_t i = 0; i < length; ++i)
        if (out[i] != back[i]) {
            firstBad = i;
            break;
        }
    if (rc != 0 || rc2 != 0)
        snprintf(detail, sizeof detail, "load 0x%08x, readback 0x%08x", rc, rc2);
    else if (firstBad < length)
        snprintf(detail, sizeof detail, "%u bytes at 0x%08x: first difference at byte %u", length, address, firstBad);
    else
        snprintf(detail, sizeof detail, "%u bytes at 0x%08x read back equal", length, address);
    report("write and read back a frame", rc == 0 && rc2 == 0 && firstBad == length, detail);
    free(out);
    free(back);

    VekDevFree(handle);
    printf("\n%s: %d step(s) failed\n", failures == 0 ? "ALL PASSED" : "FAILED", failures);
    return failures == 0 ? 0 : 1;
}
