// Before any allocation in the process the firmware version is 30 zero bytes.
#include <gtest/gtest.h>

#include "vek_dll.h"

TEST(FirmwareVersion, ZeroBeforeAnyAllocation) {
    uint8_t version[30];
    for (auto &b : version) b = 0xAA;
    GetFWversion(version);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(version[i], 0) << i;
}
