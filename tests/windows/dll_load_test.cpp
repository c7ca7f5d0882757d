// vek_dll.dll as a program loads it: by name, with LoadLibraryA, and a virtual
// board attached, opened and detached through entry points looked up with
// GetProcAddress alone (the export table itself is windows_dll_exports's
// check; the vek tool's checks drive the DLL through its import library).
// This program does not link the library, so what runs is the DLL's code and
// its one copy of the board state.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "vek_dll.h"
#include "vek_sim.h"

namespace {

// The export `name` of `dll` as a pointer of the header's type.
template <class F>
F Entry(HMODULE dll, const char *name) {
    const FARPROC proc = GetProcAddress(dll, name);
    F function = nullptr;
    static_assert(sizeof function == sizeof proc);
    std::memcpy(&function, &proc, sizeof function);
    return function;
}
#define VEK_ENTRY(name) Entry<decltype(&name)>(dll, #name)

TEST(DllLoad, DrivesAVirtualBoardThroughItsOwnEntryPoints) {
    const HMODULE dll = LoadLibraryA("vek_dll.dll");
    ASSERT_NE(dll, nullptr) << "LoadLibraryA(vek_dll.dll): error " << GetLastError();
    const auto setVirtualClock = VEK_ENTRY(VekSimSetVirtualClock);
    const auto attach = VEK_ENTRY(VekSimAttach);
    const auto detachAll = VEK_ENTRY(VekSimDetachAll);
    const auto alloc = VEK_ENTRY(VekDevAlloc);
    const auto devFree = VEK_ENTRY(VekDevFree);
    ASSERT_TRUE(setVirtualClock && attach && detachAll && alloc && devFree);

    detachAll();
    setVirtualClock(1);
    ASSERT_GE(attach(nullptr), 0);
    DeviceHandle *handle = nullptr;
    uint8_t isVek40 = 0;
    ASSERT_EQ(alloc(0, &handle, &isVek40), DEV_OK);
    EXPECT_EQ(isVek40, 1);

    EXPECT_EQ(devFree(handle), DEV_OK);
    detachAll();
    // The board is gone for the DLL as well.
    EXPECT_EQ(alloc(0, &handle, &isVek40), DEV_ERR_NO_DEVICE);
    FreeLibrary(dll);
}

}  // namespace
