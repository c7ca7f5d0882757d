// Builds ".iic" firmware files for the download tests (their data: Pattern),
// and runs each test in a directory of its own (the download reads
// "dlp_usb.iic" from there).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "api/board_fixture.h"
#include "host_environment.h"

namespace vektest {

struct IicRecord {
    uint16_t address;
    std::vector<uint8_t> data;
};

// Header, the records in the given order, and the final record (which
// carries the one byte for 0xE600 as such files do).
inline std::vector<uint8_t> IicFile(const std::vector<IicRecord> &records, bool final = true) {
    std::vector<uint8_t> out = {0xC2, 0x47, 0x05, 0x31, 0x10, 0x00, 0x00, 0x04};
    auto be16 = [&](uint32_t v) { out.insert(out.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}); };
    for (const IicRecord &r : records) {
        be16(static_cast<uint32_t>(r.data.size()));
        be16(r.address);
        out.insert(out.end(), r.data.begin(), r.data.end());
    }
    if (final) {
        be16(0x8001);
        be16(0xE600);
        out.push_back(0x00);
    }
    return out;
}

// Changes into a fresh directory for the life of the object.
class ScratchDirectory {
public:
    ScratchDirectory() : previous_(std::filesystem::current_path()) {
        path_ = vektest::MakeScratchDirectory("vek_fw_");
        if (!path_.empty()) std::filesystem::current_path(path_);
    }
    ~ScratchDirectory() {
        std::error_code ec;
        std::filesystem::current_path(previous_, ec);
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    bool ok() const { return !path_.empty(); }

    static void WriteFirmware(const std::vector<uint8_t> &bytes) {
        std::ofstream file("dlp_usb.iic", std::ios::binary);
        ASSERT_TRUE(file.write(reinterpret_cast<const char *>(bytes.data()), std::ssize(bytes)).flush().good());
    }

private:
    std::filesystem::path previous_, path_;
};

}  // namespace vektest
