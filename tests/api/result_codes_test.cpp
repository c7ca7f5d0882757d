// The name table of the result codes covers every code of vek_dll.h.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "api/result_codes.h"
#include "vek_dll.h"

TEST(ResultCodes, EveryCodeHasItsConstantsNameAndAMeaning) {
    const std::pair<uint32_t, const char *> codes[] = {
        {DEV_OK, "DEV_OK"},
        {DEV_ERR_NO_DEVICE, "DEV_ERR_NO_DEVICE"},
        {DEV_ERR_NULL_ARGUMENT, "DEV_ERR_NULL_ARGUMENT"},
        {DEV_ERR_BUSY, "DEV_ERR_BUSY"},
        {DEV_ERR_UNSUPPORTED, "DEV_ERR_UNSUPPORTED"},
        {DEV_ERR_TRANSFER, "DEV_ERR_TRANSFER"},
        {DEV_ERR_NO_MEMORY, "DEV_ERR_NO_MEMORY"},
        {DEV_ERR_TIMING, "DEV_ERR_TIMING"},
        {DEV_ERR_FRAME_MODE, "DEV_ERR_FRAME_MODE"},
        {DEV_ERR_GRAY_DEPTH, "DEV_ERR_GRAY_DEPTH"},
        {DEV_ERR_VERIFY, "DEV_ERR_VERIFY"},
        {DEV_ERR_I2C_NOT_READY, "DEV_ERR_I2C_NOT_READY"},
        {DEV_ERR_I2C_NOT_DONE, "DEV_ERR_I2C_NOT_DONE"},
        {DEV_ERR_FAILED, "DEV_ERR_FAILED"},
        {VEK_TRANSPORT_FAILED, "VEK_TRANSPORT_FAILED"},
    };
    for (auto [code, name] : codes) {
        ASSERT_NE(vek::ResultCodeName(code), nullptr) << std::hex << code;
        EXPECT_STREQ(vek::ResultCodeName(code), name);
        ASSERT_NE(vek::ResultCodeMeaning(code), nullptr);
        EXPECT_EQ(std::string(vek::ResultCodeMeaning(code)).find('\n'), std::string::npos);
    }
    EXPECT_EQ(vek::ResultCodes().size(), std::size(codes));
    EXPECT_EQ(vek::ResultCodeName(0x80000002), nullptr);
    EXPECT_EQ(vek::ResultCodeMeaning(0x12345678), nullptr);
}
