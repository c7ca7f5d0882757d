/* A user's program: a virtual board, the road of a typical use, a conversion. */
#include <stdio.h>
#include <string.h>

#include <vek_dll.h>
#include <vek_sim.h>

int main(void) {
    VekSimSetVirtualClock(1);
    if (VekSimAttach(NULL) < 0) return 1;
    DeviceHandle *h = NULL;
    uint8_t isVek40 = 0;
    if (VekDevAlloc(0, &h, &isVek40) != DEV_OK || !isVek40) return 2;
    DeviceInitParams p = {0, 60, 8, 0};
    uint32_t type = 0;
    if (VekDevInit(h, &p) != DEV_OK || VekDevInquire(h, 5, &type) != DEV_OK || type != 1) return 3;

    static uint8_t pixels[1920 * 1080], frame[1920 * 1080 / 8], back[1920 * 1080 / 8];
    for (int i = 0; i < 1920 * 1080; ++i) pixels[i] = (uint8_t)(i % 1920 < 960 ? 0 : 255);
    if (!pixel2bin(pixels, 1920, 1080, 0x80, frame)) return 4;
    if (VekDevLoadFrame(h, frame, 0, sizeof frame) != DEV_OK) return 5;
    if (VekDevGetFrame(h, back, 0, sizeof back) != DEV_OK || memcmp(frame, back, sizeof frame) != 0) return 6;
    if (VekDevFree(h) != DEV_OK) return 7;
    VekSimDetachAll();
    printf("consumer ok\n");
    return 0;
}
