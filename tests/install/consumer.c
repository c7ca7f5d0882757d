/* A user's program: a virtual board, the road of a typical use, a conversion. */
#include <stdio.h>

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
    uint8_t pixels[16] = {255, 255, 255, 255, 255, 255, 255, 255}, frame[2] = {0};
    if (!pixel2bin(pixels, 16, 1, 0x80, frame) || frame[0] != 0xFF || frame[1] != 0) return 4;
    if (VekDevLoadFrame(h, frame, 0, sizeof frame) != DEV_OK || VekDevFree(h) != DEV_OK) return 5;
    VekSimDetachAll();
    printf("consumer ok\n");
    return 0;
}
