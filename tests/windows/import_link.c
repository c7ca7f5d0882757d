/* Linked, not run, for 32-bit Windows against vek_dll.lib. Each call refers
 * to a decorated __stdcall import (__imp__VekDevAlloc@12, ...) that the import
 * library must resolve to the DLL's plain name. The calls span argument sizes
 * from 0 to 20 bytes and pointer, 32-bit and 64-bit results. */
#include "vek_dll.h"
#include "vek_sim.h"

int main(void) {
    DeviceHandle *handle = 0;
    uint8_t isVek40 = 0;
    uint32_t value = 0;
    VekSimSetVirtualClock(1);
    if (VekSimAttach(0) < 0) return 1;
    if (VekDevAlloc(0, &handle, &isVek40) != DEV_OK) return 2;
    VekReadReg(VekDevGetDevice(handle), 2, &value);
    VekDevTriggerExtSet(handle, 0, 0, 0, 0);
    VekDevFree(handle);
    VekSimDetachAll();
    return (int)(VekSimClockMs() & 1u);
}
