// Board subcommands: list, info, init, reset-pipe, firmware, and between
// them those of the board's commands and registers (cmd_registers.cpp).
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "common.hpp"
#include "handle_access.hpp"
#include "progress.hpp"
#include "vek_files.h"
#include "vek_names.h"

namespace vektool {
namespace {

std::string frameModeText(const FrameLayout &l) {
    if (!l.known()) return "unknown (frame transfers are refused)";
    return std::to_string(l.width) + "x" + std::to_string(l.height) + " bit planes";
}

// ---- list ------------------------------------------------------------------

void runList(Context &ctx) {
    std::vector<VekBoardInfo> listed = usableBoards(ctx.opt);
    // Boards of a system driver (Windows) follow the library's own, known
    // only by what opening them tells.
    for (auto index = static_cast<uint32_t>(listed.size()); !ctx.opt.sim && index < 256; ++index) {
        DeviceHandle *h = nullptr;
        if (VekDevAlloc(index, &h, nullptr) == DEV_ERR_NO_DEVICE) break;
        if (h != nullptr) VekDevFree(h);
        VekBoardInfo info{};
        info.index = index;
        listed.push_back(info);
    }
    json boards = json::array();
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const VekBoardInfo &info = listed[i];
        json b;
        b["index"] = i;  // what --board takes (with --sim: among the virtual boards)
        b["serial"] = info.serial;
        b["bus"] = info.bus;
        b["port_path"] = info.portPath;
        b["vendor_id"] = info.vendorId;
        b["product_id"] = info.productId;
        b["backend"] = info.backend;
        b["virtual"] = info.isVirtual == 1;
        DeviceHandle *h = nullptr;
        uint8_t isVek40 = 0;
        const uint32_t rc = VekDevAlloc(info.index, &h, &isVek40);
        if (rc == DEV_OK) {
            const std::vector<std::string> names = attachedDeviceNames(h);
            b["device_name"] = info.index < names.size() ? names[info.index] : "";
            b["firmware_version"] = firmwareVersionText();
            b["first_listed_vek40"] = isVek40 == 1;
            check(VekDevFree(h), "VekDevFree");
        } else {
            // Listed but not opened (no permission, in use): what tells it apart is still shown.
            b["device_name"] = "";
            b["firmware_version"] = "";
            b["open_error"] = VekResultName(rc) ? VekResultName(rc) : hex32(rc);
        }
        b["vek40"] = b["device_name"].get<std::string>().rfind("VEK4.0", 0) == 0;
        boards.push_back(b);
    }
    ctx.result["boards"] = boards;
    if (boards.empty()) {
        ctx.say("No VEK board is attached.%s\n",
                ctx.opt.sim ? "" : " (Add --sim to try the commands on a virtual board.)");
        return;
    }
    ctx.say("%-5s %-12s %-16s %-9s %-28s %-18s %s\n", "INDEX", "PORT", "SERIAL", "ID", "DEVICE NAME", "FIRMWARE",
            "VEK4.0");
    for (const auto &b : boards) {
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", b["vendor_id"].get<unsigned>(), b["product_id"].get<unsigned>());
        const std::string name = b.contains("open_error") ? "(not opened: " + b["open_error"].get<std::string>() + ")"
                                                          : b["device_name"].get<std::string>();
        ctx.say("%-5d %-12s %-16s %-9s %-28s %-18s %s\n", b["index"].get<int>(),
                b["port_path"].get<std::string>().c_str(), b["serial"].get<std::string>().c_str(), ids, name.c_str(),
                b["firmware_version"].get<std::string>().c_str(), b["vek40"].get<bool>() ? "yes" : "no");
    }
}

// ---- info ------------------------------------------------------------------

void runInfo(Context &ctx, Board &board) {
    json j;
    j["index"] = board.index();
    auto names = attachedDeviceNames(board.handle());
    j["device_name"] =
        board.index() < static_cast<int>(names.size()) ? names[static_cast<std::size_t>(board.index())] : "";
    j["firmware_version"] = board.firmwareVersion();
    j["first_listed_vek40"] = board.firstIsVek40();
    j["open"] = VekIfDevOpenned(board.handle()) == 1;
    json inq = json::object();
    for (uint32_t i = 0; const VekNameEntry *q = VekNameAt(VEK_TABLE_INQUIRIES, i); ++i)
        inq[q->name] = board.inquire(q->number);
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
    for (uint32_t i = 0; const VekNameEntry *q = VekNameAt(VEK_TABLE_INQUIRIES, i); ++i) {
        const uint32_t v = inq[q->name].get<uint32_t>();
        ctx.say("  inquiry %-2u %-16s %s (%u)\n", q->number, q->name, hex32(v).c_str(), v);
    }
}

// ---- init ------------------------------------------------------------------

struct InitArgs {
    uint32_t frequency = 60;
    uint32_t grayBits = 8;
    uint32_t reg30 = 0;
};

void runInit(Context &ctx, Board &board, const InitArgs &a) {
    board.init(a.frequency, a.grayBits, a.reg30);
    FrameLayout l = board.learnLayout();
    ctx.result = {{"frequency", a.frequency},
                  {"gray_bits", a.grayBits},
                  {"reg30", a.reg30},
                  {"board_type", l.boardType},
                  {"frame_mode", frameModeText(l)}};
    ctx.say("Initialised board %d: %u Hz, %u bit planes, register 0x30 = %s; board type %u, frames of %s.\n",
            board.index(), a.frequency, a.grayBits, hex32(a.reg30).c_str(), l.boardType, frameModeText(l).c_str());
}

// ---- reset-pipe ------------------------------------------------------------

void runResetPipe(Context &ctx, Board &board, uint32_t endpoint) {
    int ok = ResetUSBPipe(board.handle(), endpoint);
    if (!ok)
        throw Failure("ResetUSBPipe: the board has no bulk endpoint " + hex32(endpoint) +
                      " or its pipe could not be reset (the board's bulk endpoints are 0x02, 0x04 and 0x86)");
    ctx.result = {{"endpoint", endpoint}, {"reset", true}};
    ctx.say("Pipe of endpoint 0x%02X reset.\n", endpoint);
}

// ---- firmware --------------------------------------------------------------

// The file checked by the library's own rules, before the board is opened.
VekFirmwareImage checkFirmwareFile(const std::string &path) {
    requireReadable(path);
    VekFirmwareImage img{};
    const std::string where = "'" + path + "'";
    switch (VekFirmwareCheck(path.c_str(), &img)) {
    case VEK_FIRMWARE_OK:
        return img;
    case VEK_FIRMWARE_UNREADABLE:
        throw UsageError(where + " cannot be read whole or is larger than 65535 bytes");
    case VEK_FIRMWARE_NO_FINAL_RECORD:
        throw UsageError(where + " has no final record (length 0x8001)");
    case VEK_FIRMWARE_PAST_FILE_END:
        throw UsageError(where + ": a record runs past the end of the file");
    case VEK_FIRMWARE_PAST_64K:
        throw UsageError(where + ": a record runs past the controller's 64 KiB");
    case VEK_FIRMWARE_TOO_HIGH:
        throw UsageError(where + ": the image ends above 0xF800, past what the download can address");
    default:
        throw UsageError(where + " is not a firmware image");
    }
}

void runFirmware(Context &ctx, Board &board, const std::string &path, const VekFirmwareImage &img) {
    const uint64_t imageBytes = img.end > img.start ? img.end - img.start : 0;
    Progress progress(ctx.progressEnabled(), "firmware", imageBytes);
    if (!VekDownloadFirmwareFile(board.handle(), path.c_str()))
        throw Failure("VekDownloadFirmwareFile: a transfer failed (the controller may be left halted; run it again)");
    progress.update(imageBytes);
    progress.finish();
    if (!VekDevReopen(board.handle()))
        throw Failure(
            "VekDevReopen: the board did not come back as a VEK4.0 device after the download; "
            "unplug and replug it");
    std::string version = firmwareVersionText();
    ctx.result = {{"file", path},   {"bytes", imageBytes}, {"start", img.start},
                  {"end", img.end}, {"reopened", true},    {"firmware_version", version}};
    ctx.say("Firmware downloaded: %llu bytes at 0x%04X-0x%04X; board reopened, firmware version '%s'.\n",
            static_cast<unsigned long long>(imageBytes), img.start, img.end, version.c_str());
}

}  // namespace

void addDeviceCommands(CLI::App &app, Context &ctx) {
    auto *list = app.add_subcommand(
        "list",
        "List the attached boards: index, port path, serial number, ids, device name, firmware version, VEK4.0");
    list->callback([&ctx] { ctx.action = runList; });

    onBoard(app.add_subcommand("info", "Show a board's inquiries, board type and frame mode"), ctx, runInfo);

    auto init = std::make_shared<InitArgs>();
    auto *initCmd = app.add_subcommand(
        "init", "Initialise a board (gray depth, frequency, register 0x30), then learn its board type");
    initCmd->add_option("--frequency", init->frequency, "frequency in Hz")
        ->capture_default_str()
        ->check(CLI::Range(1u, 0x40000000u));
    initCmd->add_option("--gray-bits", init->grayBits, "bit planes per frame")
        ->capture_default_str()
        ->check(CLI::Range(1u, 16u));
    initCmd->add_option("--reg30", init->reg30, "value for register 0x30")->capture_default_str();
    onBoard(initCmd, ctx, [init](Context &c, Board &b) { runInit(c, b, *init); });

    addRegisterCommands(app, ctx);

    auto ep = std::make_shared<uint32_t>(0);
    auto *rpCmd = app.add_subcommand("reset-pipe", "Reset the pipe of one of the board's bulk endpoints");
    rpCmd->add_option("endpoint", *ep, "endpoint address: 0x02, 0x04 or 0x86")->required();
    onBoard(rpCmd, ctx, [ep](Context &c, Board &b) { runResetPipe(c, b, *ep); });

    auto fw = std::make_shared<std::string>();
    auto *fwCmd = app.add_subcommand("firmware", "Download a controller firmware image (.iic), then reopen the board");
    fwCmd->add_option("file", *fw, "firmware image file")->required();
    fwCmd->callback([&ctx, fw] {
        ctx.action = [fw](Context &c) {
            const VekFirmwareImage img = checkFirmwareFile(*fw);
            withBoard(c, [fw, img](Context &c2, Board &b) { runFirmware(c2, b, *fw, img); });
        };
    });
}

}  // namespace vektool
