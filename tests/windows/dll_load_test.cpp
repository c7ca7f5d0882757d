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

class DllLoad : public testing::Test {
protected:
    static void SetUpTestSuite() { dll_ = LoadLibraryA("vek_dll.dll"); }
    static void TearDownTestSuite() {
        if (dll_ != nullptr) FreeLibrary(dll_);
        dll_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(dll_, nullptr) << "LoadLibraryA(vek_dll.dll): error " << GetLastError(); }

    // The export `name` as a pointer of type F (the header's declaration).
    template <class F>
    static F Entry(const char *name) {
        const FARPROC proc = GetProcAddress(dll_, name);
        F function = nullptr;
        static_assert(sizeof function == sizeof proc);
        std::memcpy(&function, &proc, sizeof function);
        return function;
    }

    static HMODULE dll_;
};
HMODULE DllLoad::dll_ = nullptr;

#define VEK_ENTRY(name) Entry<decltype(&name)>(#name)

TEST_F(DllLoad, DrivesAVirtualBoardThroughItsOwnEntryPoints) {
    const auto setVirtualClock = VEK_ENTRY(VekSimSetVirtualClock);
    const auto attach = VEK_ENTRY(VekSimAttach);
    const auto getRegister = VEK_ENTRY(VekSimGetRegister);
    const auto detachAll = VEK_ENTRY(VekSimDetachAll);
    const auto alloc = VEK_ENTRY(VekDevAlloc);
    const auto getDevice = VEK_ENTRY(VekDevGetDevice);
    const auto writeReg = VEK_ENTRY(VekWriteReg);
    const auto readReg = VEK_ENTRY(VekReadReg);
    const auto init = VEK_ENTRY(VekDevInit);
    const auto devFree = VEK_ENTRY(VekDevFree);
    ASSERT_TRUE(setVirtualClock && attach && getRegister && detachAll && alloc && getDevice && writeReg && readReg &&
                init && devFree);

    detachAll();
    setVirtualClock(1);
    const int board = attach(nullptr);
    ASSERT_GE(board, 0);
    DeviceHandle *handle = nullptr;
    uint8_t isVek40 = 0;
    ASSERT_EQ(alloc(0, &handle, &isVek40), DEV_OK);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(isVek40, 1);

    // A register round trip through the raw transport, seen by the board too.
    CCyDevice *device = getDevice(handle);
    ASSERT_NE(device, nullptr);
    uint32_t value = 0x5A0F1234u, back = 0, onBoard = 0;
    EXPECT_EQ(writeReg(device, 0x40, &value), 0u);
    EXPECT_EQ(readReg(device, 0x40, &back), 0u);
    EXPECT_EQ(back, 0x5A0F1234u);
    EXPECT_EQ(getRegister(board, 0x40, &onBoard), 0);
    EXPECT_EQ(onBoard, 0x5A0F1234u);

    // Initialisation writes register 0x30 on the board.
    DeviceInitParams params{0, 1000, 8, 0x55};
    EXPECT_EQ(init(handle, &params), DEV_OK);
    EXPECT_EQ(getRegister(board, 0x30, &onBoard), 0);
    EXPECT_EQ(onBoard, 0x55u);

    EXPECT_EQ(devFree(handle), DEV_OK);
    detachAll();
    // The board is gone for the DLL as well.
    DeviceHandle *none = nullptr;
    EXPECT_EQ(alloc(0, &none, &isVek40), DEV_ERR_NO_DEVICE);
    EXPECT_EQ(getRegister(board, 0x30, &onBoard), -1);
}

}  // namespace
