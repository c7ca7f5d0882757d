#include "common.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <fstream>

#include "codes.hpp"
#include "vek_sim.h"

namespace vektool {

bool Context::progressEnabled() const {
    return !opt.json && !opt.noProgress && isatty(STDOUT_FILENO);
}

void Context::say(const char *fmt, ...) const {
    if (opt.json) return;
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
}

FrameLayout layoutForBoardType(uint32_t boardType) {
    FrameLayout l;
    l.boardType = boardType;
    if (boardType == 1) {
        l.width = 1920;
        l.height = 1080;
    } else if (boardType == 2 || boardType == 3) {
        l.width = 1024;
        l.height = 768;
    }
    return l;
}

void check(uint32_t code, const std::string &call) {
    if (code != DEV_OK) throw DeviceError(code, call);
}

std::string firmwareVersionText() {
    uint8_t raw[30] = {};
    GetFWversion(raw);
    std::string s;
    for (int i = 0; i + 1 < 30; i += 2) {
        unsigned unit = raw[i] | (raw[i + 1] << 8);
        if (unit == 0) break;
        s.push_back(unit < 0x80 && std::isprint(static_cast<int>(unit)) ? static_cast<char>(unit) : '?');
    }
    return s;
}

Board::Board(int index) : index_(index) {
    uint8_t isVek40 = 0;
    check(VekDevAlloc(static_cast<uint32_t>(index), &handle_, &isVek40), "VekDevAlloc");
    isVek40_ = isVek40 == 1;
    firmwareVersion_ = firmwareVersionText();
}

Board::~Board() {
    if (handle_) VekDevFree(handle_);
}

void Board::free() {
    DeviceHandle *h = handle_;
    handle_ = nullptr;
    check(VekDevFree(h), "VekDevFree");
}

void Board::init(uint32_t frequency, uint32_t grayBits, uint32_t reg30) {
    DeviceInitParams p{0, frequency, grayBits, reg30};
    check(VekDevInit(handle_, &p), "VekDevInit");
}

uint32_t Board::control(uint32_t command, uint32_t value) {
    uint32_t v = value;
    check(VekDevControl(handle_, command, &v), "VekDevControl " + std::to_string(command));
    return v;
}

uint32_t Board::inquire(uint32_t inquiry) {
    uint32_t v = 0;
    check(VekDevInquire(handle_, inquiry, &v), "VekDevInquire " + std::to_string(inquiry));
    return v;
}

uint32_t Board::readRegister(uint32_t address) {
    uint32_t v = 0;
    check(VekDevRReg(handle_, address, &v), "VekDevRReg " + hex32(address));
    return v;
}

FrameLayout Board::learnLayout() { return layoutForBoardType(inquire(5)); }

void Board::load(const uint8_t *data, uint32_t address, uint32_t length) {
    check(VekDevLoadFrame(handle_, data, address, length), "VekDevLoadFrame");
}

void Board::read(uint8_t *data, uint32_t address, uint32_t length) {
    check(VekDevGetFrame(handle_, data, address, length), "VekDevGetFrame");
}

void attachSimBoards(const GlobalOptions &opt) {
    // Pauses of the board protocol (100 ms before every frame transfer, 2 s
    // after a firmware download, ...) pass at once on the virtual clock.
    VekSimSetVirtualClock(1);
    for (int i = 0; i < opt.simBoards; ++i) {
        VekSimBoardConfig cfg{};
        cfg.size = sizeof cfg;
        cfg.boardTypeRegister = opt.simBoardType;
        if (VekSimAttach(&cfg) < 0) throw Failure("could not attach a virtual board (VekSimAttach)");
    }
}

void detachSimBoards() { VekSimDetachAll(); }

std::vector<uint8_t> readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw FileError("cannot open '" + path + "' for reading");
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (size < 0) throw FileError("cannot read '" + path + "'");
    in.seekg(0);
    std::vector<uint8_t> data(static_cast<std::size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char *>(data.data()), size))
        throw FileError("cannot read '" + path + "'");
    return data;
}

void writeFile(const std::string &path, const uint8_t *data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw FileError("cannot open '" + path + "' for writing");
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) throw FileError("cannot write '" + path + "'");
}

bool hasExtension(const std::string &path, const std::string &ext) {
    if (path.size() < ext.size()) return false;
    return std::equal(ext.rbegin(), ext.rend(), path.rbegin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

int popcount8(uint32_t mask) { return __builtin_popcount(mask & 0xFFu); }

uint64_t frameBytes(uint32_t width, uint32_t height, uint32_t planeMask) {
    return static_cast<uint64_t>(popcount8(planeMask)) * (width / 8) * height;
}

void checkFrameSize(uint32_t width, uint32_t height) {
    if (width == 0 || height == 0) throw UsageError("width and height must be above 0");
    if (width % 8 != 0)
        throw UsageError("width " + std::to_string(width) + " is not a multiple of 8 (8 pixels make one byte of a bit plane)");
    if (width > 65536 || height > 65536) throw UsageError("width and height must be at most 65536");
}

}  // namespace vektool
