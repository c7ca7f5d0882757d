// vek demo: the road of a typical use, end to end, on a virtual board.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include <CLI/CLI.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "common.hpp"
#include "frame_images.hpp"
#include "patterns.hpp"
#include "progress.hpp"
#include "trace_summary.hpp"
#include "vek_sim.h"

namespace vektool {
namespace {

namespace fs = std::filesystem;

struct DemoArgs {
    std::string out = "demo-output";
    int phaseSteps = 4;
    int period = 64;
    uint32_t frequency = 60;
    uint32_t framePeriod = 16667;  // us: 60 frames per second
    bool writeFrames = true;
};

struct LoadedFrame {
    Pattern pattern;
    std::vector<uint8_t> bin;
    uint32_t address = 0;
};

// Tiles the frames read back from the board, each with its label.
cv::Mat contactSheet(const std::vector<LoadedFrame> &frames, const std::vector<cv::Mat> &readBack) {
    const int columns = 5, thumbW = 320, labelH = 26, pad = 8;
    const int thumbH = readBack.empty() ? 180 : thumbW * readBack[0].rows / readBack[0].cols;
    const int rows = static_cast<int>((readBack.size() + columns - 1) / columns);
    const int titleH = 44;
    cv::Mat sheet(titleH + rows * (thumbH + labelH + pad) + pad, columns * (thumbW + pad) + pad, CV_8UC3,
                  cv::Scalar(40, 40, 40));
    cv::putText(sheet, "vek demo: frames read back from board memory", cv::Point(pad, 30), cv::FONT_HERSHEY_SIMPLEX,
                0.8, cv::Scalar(255, 255, 255), 2, cv::LINE_AA);
    for (std::size_t i = 0; i < readBack.size(); ++i) {
        const int x = pad + static_cast<int>(i % columns) * (thumbW + pad);
        const int y = titleH + static_cast<int>(i / columns) * (thumbH + labelH + pad);
        cv::Mat thumb, colour;
        cv::resize(readBack[i], thumb, cv::Size(thumbW, thumbH), 0, 0, cv::INTER_AREA);
        cv::cvtColor(thumb, colour, cv::COLOR_GRAY2BGR);
        colour.copyTo(sheet(cv::Rect(x, y, thumbW, thumbH)));
        cv::rectangle(sheet, cv::Rect(x - 1, y - 1, thumbW + 2, thumbH + 2), cv::Scalar(120, 120, 120), 1);
        char label[96];
        std::snprintf(label, sizeof label, "%s  @%s", frames[i].pattern.label.c_str(),
                      hex32(frames[i].address).c_str());
        cv::putText(sheet, label, cv::Point(x, y + thumbH + 18), cv::FONT_HERSHEY_SIMPLEX, 0.45,
                    cv::Scalar(230, 230, 230), 1, cv::LINE_AA);
    }
    return sheet;
}

void runDemo(Context &ctx, const DemoArgs &a) {
    fs::path out(a.out);
    std::error_code ec;
    fs::create_directories(out, ec);
    if (!fs::is_directory(out)) throw FileError("cannot create the folder '" + a.out + "'");
    if (a.writeFrames) fs::create_directories(out / "frames", ec);

    const auto started = std::chrono::steady_clock::now();
    json report;
    int step = 0;
    auto say = [&](const char *fmt, auto... args) {
        if (ctx.opt.json) return;
        std::printf("%2d. ", ++step);
        std::printf(fmt, args...);
        std::printf("\n");
        std::fflush(stdout);
    };

    // The virtual board, unless --sim already attached one.
    if (!ctx.opt.sim) {
        VekSimSetVirtualClock(1);
        if (VekSimAttach(nullptr) < 0) throw Failure("could not attach a virtual board (VekSimAttach)");
    }
    struct Detach {
        bool own;
        ~Detach() {
            if (own) VekSimDetachAll();
        }
    } detach{!ctx.opt.sim};
    // The demo reports what the board was told: its trace is always on.
    VekSimTraceEnable(1);
    VekSimTraceClear();
    const uint64_t clockStart = VekSimClockMs();
    if (!ctx.opt.json) std::printf("vek demo: a typical use, end to end, on a virtual board (virtual clock)\n");

    // 1. Open the board, a virtual one whatever --board says.
    GlobalOptions virtualOnly = ctx.opt;
    virtualOnly.sim = true;
    Board board(virtualOnly);
    int simId = -1;  // its id for vek_sim.h, from its place "virtual-N"
    for (const VekBoardInfo &b : usableBoards(virtualOnly))
        if (static_cast<int>(b.index) == board.index()) std::sscanf(b.portPath, "virtual-%d", &simId);
    say("VekDevAlloc(%d): board open, firmware version '%s', first board VEK4.0: %s", board.index(),
        board.firmwareVersion().c_str(), board.firstIsVek40() ? "yes" : "no");
    report["firmware_version"] = board.firmwareVersion();

    // 2. Initialise it.
    board.init(a.frequency, 8, 0);
    say("VekDevInit: %u Hz, 8 bit planes, register 0x30 = 0", a.frequency);

    // 3. Learn the frame layout.
    FrameLayout layout = board.learnLayout();
    if (!layout.known())
        throw DeviceError(DEV_ERR_FRAME_MODE, "inquiry 5 (board type " + std::to_string(layout.boardType) + ")");
    say("inquiry 5: board type %u, frames of %ux%u bit planes (%u bytes each)", layout.boardType, layout.width,
        layout.height, layout.planeBytes());
    report["board_type"] = layout.boardType;
    report["width"] = layout.width;
    report["height"] = layout.height;

    // 4. Make the patterns and convert them to the board's frame layout.
    std::vector<Pattern> patterns =
        structuredLight(static_cast<int>(layout.width), static_cast<int>(layout.height), a.phaseSteps, a.period);
    std::vector<LoadedFrame> frames;
    uint64_t total = 0;
    for (const auto &p : patterns) total += frameBytes(layout.width, layout.height, p.planeMask);
    {
        Progress progress(ctx.progressEnabled(), "pixel2bin", total);
        for (auto &p : patterns) {
            LoadedFrame f;
            f.pattern = p;
            f.bin.resize(frameBytes(layout.width, layout.height, p.planeMask));
            if (!pixel2bin(p.pixels.data, static_cast<int32_t>(layout.width), static_cast<int32_t>(layout.height),
                           p.planeMask, f.bin.data()))
                throw Failure("pixel2bin refused the " + p.name + " pattern");
            if (a.writeFrames) {
                char name[64];
                std::snprintf(name, sizeof name, "%02zu-%s-planes%02X.bin", frames.size(), p.name.c_str(), p.planeMask);
                writeFile((out / "frames" / name).string(), f.bin.data(), f.bin.size());
            }
            progress.add(f.bin.size());
            frames.push_back(std::move(f));
        }
        progress.finish();
    }
    const int grayBits = grayCodeBits(static_cast<int>(layout.width));
    say("%zu structured-light patterns: %d Gray-code (1 plane each), %d phase-shift (8 planes each), white, black; "
        "converted with pixel2bin: %s",
        frames.size(), grayBits, a.phaseSteps, humanBytes(static_cast<double>(total)).c_str());

    // 5. Load them one after another at the addresses that inquiry 17 gives.
    board.control(17, 0);
    {
        Progress progress(ctx.progressEnabled(), "load", total);
        for (auto &f : frames) {
            f.address = board.inquire(17);
            board.load(f.bin.data(), f.address, static_cast<uint32_t>(f.bin.size()));
            progress.add(f.bin.size());
        }
        progress.finish();
        report["load_bytes_per_second"] = progress.bytesPerSecond();
    }
    const uint32_t end = board.inquire(17);
    say("VekDevLoadFrame x %zu: %s into board memory 0x00000000-%s", frames.size(),
        humanBytes(static_cast<double>(total)).c_str(), hex32(end).c_str());

    // 6. Time the bit planes.
    check(VekDevNewFrequencySet(board.handle(), 8, a.framePeriod, 0), "VekDevNewFrequencySet");
    say("VekDevNewFrequencySet: 8 bit planes in %u us (%.1f frames per second)", a.framePeriod, 1e6 / a.framePeriod);

    // 7. Read everything back and compare, with the board and with its memory.
    std::vector<cv::Mat> readBack;
    int same = 0, memorySame = 0;
    {
        Progress progress(ctx.progressEnabled(), "readback", total);
        for (const auto &f : frames) {
            std::vector<uint8_t> got(f.bin.size());
            board.read(got.data(), f.address, static_cast<uint32_t>(got.size()));
            progress.add(got.size());
            same += got == f.bin;
            std::vector<uint8_t> mem(f.bin.size());
            if (VekSimReadMemory(simId, f.address, mem.data(), static_cast<uint32_t>(mem.size())) == 0 && mem == f.bin)
                ++memorySame;
            cv::Mat img(static_cast<int>(layout.height), static_cast<int>(layout.width), CV_8UC1);
            bin2pixel(got.data(), static_cast<int32_t>(layout.width), static_cast<int32_t>(layout.height),
                      f.pattern.planeMask, img.data);
            if (f.pattern.planeMask == 0x80) img *= 255.0 / 128.0;  // one plane: 0 or 128 -> 0 or 255
            readBack.push_back(img);
        }
        progress.finish();
        report["readback_bytes_per_second"] = progress.bytesPerSecond();
    }
    say("VekDevGetFrame x %zu: %d of %zu frames read back identical; board memory holds %d of %zu as loaded",
        frames.size(), same, frames.size(), memorySame, frames.size());
    report["frames_identical"] = same;
    report["frames_in_memory"] = memorySame;

    // 8. Set bit 1 of the control register again (the transfers clear it).
    board.control(10);
    say("command 10: bit 1 of the control register set (inquiry 0 now %u)", board.inquire(0));

    // 9. Contact sheet.
    cv::Mat sheet = contactSheet(frames, readBack);
    const std::string sheetPath = (out / "contact-sheet.png").string();
    writeImageFile(sheetPath, sheet);
    say("contact sheet of the frames in board memory: %s (%dx%d)", sheetPath.c_str(), sheet.cols, sheet.rows);

    // 10. Close.
    board.free();
    say("%s", "VekDevFree: handle closed");

    // What the board was told.
    TraceSummary summary = summariseTrace();
    const std::string tracePath = (out / "trace.txt").string();
    writeTraceText(tracePath);
    report["trace"] = summary.toJson();
    report["trace_file"] = tracePath;
    report["contact_sheet"] = sheetPath;
    report["frames"] = json::array();
    for (const auto &f : frames)
        report["frames"].push_back({{"name", f.pattern.name},
                                    {"planes", f.pattern.planeMask},
                                    {"address", f.address},
                                    {"bytes", f.bin.size()}});
    report["virtual_ms"] = VekSimClockMs() - clockStart;
    report["seconds"] = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    writeFile((out / "summary.json").string(), reinterpret_cast<const uint8_t *>(report.dump(2).data()),
              report.dump(2).size());
    if (!ctx.opt.json) {
        std::printf("\nWhat the board was told (the virtual board's trace, full text in %s):\n", tracePath.c_str());
        std::printf("%s", summary.toText().c_str());
        std::printf("\nDone in %.1f s (%.1f s on the board's virtual clock). Open %s to see the frames.\n",
                    report["seconds"].get<double>(), static_cast<double>(report["virtual_ms"].get<uint64_t>()) / 1000.0,
                    sheetPath.c_str());
    }
    ctx.result = report;
    if (same != static_cast<int>(frames.size()) || memorySame != static_cast<int>(frames.size()))
        throw Failure("read-back frames differ from the frames loaded");
}

}  // namespace

void addDemoCommand(CLI::App &app, Context &ctx) {
    auto d = std::make_shared<DemoArgs>();
    auto *demo = app.add_subcommand("demo", "Run a typical use end to end on a virtual board and draw a contact sheet");
    demo->add_option("--out", d->out, "folder for the contact sheet, trace, summary and frames")->capture_default_str();
    demo->add_option("--phase-steps", d->phaseSteps, "number of phase-shifted sinusoids")
        ->capture_default_str()
        ->check(CLI::Range(3, 8));
    demo->add_option("--stripe-period", d->period, "sinusoid period in pixels")
        ->capture_default_str()
        ->check(CLI::Range(8, 1920));
    demo->add_option("--frame-period", d->framePeriod, "frame period in microseconds for the timing")
        ->capture_default_str()
        ->check(CLI::Range(1u, 10000000u));
    demo->add_flag("!--no-frames", d->writeFrames, "do not write the converted .bin frames");
    demo->footer("Writes OUT/contact-sheet.png, OUT/trace.txt, OUT/summary.json and OUT/frames/*.bin.");
    demo->callback([&ctx, d] { ctx.action = [d](Context &c) { runDemo(c, *d); }; });
}

}  // namespace vektool
