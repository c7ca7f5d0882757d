// Board subcommands: list, info, init, control, inquire, reg, timing,
// trigger, gpio, reset-pipe, firmware.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>

#include <CLI/CLI.hpp>

#include "codes.hpp"
#include "common.hpp"
#include "handle_access.hpp"
#include "progress.hpp"

namespace vektool {
namespace {

namespace fs = std::filesystem;

// ---- Command and inquiry tables ---------------------------------------------

enum class ValueUse { None, In, Out, InOut };

struct CommandDef {
    uint32_t number;
    const char *name;
    ValueUse value;
    const char *help;
};

const CommandDef kCommands[] = {
    {1, "pulse", ValueUse::None, "pulse bit 31 of the control register (set, 100 ms, clear)"},
    {8, "control-word", ValueUse::In, "if bit 0 of VALUE is 1, write 0x40000000 to the control register"},
    {9, "clear-bit1", ValueUse::None, "clear bit 1 of the control register and verify it"},
    {10, "set-bit1", ValueUse::None, "set bit 1 of the control register"},
    {11, "pulse2", ValueUse::None, "the same pulse of bit 31 as 'pulse'"},
    {13, "set-bit0", ValueUse::None, "set bit 0 of the control register, then wait 100 ms"},
    {14, "frequency", ValueUse::In, "set the frequency, VALUE in Hz (1 to 1073741824)"},
    {15, "gray-depth", ValueUse::In, "set the gray depth, VALUE bit planes (1 to 16)"},
    {17, "loaded-bytes", ValueUse::In, "set the running frame byte count (the next load address) to VALUE"},
    {18, "reg30", ValueUse::In, "write VALUE to register 0x30 and verify it"},
    {19, "reg31", ValueUse::In, "write VALUE to register 0x31"},
    {20, "reg12", ValueUse::In, "write VALUE to register 0x12"},
    {21, "bit25", ValueUse::In, "VALUE 1 sets bit 25 of the control register, anything else clears it"},
    {22, "bit26", ValueUse::In, "VALUE 1 sets bit 26 of the control register, anything else clears it"},
    {24, "reg40", ValueUse::In, "wait 200 ms, write VALUE to register 0x40 and verify it"},
    {25, "reg13", ValueUse::In, "write VALUE / 16 to register 0x13"},
    {26, "reg14", ValueUse::In, "write VALUE / 16 to register 0x14"},
    {27, "reg41", ValueUse::In, "write VALUE to register 0x41"},
    {28, "i2c-write-a", ValueUse::In, "I2C write of VALUE through register 0x50"},
    {29, "i2c-write-b", ValueUse::In, "I2C write of VALUE through register 0x52"},
    {30, "i2c-read", ValueUse::InOut, "I2C read through register 0x53 (VALUE is sent with the request, default 0)"},
    {31, "margin", ValueUse::In, "write VALUE to the margin register 0x20 and verify it"},
    {32, "interval", ValueUse::In, "write VALUE to the interval register 0x22 and verify it"},
    {33, "read-reg40", ValueUse::Out, "wait 200 ms, read register 0x40"},
    {34, "read-margin", ValueUse::Out, "read the margin register 0x20"},
    {35, "mode5", ValueUse::None, "set bits 4 to 7 of the control register to 0101, then wait 1 s"},
};

struct InquiryDef {
    uint32_t number;
    const char *name;
    const char *help;
};

const InquiryDef kInquiries[] = {
    {0, "bit1", "1 if bit 1 of the control register is set, else 0"},
    {2, "fixed-2", "a fixed value, 4096"},
    {3, "fixed-3", "a fixed value, 4096"},
    {4, "fixed-4", "a fixed value, 0x120315"},
    {5, "board-type", "the board type (1: 1920x1080, 2 or 3: 1024x768, 255: unknown); sets the frame layout"},
    {6, "register0", "board register 0x00"},
    {7, "fixed-7", "a fixed value, 0x120315"},
    {17, "loaded-bytes", "the running frame byte count: where the next frame goes"},
    {23, "control-register", "the whole control register 0x01"},
};

const CommandDef *findCommand(const std::string &key) {
    for (const auto &c : kCommands)
        if (key == c.name || key == std::to_string(c.number)) return &c;
    return nullptr;
}

const InquiryDef *findInquiry(const std::string &key) {
    for (const auto &q : kInquiries)
        if (key == q.name || key == std::to_string(q.number)) return &q;
    return nullptr;
}

std::string commandTable() {
    std::string s = "Commands (number, name, what it does):\n";
    char line[200];
    for (const auto &c : kCommands) {
        std::snprintf(line, sizeof line, "  %2u  %-13s %s\n", c.number, c.name, c.help);
        s += line;
    }
    s += "Numbers 2-7, 12, 16 and 23 are not supported by the library (use --any to send them anyway).";
    return s;
}

std::string inquiryTable() {
    std::string s = "Inquiries (number, name, result):\n";
    char line[200];
    for (const auto &q : kInquiries) {
        std::snprintf(line, sizeof line, "  %2u  %-16s %s\n", q.number, q.name, q.help);
        s += line;
    }
    s += "Other numbers are not supported by the library (use --any to send them anyway).";
    return s;
}

// Parses a number as CLI11 does for its integer options (decimal, 0x hex).
bool parseNumber(const std::string &text, uint32_t &out) {
    return CLI::detail::lexical_cast(text, out);
}

std::string frameModeText(const FrameLayout &l) {
    if (!l.known()) return "unknown (frame transfers are refused)";
    return std::to_string(l.width) + "x" + std::to_string(l.height) + " bit planes";
}

// ---- list ------------------------------------------------------------------

void runList(Context &ctx) {
    json boards = json::array();
    std::vector<std::string> names;
    for (int index = 0; index < 256; ++index) {
        DeviceHandle *h = nullptr;
        uint8_t isVek40 = 0;
        uint32_t rc = VekDevAlloc(static_cast<uint32_t>(index), &h, &isVek40);
        if (rc == DEV_ERR_NO_DEVICE) break;
        check(rc, "VekDevAlloc");
        if (index == 0) names = attachedDeviceNames(h);
        json b;
        b["index"] = index;
        b["device_name"] = index < static_cast<int>(names.size()) ? names[static_cast<std::size_t>(index)] : "";
        b["firmware_version"] = firmwareVersionText();
        b["vek40"] = b["device_name"].get<std::string>().rfind("VEK4.0", 0) == 0;
        b["first_listed_vek40"] = isVek40 == 1;
        check(VekDevFree(h), "VekDevFree");
        boards.push_back(b);
    }
    ctx.result["boards"] = boards;
    if (boards.empty()) {
        ctx.say("No VEK board is attached.%s\n",
                ctx.opt.sim ? "" : " (Add --sim to try the commands on a virtual board.)");
        return;
    }
    ctx.say("%-6s %-32s %-18s %s\n", "INDEX", "DEVICE NAME", "FIRMWARE", "VEK4.0");
    for (const auto &b : boards)
        ctx.say("%-6d %-32s %-18s %s\n", b["index"].get<int>(), b["device_name"].get<std::string>().c_str(),
                b["firmware_version"].get<std::string>().c_str(), b["vek40"].get<bool>() ? "yes" : "no");
}

// ---- info ------------------------------------------------------------------

void runInfo(Context &ctx) {
    Board board(ctx.opt.board);
    json j;
    j["index"] = board.index();
    auto names = attachedDeviceNames(board.handle());
    j["device_name"] = board.index() < static_cast<int>(names.size()) ? names[static_cast<std::size_t>(board.index())] : "";
    j["firmware_version"] = board.firmwareVersion();
    j["first_listed_vek40"] = board.firstIsVek40();
    j["open"] = VekIfDevOpenned(board.handle()) == 1;
    json inq = json::object();
    for (const auto &q : kInquiries) inq[q.name] = board.inquire(q.number);
    j["inquiries"] = inq;
    FrameLayout l = layoutForBoardType(inq["board-type"].get<uint32_t>());
    j["board_type"] = l.boardType;
    j["frame_mode"] = frameModeText(l);
    if (l.known()) {
        j["frame_width"] = l.width;
        j["frame_height"] = l.height;
        j["plane_bytes"] = l.planeBytes();
    }
    ctx.result = j;
    ctx.say("Board %d: %s\n", board.index(), j["device_name"].get<std::string>().c_str());
    ctx.say("  firmware version   %s\n", board.firmwareVersion().c_str());
    ctx.say("  first board VEK4.0 %s\n", board.firstIsVek40() ? "yes" : "no");
    ctx.say("  board type         %u\n", l.boardType);
    ctx.say("  frame mode         %s\n", frameModeText(l).c_str());
    for (const auto &q : kInquiries)
        ctx.say("  inquiry %-2u %-16s %s (%u)\n", q.number, q.name, hex32(inq[q.name].get<uint32_t>()).c_str(),
                inq[q.name].get<uint32_t>());
    board.free();
}

// ---- init ------------------------------------------------------------------

struct InitArgs {
    uint32_t frequency = 60;
    uint32_t grayBits = 8;
    uint32_t reg30 = 0;
};

void runInit(Context &ctx, const InitArgs &a) {
    Board board(ctx.opt.board);
    board.init(a.frequency, a.grayBits, a.reg30);
    FrameLayout l = board.learnLayout();
    ctx.result = {{"frequency", a.frequency}, {"gray_bits", a.grayBits}, {"reg30", a.reg30},
                  {"board_type", l.boardType}, {"frame_mode", frameModeText(l)}};
    ctx.say("Initialised board %d: %u Hz, %u bit planes, register 0x30 = %s; board type %u, frames of %s.\n",
            board.index(), a.frequency, a.grayBits, hex32(a.reg30).c_str(), l.boardType, frameModeText(l).c_str());
    board.free();
}

// ---- control / inquire -----------------------------------------------------

struct NumberedArgs {
    std::string which;
    uint32_t value = 0;
    bool any = false;
};

void runControl(Context &ctx, const NumberedArgs &a, bool valueGiven) {
    const CommandDef *def = findCommand(a.which);
    uint32_t number = 0;
    ValueUse use = ValueUse::InOut;
    if (def) {
        number = def->number;
        use = def->value;
    } else if (!(a.any && parseNumber(a.which, number))) {
        throw UsageError("unknown command '" + a.which + "'\n" + commandTable());
    }
    if (use == ValueUse::In && !valueGiven)
        throw UsageError(std::string("command '") + (def ? def->name : a.which.c_str()) + "' needs a VALUE");
    if ((use == ValueUse::None || use == ValueUse::Out) && valueGiven)
        throw UsageError(std::string("command '") + def->name + "' takes no VALUE");
    Board board(ctx.opt.board);
    uint32_t out = board.control(number, a.value);
    ctx.result = {{"command", number}, {"name", def ? def->name : ""}};
    if (use == ValueUse::In || use == ValueUse::InOut) ctx.result["value_in"] = a.value;
    if (use == ValueUse::Out || use == ValueUse::InOut) ctx.result["value"] = out;
    if (use == ValueUse::Out || use == ValueUse::InOut)
        ctx.say("%s\n", hex32(out).c_str());
    else
        ctx.say("Command %u (%s): done.\n", number, def ? def->name : "unnamed");
    board.free();
}

void runInquire(Context &ctx, const NumberedArgs &a) {
    const InquiryDef *def = findInquiry(a.which);
    uint32_t number = 0;
    if (def)
        number = def->number;
    else if (!(a.any && parseNumber(a.which, number)))
        throw UsageError("unknown inquiry '" + a.which + "'\n" + inquiryTable());
    Board board(ctx.opt.board);
    // The board type decides the frame layout and the timing constant; the
    // others are independent of it.
    uint32_t v = board.inquire(number);
    ctx.result = {{"inquiry", number}, {"name", def ? def->name : ""}, {"value", v}};
    ctx.say("%s (%u)\n", hex32(v).c_str(), v);
    board.free();
}

// ---- reg -------------------------------------------------------------------

struct RegArgs {
    uint32_t address = 0;
    uint32_t value = 0;
};

void runRegRead(Context &ctx, const RegArgs &a) {
    Board board(ctx.opt.board);
    uint32_t v = board.readRegister(a.address);
    ctx.result = {{"address", a.address}, {"value", v}};
    ctx.say("register %s = %s (%u)\n", hex32(a.address).c_str(), hex32(v).c_str(), v);
    board.free();
}

void runRegWrite(Context &ctx, const RegArgs &a) {
    Board board(ctx.opt.board);
    uint32_t v = a.value;
    check(VekWriteReg(deviceObject(board.handle()), a.address, &v), "VekWriteReg " + hex32(a.address));
    ctx.result = {{"address", a.address}, {"value", a.value}};
    ctx.say("register %s <- %s\n", hex32(a.address).c_str(), hex32(a.value).c_str());
    board.free();
}

// ---- timing ----------------------------------------------------------------

struct TimingArgs {
    uint32_t planes = 8;
    uint32_t period = 16667;
    uint32_t aux = 0;
};

void runTiming(Context &ctx, const TimingArgs &a) {
    Board board(ctx.opt.board);
    // The timing constant depends on the board type: learn it first.
    FrameLayout l = board.learnLayout();
    check(VekDevNewFrequencySet(board.handle(), a.planes, a.period, a.aux), "VekDevNewFrequencySet");
    uint32_t control = board.inquire(23);
    bool shortPeriod = (control & 0x4u) != 0;
    ctx.result = {{"planes", a.planes}, {"period_us", a.period}, {"aux_us", a.aux},
                  {"board_type", l.boardType}, {"short_period", shortPeriod}};
    ctx.say("Timing set: %u bit planes in %u us%s (board type %u, %s timing).\n", a.planes, a.period,
            a.aux ? (", aux " + std::to_string(a.aux) + " us").c_str() : "", l.boardType,
            shortPeriod ? "short-period" : "normal");
    board.free();
}

// ---- trigger ---------------------------------------------------------------

struct TriggerArgs {
    uint32_t reg34 = 0;
    uint32_t enable = 0;
    uint32_t reg36 = 0;
    uint32_t reg37 = 0;
};

// The library prints a banner on standard output when it sets the trigger;
// with --json it goes to standard error so that standard output stays JSON.
class StdoutToStderr {
public:
    explicit StdoutToStderr(bool active) : active_(active) {
        if (!active_) return;
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        if (saved_ >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    ~StdoutToStderr() {
        if (!active_ || saved_ < 0) return;
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

private:
    bool active_;
    int saved_ = -1;
};

void runTrigger(Context &ctx, const TriggerArgs &a) {
    Board board(ctx.opt.board);
    uint32_t rc;
    {
        StdoutToStderr quiet(ctx.opt.json);
        rc = VekDevTriggerExtSet(board.handle(), a.reg34, static_cast<uint8_t>(a.enable), a.reg36, a.reg37);
    }
    check(rc, "VekDevTriggerExtSet");
    ctx.result = {{"reg34", a.reg34}, {"enable", a.enable == 1}, {"reg36", a.reg36}, {"reg37", a.reg37}};
    ctx.say("\nTrigger extension %s: 0x34 = %s, 0x36 = %s, 0x37 = %s.\n", a.enable == 1 ? "enabled" : "disabled",
            hex32(a.reg34).c_str(), hex32(a.reg36).c_str(), hex32(a.reg37).c_str());
    board.free();
}

// ---- gpio ------------------------------------------------------------------

void runGpioGet(Context &ctx) {
    Board board(ctx.opt.board);
    uint32_t v = 0;
    check(VekDevGetGPIO(board.handle(), &v), "VekDevGetGPIO");
    ctx.result = {{"value", v}};
    ctx.say("GPIO inputs: %s\n", hex32(v).c_str());
    board.free();
}

void runGpioSet(Context &ctx, uint32_t value) {
    Board board(ctx.opt.board);
    uint32_t v = value;
    check(VekDevSetGPIO(board.handle(), &v), "VekDevSetGPIO");
    ctx.result = {{"value", value}};
    ctx.say("GPIO outputs <- %s\n", hex32(value).c_str());
    board.free();
}

// ---- reset-pipe ------------------------------------------------------------

void runResetPipe(Context &ctx, uint32_t endpoint) {
    Board board(ctx.opt.board);
    int ok = ResetUSBPipe(board.handle(), endpoint);
    if (!ok)
        throw Failure("ResetUSBPipe: the board has no bulk endpoint " + hex32(endpoint) +
                      " or its pipe could not be reset (the board's bulk endpoints are 0x02, 0x04 and 0x86)");
    ctx.result = {{"endpoint", endpoint}, {"reset", true}};
    ctx.say("Pipe of endpoint 0x%02X reset.\n", endpoint);
    board.free();
}

// ---- firmware --------------------------------------------------------------

// The range of controller memory a firmware image fills, from its records:
// [u8 header x 8] then records [u16 BE length][u16 BE address][data], ended
// by a record of length 0x8001.
struct FirmwareImage {
    uint32_t records = 0;
    uint32_t lowest = 0xFFFF;
    uint32_t end = 0;
};

FirmwareImage checkFirmwareFile(const std::vector<uint8_t> &f, const std::string &path) {
    if (f.size() > 65535) throw UsageError("'" + path + "' is larger than 65535 bytes; the controller cannot hold it");
    if (f.size() < 12) throw UsageError("'" + path + "' is too short to be a firmware image");
    FirmwareImage img;
    std::size_t off = 8;
    for (;;) {
        if (off + 4 > f.size()) throw UsageError("'" + path + "' has no final record (length 0x8001)");
        uint32_t len = static_cast<uint32_t>(f[off] << 8 | f[off + 1]);
        uint32_t addr = static_cast<uint32_t>(f[off + 2] << 8 | f[off + 3]);
        if (len == 0x8001) break;
        if (off + 4 + len > f.size())
            throw UsageError("'" + path + "': a record at offset " + std::to_string(off) + " runs past the end of the file");
        if (addr + len > 65535)
            throw UsageError("'" + path + "': a record at offset " + std::to_string(off) +
                             " runs past the controller's 64 KiB");
        ++img.records;
        img.lowest = std::min(img.lowest, addr);
        img.end = std::max(img.end, addr + len);
        off += 4 + len;
    }
    return img;
}

// A new, empty folder of the tool's own under the temporary folder.
fs::path makePrivateFolder(const std::string &prefix) {
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) throw FileError("no temporary folder: " + ec.message());
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
        const fs::path dir = base / (prefix + suffix);
        if (fs::create_directory(dir, ec)) {
            fs::permissions(dir, fs::perms::owner_all, ec);
            return dir;
        }
        if (ec) throw FileError("cannot create a folder in '" + base.string() + "': " + ec.message());
    }
    throw FileError("cannot create a folder of a new name in '" + base.string() + "'");
}

void runFirmware(Context &ctx, const std::string &path) {
    std::vector<uint8_t> file = readFile(path);
    FirmwareImage img = checkFirmwareFile(file, path);
    uint64_t imageBytes = img.end > img.lowest ? img.end - img.lowest : 0;

    // The library reads the image from "dlp_usb.iic" in the current directory:
    // give it a private directory holding a copy of the file.
    const fs::path dir = makePrivateFolder("vek-firmware-");
    struct Cleanup {
        fs::path dir, back;
        ~Cleanup() {
            std::error_code ec;
            fs::current_path(back, ec);
            fs::remove_all(dir, ec);
        }
    } cleanup{dir, fs::current_path()};
    writeFile((dir / "dlp_usb.iic").string(), file.data(), file.size());

    Board board(ctx.opt.board);
    fs::current_path(dir);
    Progress progress(ctx.progressEnabled(), "firmware", imageBytes);
    int ok = VekDownloadFirmWare(board.handle(), 0);
    if (!ok) throw Failure("VekDownloadFirmWare: the download failed (the controller may be left halted; run it again)");
    progress.update(imageBytes);
    progress.finish();
    int reopened = DevReAlloc(board.handle());
    if (!reopened)
        throw Failure("DevReAlloc: the board did not come back as a VEK4.0 device after the download; "
                      "unplug and replug it");
    std::string version = firmwareVersionText();
    ctx.result = {{"file", path}, {"records", img.records}, {"bytes", imageBytes},
                  {"start", img.lowest}, {"end", img.end}, {"reopened", true}, {"firmware_version", version}};
    ctx.say("Firmware downloaded: %u records, %llu bytes at 0x%04X-0x%04X; board reopened, firmware version '%s'.\n",
            img.records, static_cast<unsigned long long>(imageBytes), img.lowest, img.end, version.c_str());
    board.free();
}

}  // namespace

void addDeviceCommands(CLI::App &app, Context &ctx) {
    auto *list = app.add_subcommand("list", "List the attached boards: index, device name, firmware version, VEK4.0");
    list->callback([&ctx] { ctx.action = runList; });

    auto *info = app.add_subcommand("info", "Show a board's inquiries, board type and frame mode");
    info->callback([&ctx] { ctx.action = runInfo; });

    auto init = std::make_shared<InitArgs>();
    auto *initCmd = app.add_subcommand("init", "Initialise a board (gray depth, frequency, register 0x30), then learn its board type");
    initCmd->add_option("--frequency", init->frequency, "frequency in Hz")->capture_default_str()->check(CLI::Range(1u, 0x40000000u));
    initCmd->add_option("--gray-bits", init->grayBits, "bit planes per frame")->capture_default_str()->check(CLI::Range(1u, 16u));
    initCmd->add_option("--reg30", init->reg30, "value for register 0x30")->capture_default_str();
    initCmd->callback([&ctx, init] { ctx.action = [init](Context &c) { runInit(c, *init); }; });

    auto ctl = std::make_shared<NumberedArgs>();
    auto *ctlCmd = app.add_subcommand("control", "Run a numbered control command (by number or name)");
    ctlCmd->add_option("command", ctl->which, "command number or name")->required();
    auto *ctlValue = ctlCmd->add_option("value", ctl->value, "the command's VALUE (decimal or 0x hex)");
    ctlCmd->add_flag("--any", ctl->any, "send a number the tool does not know; the library answers");
    ctlCmd->footer(commandTable());
    ctlCmd->callback([&ctx, ctl, ctlValue] {
        bool given = ctlValue->count() > 0;
        ctx.action = [ctl, given](Context &c) { runControl(c, *ctl, given); };
    });

    auto inq = std::make_shared<NumberedArgs>();
    auto *inqCmd = app.add_subcommand("inquire", "Run a numbered inquiry (by number or name)");
    inqCmd->add_option("inquiry", inq->which, "inquiry number or name")->required();
    inqCmd->add_flag("--any", inq->any, "send a number the tool does not know; the library answers");
    inqCmd->footer(inquiryTable());
    inqCmd->callback([&ctx, inq] { ctx.action = [inq](Context &c) { runInquire(c, *inq); }; });

    auto reg = std::make_shared<RegArgs>();
    auto *regCmd = app.add_subcommand("reg", "Read or write one board register");
    regCmd->require_subcommand(1);
    auto *regRead = regCmd->add_subcommand("read", "Read a register (gated, VekDevRReg)");
    regRead->add_option("address", reg->address, "register address")->required();
    regRead->callback([&ctx, reg] { ctx.action = [reg](Context &c) { runRegRead(c, *reg); }; });
    auto *regWrite = regCmd->add_subcommand("write", "Write a register (VekWriteReg)");
    regWrite->add_option("address", reg->address, "register address")->required();
    regWrite->add_option("value", reg->value, "value to write")->required();
    regWrite->callback([&ctx, reg] { ctx.action = [reg](Context &c) { runRegWrite(c, *reg); }; });

    auto tim = std::make_shared<TimingArgs>();
    auto *timCmd = app.add_subcommand("timing", "Set the bit-plane timing (VekDevNewFrequencySet)");
    timCmd->add_option("--planes", tim->planes, "bit planes per frame")->capture_default_str()->check(CLI::Range(1u, 16u));
    timCmd->add_option("--period", tim->period, "frame period in microseconds")->capture_default_str()->check(CLI::Range(1u, 0xFFFFFFFFu));
    timCmd->add_option("--aux", tim->aux, "aux time in microseconds (0: none)")->capture_default_str();
    timCmd->callback([&ctx, tim] { ctx.action = [tim](Context &c) { runTiming(c, *tim); }; });

    auto trg = std::make_shared<TriggerArgs>();
    auto *trgCmd = app.add_subcommand("trigger", "Set the trigger extension registers 0x34 to 0x37");
    trgCmd->add_option("--reg34", trg->reg34, "value for register 0x34")->capture_default_str();
    trgCmd->add_option("--enable", trg->enable, "1 enables the trigger extension (bit 0 of 0x35), 0 disables it")
        ->capture_default_str()->check(CLI::Range(0u, 1u));
    trgCmd->add_option("--reg36", trg->reg36, "value for register 0x36")->capture_default_str();
    trgCmd->add_option("--reg37", trg->reg37, "value for register 0x37")->capture_default_str();
    trgCmd->callback([&ctx, trg] { ctx.action = [trg](Context &c) { runTrigger(c, *trg); }; });

    auto gpioValue = std::make_shared<uint32_t>(0);
    auto *gpioCmd = app.add_subcommand("gpio", "Read the GPIO inputs or set the GPIO outputs");
    gpioCmd->require_subcommand(1);
    auto *gpioGet = gpioCmd->add_subcommand("get", "Read the GPIO inputs (register 0x03)");
    gpioGet->callback([&ctx] { ctx.action = runGpioGet; });
    auto *gpioSet = gpioCmd->add_subcommand("set", "Set the GPIO outputs (register 0x04)");
    gpioSet->add_option("value", *gpioValue, "value for the outputs")->required();
    gpioSet->callback([&ctx, gpioValue] { ctx.action = [gpioValue](Context &c) { runGpioSet(c, *gpioValue); }; });

    auto ep = std::make_shared<uint32_t>(0);
    auto *rpCmd = app.add_subcommand("reset-pipe", "Reset the pipe of one of the board's bulk endpoints");
    rpCmd->add_option("endpoint", *ep, "endpoint address: 0x02, 0x04 or 0x86")->required();
    rpCmd->callback([&ctx, ep] { ctx.action = [ep](Context &c) { runResetPipe(c, *ep); }; });

    auto fw = std::make_shared<std::string>();
    auto *fwCmd = app.add_subcommand("firmware", "Download a controller firmware image (.iic), then reopen the board");
    fwCmd->add_option("file", *fw, "firmware image file")->required()->check(CLI::Validator(regularFileCheck, "FILE"));
    fwCmd->callback([&ctx, fw] { ctx.action = [fw](Context &c) { runFirmware(c, *fw); }; });
}

}  // namespace vektool
