// How the libusb backend recognises boards: the id lists and the product string.
#include <gtest/gtest.h>

#include <cstdlib>

#include "drivers/libusb/board_ids.h"

namespace vek::usbdrv {
namespace {

TEST(UsbIdList, ParsesItemsAndNamesTheRejectedOnes) {
    struct Case {
        const char *text;
        std::vector<UsbId> ids;
        std::string rejected;
    };
    const Case cases[] = {
        {"", {}, ""},
        {"1209:7e40", {{0x1209, 0x7E40}}, ""},
        {"0x04d8:0xFFEE, 1234:5678", {{0x04D8, 0xFFEE}, {0x1234, 0x5678}}, ""},
        {"1234:5678;1234:5678", {{0x1234, 0x5678}}, ""},  // duplicates once
        {"12345:1,zz:10,1:2:3,abcd", {}, "12345:1,zz:10,1:2:3,abcd"},
        {"ffff:0000,bad", {{0xFFFF, 0x0000}}, "bad"},
    };
    for (const Case &c : cases) {
        std::string rejected;
        EXPECT_EQ(ParseUsbIds(c.text, &rejected), c.ids) << c.text;
        EXPECT_EQ(rejected, c.rejected) << c.text;
    }
}

// Parsed once per distinct value: the same lists while the variables keep it.
TEST(UsbIdList, EnvironmentExtendsTheBuiltInIds) {
    setenv("VEK_USB_IDS", "abcd:0001,1209:7e40", 1);
    setenv("VEK_USB_LOADER_IDS", "abcd:0002", 1);
    const auto known = ReadKnownIds();
    EXPECT_EQ(ReadKnownIds(), known);
    unsetenv("VEK_USB_IDS");
    unsetenv("VEK_USB_LOADER_IDS");
    EXPECT_EQ(known->boards, (std::vector<UsbId>{{0x1209, 0x7E40}, {0xABCD, 0x0001}}));  // the built-in one once
    EXPECT_EQ(known->loaders, (std::vector<UsbId>{{0xABCD, 0x0002}}));
    const auto plain = ReadKnownIds();  // no other maker's ids built in
    EXPECT_EQ(std::pair(plain->boards.size(), plain->loaders.size()), std::pair(BuiltInBoardIds().size(), size_t{0}));
}

// The product string decides whatever the ids; without it, listed ids make
// the device worth asking, and only those.
TEST(Recognition, ByTheProductStringElseByIds) {
    const KnownIds known{{{0x1209, 0x7E40}}, {{0x1234, 0x0001}}};
    struct Case {
        UsbId id;
        const char *product;
        Recognition what;
    };
    const Case cases[] = {
        {{0x1209, 0x7E40}, "VEK4.0 board", Recognition::Board},
        {{0x1209, 0x7E40}, nullptr, Recognition::AskDevice},
        {{0x1209, 0x7E40}, "VEK3.1", Recognition::Foreign},
        {{0x1209, 0x7E41}, "VEK4.0 board", Recognition::Board},
        {{0x1209, 0x7E41}, nullptr, Recognition::Foreign},
        {{0x1234, 0x0001}, nullptr, Recognition::WaitingForFirmware},
        {{0x1234, 0x0001}, "VEK4.0", Recognition::Board},
    };
    for (const Case &c : cases) EXPECT_EQ(Recognise(known, c.id, c.product), c.what) << c.id.product;
}

}  // namespace
}  // namespace vek::usbdrv
