// What the panel does to boards: one open board at a time, every library
// call it makes logged with its result name and time. Each public call is
// one request of the page, run under one lock (requests come on several
// server threads; the library's ungated calls must not overlap).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "panel/board_lock.hpp"
#include "common.hpp"

namespace vektool::panel {

// A request the panel refuses: its HTTP status and the reason.
struct Refused : std::runtime_error {
    Refused(int s, const std::string &why) : std::runtime_error(why), status(s) {}
    int status;
};

// Frame upload settings from the page.
struct FrameRequest {
    std::string name;                 // the file's name, for its extension and the gallery
    uint32_t planes = 0xFF;           // plane mask
    std::optional<uint32_t> address;  // none: the next free address (inquiry 17)
    bool resize = false;              // scale an image of another size
};

class Session {
public:
    Session(const GlobalOptions &opt, bool traceOn, std::string tempDir, std::string panelUrl);
    ~Session();

    json boards();
    json attachVirtual(uint32_t boardTypeRegister);
    json open(uint32_t deviceIndex);  // VekDevAlloc's index of a listed board
    json close();
    json init(uint32_t frequency, uint32_t grayBits, uint32_t reg30);
    json names();
    json command(const json &which, uint32_t value);
    json inquire(const json &which);
    json readRegister(const json &which);
    json writeRegister(const json &which, uint32_t value);
    json timingPreview(uint32_t planes, uint32_t period, uint32_t aux);
    json setTiming(uint32_t planes, uint32_t period, uint32_t aux);
    json setTrigger(uint32_t reg34, bool enable, uint32_t reg36, uint32_t reg37);
    json gpio(std::optional<uint32_t> output);
    json loadFrame(const std::string &bytes, const FrameRequest &req);
    json loadGenerated(const std::string &set);
    json gallery();
    std::string thumbnail(std::size_t frame);  // PNG
    json activity(uint64_t after);

private:
    struct Frame {
        std::string name;
        uint32_t address, planes, bytes;
        std::size_t digest;
        bool verified = false;
        std::string thumbnail;  // PNG, made when read back
    };
    struct Call {
        uint64_t seq;
        double at, ms;
        std::string call;
        uint32_t code;
    };

    DeviceHandle *handle();  // the open board's, or Refused 409
    uint32_t logged(const std::string &call, uint32_t code, std::chrono::steady_clock::time_point started);
    template <class F>
    uint32_t run(const std::string &call, F f);
    uint32_t checked(const std::string &call, uint32_t code);  // a DeviceError unless DEV_OK
    uint32_t readRegisterLocked(uint32_t address);
    uint32_t numberIn(uint32_t table, const json &which, const char *what);
    json loadBytes(const std::vector<uint8_t> &frame, const std::string &name, uint32_t planes,
                   std::optional<uint32_t> address);
    json describe(const VekBoardInfo &b);

    std::mutex lock_;
    GlobalOptions opt_;
    bool traceOn_;
    std::string tempDir_, panelUrl_;
    DeviceHandle *handle_ = nullptr;
    std::unique_ptr<BoardLock> owner_;
    std::string openPort_, firmware_;
    uint32_t boardType_ = 0;
    FrameLayout layout_;
    std::vector<Frame> frames_;
    std::vector<Call> calls_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    uint64_t uploads_ = 0;
};

}  // namespace vektool::panel
