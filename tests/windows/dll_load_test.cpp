// vek_dll.dll as a program loads it: by name, with LoadLibraryA, and a virtual
// board driven through entry points looked up with GetProcAddress alone (the
// export table itself is windows_dll_exports's check). This program does not
// link the library, so what runs is the DLL's code and its one copy of the
// board state.
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
    const auto getRegister = VEK_ENTRY(VekSimGetRegister);
    const auto detachAll = VEK_ENTRY(VekSimDetachAll);
    const auto alloc = VEK_ENTRY(VekDevAlloc);
    const auto getDevice = VEK_ENTRY(VekDevGetDevice);
    const auto writeReg = VEK_ENTRY(VekWriteReg);
    const auto devFree = VEK_ENTRY(VekDevFree);
    ASSERT_TRUE(setVirtualClock && attach && getRegister && detachAll && alloc && getDevice && writeReg && devFree);

    detachAll();
    setVirtualClock(1);
    const int board = attach(nullptr);
    ASSERT_GE(board, 0);
    DeviceHandle *handle = nullptr;
    uint8_t isVek40 = 0;
    ASSERT_EQ(alloc(0, &handle, &isVek40), DEV_OK);
    EXPECT_EQ(isVek40, 1);

    // A register written through the raw transport is seen by the board.
    uint32_t value = 0x5A0F1234u, onBoard = 0;
    EXPECT_EQ(writeReg(getDevice(handle), 0x40, &value), 0u);
    EXPECT_EQ(getRegister(board, 0x40, &onBoard), 0);
    EXPECT_EQ(onBoard, 0x5A0F1234u);
    EXPECT_EQ(devFree(handle), DEV_OK);
    detachAll();
    // The board is gone for the DLL as well.
    EXPECT_EQ(alloc(0, &handle, &isVek40), DEV_ERR_NO_DEVICE);
    FreeLibrary(dll);
}

}  // namespace
