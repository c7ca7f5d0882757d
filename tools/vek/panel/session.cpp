#include "panel/session.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string_view>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "frame_images.hpp"
#include "patterns.hpp"
#include "vek_names.h"
#include "vek_registers.h"
#include "vek_sim.h"

namespace vektool::panel {

namespace {

// Tables of vek_names.h beyond commands and inquiries; a library without
// them answers NULL and the page shows numbers.
constexpr uint32_t kRegisterTable = 3, kBoardTypeTable = 4;
constexpr uint32_t kTimingFirst = 0x60, kTimingLast = 0x75, kControlRegister = 0x01, kBoardTypeRegister = 0x02;
constexpr int kThumbWidth = 240;
// The demo's phase-shift set: four steps of a 64-pixel period.
constexpr int kPhaseSteps = 4, kPhasePeriod = 64;

std::string resultName(uint32_t code) {
    const char *name = VekResultName(code);
    return name ? name : hex32(code);
}

json table(uint32_t which) {
    json out = json::array();
    for (uint32_t i = 0;; ++i) {
        const VekNameEntry *e = VekNameAt(which, i);
        if (!e) break;
        out.push_back({{"number", e->number}, {"name", e->name}, {"meaning", e->meaning}, {"value", e->value}});
    }
    return out;
}

std::size_t digestOf(const uint8_t *data, std::size_t size) {
    return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char *>(data), size));
}

// The extension of an uploaded file's name, lower case, kept only when it is
// plain ("" otherwise): the temporary file it is written to gets it, so the
// image loader sees the format the name claims and nothing else of the name.
std::string plainExtension(const std::string &name) {
    const auto dot = name.find_last_of('.');
    if (dot == std::string::npos || name.size() - dot > 6) return "";
    std::string ext = name.substr(dot);
    for (char &c : ext) {
        if (c != '.' && !std::isalnum(static_cast<unsigned char>(c))) return "";
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return ext;
}

}  // namespace

Session::Session(const GlobalOptions &opt, bool traceOn, std::string tempDir, std::string panelUrl)
    : opt_(opt), traceOn_(traceOn), tempDir_(std::move(tempDir)), panelUrl_(std::move(panelUrl)) {}

Session::~Session() {
    if (handle_) VekDevFree(handle_);
}

uint32_t Session::logged(const std::string &call, uint32_t code, std::chrono::steady_clock::time_point started) {
    const auto now = std::chrono::steady_clock::now();
    calls_.push_back({calls_.size() + 1, std::chrono::duration<double>(started - started_).count(),
                      std::chrono::duration<double, std::milli>(now - started).count(), call, code});
    return code;
}

template <class F>
uint32_t Session::run(const std::string &call, F f) {
    const auto started = std::chrono::steady_clock::now();
    return logged(call, f(), started);
}

uint32_t Session::checked(const std::string &call, uint32_t code) {
    if (code != DEV_OK) throw DeviceError(code, call);
    return code;
}

DeviceHandle *Session::handle() {
    if (!handle_) throw Refused(409, "no board is open");
    return handle_;
}

json Session::describe(const VekBoardInfo &b) {
    json d = {{"index", b.index},
              {"serial", b.serial},
              {"port", b.portPath},
              {"vendor", b.vendorId},
              {"product", b.productId},
              {"backend", b.backend},
              {"virtual", b.isVirtual == 1},
              {"open", handle_ && openPort_ == b.portPath}};
    if (d["open"]) {
        const VekNameEntry *type = VekNameOf(kBoardTypeTable, boardType_);
        d["firmware"] = firmware_;
        d["board_type"] = boardType_;
        d["board_type_name"] = type ? type->name : "";
        d["layout"] = {{"width", layout_.width}, {"height", layout_.height}};
    }
    return d;
}

json Session::boards() {
    std::lock_guard<std::mutex> hold(lock_);
    json list = json::array();
    for (const VekBoardInfo &b : usableBoards(opt_)) list.push_back(describe(b));
    return {{"boards", list}};
}

json Session::attachVirtual(uint32_t boardTypeRegister) {
    std::lock_guard<std::mutex> hold(lock_);
    VekSimBoardConfig cfg{};
    cfg.size = sizeof cfg;
    cfg.boardTypeRegister = boardTypeRegister;
    // A virtual board's pauses pass at once; real boards keep real time.
    VekSimSetVirtualClock(1);
    VekSimTraceEnable(traceOn_ ? 1 : 0);
    const int id = VekSimAttach(&cfg);
    if (id < 0) throw Failure("could not attach a virtual board (VekSimAttach)");
    return {{"board", id}};
}

json Session::open(uint32_t deviceIndex) {
    std::lock_guard<std::mutex> hold(lock_);
    if (handle_) throw Refused(409, "a board is already open: close it first");
    const std::vector<VekBoardInfo> list = usableBoards(opt_);
    const auto found =
        std::find_if(list.begin(), list.end(), [&](const VekBoardInfo &b) { return b.index == deviceIndex; });
    if (found == list.end()) throw Refused(404, "no board " + std::to_string(deviceIndex) + " in the list");
    const VekBoardInfo &b = *found;
    std::string holder;
    auto owner = BoardLock::take(std::string(b.backend) + "-" + b.portPath, panelUrl_, holder);
    if (!owner)
        throw Refused(409, "board " + std::string(b.portPath) + " is in use by another panel" +
                               (holder.empty() ? "" : " (" + holder + ")"));
    DeviceHandle *h = nullptr;
    checked("VekDevAlloc(" + std::to_string(b.index) + ")",
            run("VekDevAlloc(" + std::to_string(b.index) + ")", [&] { return VekDevAlloc(b.index, &h, nullptr); }));
    handle_ = h;
    owner_ = std::move(owner);
    openPort_ = b.portPath;
    firmware_ = firmwareVersionText();
    // The board type fixes the frame layout, before any frame transfer.
    uint32_t type = 0;
    if (run("VekDevInquire(5)", [&] { return VekDevInquire(h, 5, &type); }) == DEV_OK) boardType_ = type;
    layout_ = layoutForBoardType(boardType_);
    frames_.clear();
    return describe(b);
}

json Session::close() {
    std::lock_guard<std::mutex> hold(lock_);
    DeviceHandle *h = handle();
    checked("VekDevFree", run("VekDevFree", [&] { return VekDevFree(h); }));
    handle_ = nullptr;
    owner_.reset();
    openPort_.clear();
    frames_.clear();
    return json::object();
}

json Session::init(uint32_t frequency, uint32_t grayBits, uint32_t reg30) {
    std::lock_guard<std::mutex> hold(lock_);
    const DeviceInitParams p{0, frequency, grayBits, reg30};
    DeviceHandle *h = handle();
    const uint32_t code =
        run("VekDevInit(" + std::to_string(frequency) + ", " + std::to_string(grayBits) + ", " + hex32(reg30) + ")",
            [&] { return VekDevInit(h, &p); });
    return {{"result", resultName(code)}, {"code", code}};
}

json Session::names() {
    return {{"results", table(VEK_TABLE_RESULTS)},
            {"commands", table(VEK_TABLE_COMMANDS)},
            {"inquiries", table(VEK_TABLE_INQUIRIES)},
            {"registers", table(kRegisterTable)},
            {"board_types", table(kBoardTypeTable)}};
}

uint32_t Session::numberIn(uint32_t which, const json &key, const char *what) {
    if (key.is_number_unsigned()) return key.get<uint32_t>();
    if (key.is_string()) {
        const std::string text = key.get<std::string>();
        if (const VekNameEntry *e = VekNameFind(which, text.c_str())) return e->number;
        try {
            std::size_t used = 0;
            const unsigned long n = std::stoul(text, &used, 0);
            if (used == text.size() && n <= 0xFFFFFFFFul) return static_cast<uint32_t>(n);
        } catch (const std::exception &) {
        }
    }
    throw Refused(400, std::string("unknown ") + what + ": give its name or number");
}

json Session::command(const json &which, uint32_t value) {
    const uint32_t n = numberIn(VEK_TABLE_COMMANDS, which, "command");
    std::lock_guard<std::mutex> hold(lock_);
    DeviceHandle *h = handle();
    uint32_t v = value;
    const char *name = VekCommandName(n);
    const uint32_t code =
        run("VekDevControl(" + std::string(name ? name : std::to_string(n)) + ", " + std::to_string(value) + ")",
            [&] { return VekDevControl(h, n, &v); });
    return {{"command", n}, {"result", resultName(code)}, {"code", code}, {"value", v}};
}

json Session::inquire(const json &which) {
    const uint32_t n = numberIn(VEK_TABLE_INQUIRIES, which, "inquiry");
    std::lock_guard<std::mutex> hold(lock_);
    DeviceHandle *h = handle();
    uint32_t v = 0;
    const char *name = VekInquiryName(n);
    const uint32_t code = run("VekDevInquire(" + std::string(name ? name : std::to_string(n)) + ")",
                              [&] { return VekDevInquire(h, n, &v); });
    return {{"inquiry", n}, {"result", resultName(code)}, {"code", code}, {"value", v}};
}

uint32_t Session::readRegisterLocked(uint32_t address) {
    DeviceHandle *h = handle();
    uint32_t v = 0, echoed = 0;
    checked("VekDevRRegEcho(" + hex32(address) + ")",
            run("VekDevRRegEcho(" + hex32(address) + ")", [&] { return VekDevRRegEcho(h, address, &v, &echoed); }));
    if (echoed != (address & 0x7FFFFFFFu))
        throw Failure("the board answered for register " + hex32(echoed) + " instead of " + hex32(address) +
                      ": a stale reply is queued");
    return v;
}

json Session::readRegister(const json &which) {
    const uint32_t address = numberIn(kRegisterTable, which, "register");
    std::lock_guard<std::mutex> hold(lock_);
    return {{"address", address}, {"value", readRegisterLocked(address)}};
}

json Session::writeRegister(const json &which, uint32_t value) {
    const uint32_t address = numberIn(kRegisterTable, which, "register");
    std::lock_guard<std::mutex> hold(lock_);
    CCyDevice *device = VekDevGetDevice(handle());
    uint32_t v = value;
    const uint32_t code = run("VekWriteReg(" + hex32(address) + ", " + hex32(value) + ")",
                              [&] { return VekWriteReg(device, address, &v); });
    checked("VekWriteReg", code);
    return {{"address", address}, {"value", readRegisterLocked(address)}};
}

json Session::timingPreview(uint32_t planes, uint32_t period, uint32_t aux) {
    std::lock_guard<std::mutex> hold(lock_);
    // The library's own computation, rehearsed on a virtual board of the same
    // board type that lives for this call only: the page shows what the
    // board will get, and nothing reaches the board. The rehearsal is kept
    // out of the trace.
    const uint32_t typeRegister = readRegisterLocked(kBoardTypeRegister);
    VekSimTraceEnable(0);
    VekSimBoardConfig cfg{};
    cfg.size = sizeof cfg;
    cfg.boardTypeRegister = typeRegister;
    const int id = VekSimAttach(&cfg);
    json out = {{"planes", planes}, {"period", period}, {"aux", aux}};
    DeviceHandle *h = nullptr;
    GlobalOptions virtualOnly;
    virtualOnly.sim = true;
    for (const VekBoardInfo &b : usableBoards(virtualOnly))
        if (b.portPath == "virtual-" + std::to_string(id) && VekDevAlloc(b.index, &h, nullptr) != DEV_OK) h = nullptr;
    uint32_t type = 0, code = DEV_ERR_NO_DEVICE;
    if (h && VekDevInquire(h, 5, &type) == DEV_OK) code = VekDevNewFrequencySet(h, planes, period, aux);
    out["result"] = resultName(code);
    json regs = json::array();
    for (uint32_t a = kTimingFirst; code == DEV_OK && a <= kTimingLast; ++a) {
        uint32_t v = 0;
        VekSimGetRegister(id, a, &v);
        regs.push_back({{"address", a}, {"value", v}, {"us", v / 48.0}});
    }
    uint32_t control = 0;
    VekSimGetRegister(id, kControlRegister, &control);
    out["registers"] = regs;
    out["short_period"] = code == DEV_OK && (control & 4u) != 0;
    if (h) VekDevFree(h);
    VekSimDetach(id);
    VekSimTraceEnable(traceOn_ ? 1 : 0);
    return out;
}

json Session::setTiming(uint32_t planes, uint32_t period, uint32_t aux) {
    std::lock_guard<std::mutex> hold(lock_);
    DeviceHandle *h = handle();
    const uint32_t code = run("VekDevNewFrequencySet(" + std::to_string(planes) + ", " + std::to_string(period) + ", " +
                                  std::to_string(aux) + ")",
                              [&] { return VekDevNewFrequencySet(h, planes, period, aux); });
    json regs = json::array();
    for (uint32_t a = kTimingFirst; code == DEV_OK && a <= kTimingLast; ++a)
        regs.push_back({{"address", a}, {"value", readRegisterLocked(a)}});
    return {{"result", resultName(code)}, {"code", code}, {"registers", regs}};
}

json Session::setTrigger(uint32_t reg34, bool enable, uint32_t reg36, uint32_t reg37) {
    std::lock_guard<std::mutex> hold(lock_);
    DeviceHandle *h = handle();
    const uint32_t code = run("VekDevTriggerExtSet(" + hex32(reg34) + ", " + (enable ? "1" : "0") + ", " +
                                  hex32(reg36) + ", " + hex32(reg37) + ")",
                              [&] { return VekDevTriggerExtSet(h, reg34, enable ? 1 : 0, reg36, reg37); });
    return {{"result", resultName(code)}, {"code", code}};
}

json Session::gpio(std::optional<uint32_t> output) {
    std::lock_guard<std::mutex> hold(lock_);
    DeviceHandle *h = handle();
    if (output) {
        uint32_t v = *output;
        checked("VekDevSetGPIO", run("VekDevSetGPIO(" + hex32(v) + ")", [&] { return VekDevSetGPIO(h, &v); }));
    }
    uint32_t in = 0;
    checked("VekDevGetGPIO", run("VekDevGetGPIO", [&] { return VekDevGetGPIO(h, &in); }));
    return {{"input", in}, {"output", readRegisterLocked(0x04)}};
}

json Session::loadBytes(const std::vector<uint8_t> &frame, const std::string &name, uint32_t planes,
                        std::optional<uint32_t> address) {
    DeviceHandle *h = handle();
    if (address) {
        if (*address % 16 != 0) throw Refused(400, "the address must be a multiple of 16");
        uint32_t a = *address;
        checked("VekDevControl(17)",
                run("VekDevControl(17, " + hex32(a) + ")", [&] { return VekDevControl(h, 17, &a); }));
    }
    uint32_t at = 0;
    checked("VekDevInquire(17)", run("VekDevInquire(17)", [&] { return VekDevInquire(h, 17, &at); }));
    if (uint64_t(at) + frame.size() > 0x100000000ull) throw Refused(400, "the frame does not fit in board memory");
    const auto size = static_cast<uint32_t>(frame.size());
    checked("VekDevLoadFrame", run("VekDevLoadFrame(" + hex32(at) + ", " + std::to_string(size) + ")",
                                   [&] { return VekDevLoadFrame(h, frame.data(), at, size); }));
    frames_.push_back({name, at, planes, size, digestOf(frame.data(), frame.size()), false, {}});
    return {{"name", name}, {"address", at}, {"bytes", size}, {"frame", frames_.size() - 1}};
}

json Session::loadFrame(const std::string &bytes, const FrameRequest &req) {
    if (req.planes == 0 || req.planes > 0xFF) throw Refused(400, "planes must be a mask from 0x01 to 0xFF");
    std::lock_guard<std::mutex> hold(lock_);
    handle();
    if (!layout_.known()) throw Refused(409, "the board reports no known frame layout");
    const std::string ext = plainExtension(req.name);
    std::vector<uint8_t> frame;
    if (ext == ".bin") {
        if (bytes.size() != frameBytes(layout_.width, layout_.height, req.planes))
            throw Refused(400, "a .bin frame must be one frame of the board's layout and the plane mask");
        frame.assign(bytes.begin(), bytes.end());
    } else {
        // Through the image loader, as every image file the tool reads.
        const std::string path = tempDir_ + "/upload-" + std::to_string(++uploads_) + ext;
        {
            std::ofstream out(path, std::ios::binary);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            if (!out) throw Failure("cannot write the upload to " + path);
        }
        struct Remove {
            std::string p;
            ~Remove() {
                std::error_code ec;
                std::filesystem::remove(p, ec);
            }
        } remove{path};
        try {
            frame = imageToFrame(path, layout_.width, layout_.height, req.planes, req.resize);
        } catch (const FileError &) {
            throw Refused(415, "'" + req.name + "' is not an image the loader reads");
        } catch (const UsageError &e) {
            throw Refused(400, std::string(e.what()).replace(0, path.size() + 2, "'" + req.name + "'"));
        }
    }
    return loadBytes(frame, req.name, req.planes, req.address);
}

json Session::loadGenerated(const std::string &set) {
    if (set != "gray" && set != "phase" && set != "all") throw Refused(400, "the set is gray, phase or all");
    std::lock_guard<std::mutex> hold(lock_);
    handle();
    if (!layout_.known()) throw Refused(409, "the board reports no known frame layout");
    json loaded = json::array();
    for (const Pattern &p : structuredLight(static_cast<int>(layout_.width), static_cast<int>(layout_.height),
                                            kPhaseSteps, kPhasePeriod)) {
        const bool phase = p.name.rfind("phase", 0) == 0;
        if ((set == "gray" && phase) || (set == "phase" && !phase)) continue;
        std::vector<uint8_t> frame(frameBytes(layout_.width, layout_.height, p.planeMask));
        pixel2bin(p.pixels.data, static_cast<int32_t>(layout_.width), static_cast<int32_t>(layout_.height), p.planeMask,
                  frame.data());
        loaded.push_back(loadBytes(frame, p.name, p.planeMask, std::nullopt));
    }
    return {{"frames", loaded}};
}

json Session::gallery() {
    std::lock_guard<std::mutex> hold(lock_);
    DeviceHandle *h = handle();
    json list = json::array();
    std::vector<uint8_t> data;
    cv::Mat pixels(static_cast<int>(layout_.height), static_cast<int>(layout_.width), CV_8UC1), thumb;
    const int thumbHeight = static_cast<int>(kThumbWidth * layout_.height / std::max(layout_.width, 1u));
    for (Frame &f : frames_) {
        data.assign(f.bytes, 0);
        const uint32_t code = run("VekDevGetFrame(" + hex32(f.address) + ", " + std::to_string(f.bytes) + ")",
                                  [&] { return VekDevGetFrame(h, data.data(), f.address, f.bytes); });
        f.verified = code == DEV_OK && digestOf(data.data(), data.size()) == f.digest;
        // Thumbnails come from the library's conversion, scaled down here.
        bin2pixel(data.data(), static_cast<int32_t>(layout_.width), static_cast<int32_t>(layout_.height),
                  static_cast<uint8_t>(f.planes), pixels.data);
        cv::resize(pixels, thumb, cv::Size(kThumbWidth, thumbHeight), 0, 0, cv::INTER_AREA);
        std::vector<uint8_t> png;
        cv::imencode(".png", thumb, png);
        f.thumbnail.assign(png.begin(), png.end());
        list.push_back({{"name", f.name},
                        {"address", f.address},
                        {"bytes", f.bytes},
                        {"planes", f.planes},
                        {"verified", f.verified}});
    }
    return {{"frames", list}};
}

std::string Session::thumbnail(std::size_t frame) {
    std::lock_guard<std::mutex> hold(lock_);
    if (frame >= frames_.size() || frames_[frame].thumbnail.empty()) throw Refused(404, "no such thumbnail");
    return frames_[frame].thumbnail;
}

json Session::activity(uint64_t after) {
    std::lock_guard<std::mutex> hold(lock_);
    json list = json::array();
    for (std::size_t i = static_cast<std::size_t>(std::min<uint64_t>(after, calls_.size())); i < calls_.size(); ++i) {
        const Call &c = calls_[i];
        list.push_back({{"seq", c.seq},
                        {"at", c.at},
                        {"ms", c.ms},
                        {"call", c.call},
                        {"code", c.code},
                        {"result", resultName(c.code)}});
    }
    return {{"calls", list}};
}

}  // namespace vektool::panel
