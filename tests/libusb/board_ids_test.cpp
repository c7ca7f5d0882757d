// How the libusb backend recognises boards: the id list and the endpoint layout.
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

TEST(UsbIdList, EnvironmentExtendsTheBuiltInIds) {
    setenv("VEK_USB_IDS", "abcd:0001", 1);
    std::vector<UsbId> ids = KnownBoardIds();
    unsetenv("VEK_USB_IDS");
    ASSERT_EQ(ids.size(), BuiltInBoardIds().size() + 1);
    EXPECT_EQ(ids.back(), (UsbId{0xABCD, 0x0001}));
    EXPECT_EQ(KnownBoardIds().size(), BuiltInBoardIds().size());
}

TEST(EndpointLayout, NeedsTheThreeBulkPipesOfTheBoard) {
    struct Case {
        std::vector<EndpointInfo> endpoints;
        bool board;
    };
    const Case cases[] = {
        {{{0x02, 2}, {0x04, 2}, {0x86, 2}}, true},
        {{{0x86, 2}, {0x81, 3}, {0x04, 2}, {0x02, 2}}, true},  // any order, extra pipes allowed
        {{{0x02, 2}, {0x04, 2}}, false},
        {{{0x02, 2}, {0x04, 3}, {0x86, 2}}, false},  // 0x04 as interrupt
        {{{0x02, 1}, {0x04, 2}, {0x86, 2}}, false},  // 0x02 as isochronous
        {{{0x82, 2}, {0x04, 2}, {0x86, 2}}, false},  // IN where OUT is needed
        {{}, false},
    };
    for (const Case &c : cases) EXPECT_EQ(HasBoardEndpointLayout(c.endpoints), c.board);
}

}  // namespace
}  // namespace vek::usbdrv
