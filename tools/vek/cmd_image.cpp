// Image subcommands: convert, batch, stamp, testpatterns. None needs a board.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include <CLI/CLI.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "common.hpp"
#include "vek_files.h"
#include "frame_images.hpp"
#include "progress.hpp"

namespace vektool {
namespace {

namespace fs = std::filesystem;

struct ImageArgs {
    std::string input, output;
    uint32_t width = 1920, height = 1080;
    uint32_t planes = 0xFF;
    bool rgb = false;
    int32_t count = 1;
};

void checkPlanes(uint32_t planes) {
    if (planes == 0 || planes > 0xFF) throw UsageError("--planes must be a plane mask from 0x01 to 0xFF");
}

// "out.bin" + "red" -> "out.red.bin"
std::string colourName(const std::string &out, const char *colour) {
    fs::path p(out);
    return (p.parent_path() / (p.stem().string() + "." + colour + p.extension().string())).string();
}

// ---- convert ---------------------------------------------------------------

void runConvert(Context &ctx, const ImageArgs &a) {
    requireReadable(a.input);
    checkFrameSize(a.width, a.height);
    checkPlanes(a.planes);
    const auto w = static_cast<int32_t>(a.width), h = static_cast<int32_t>(a.height);
    const auto mask = static_cast<uint8_t>(a.planes);
    const std::size_t frameLen = frameBytes(a.width, a.height, a.planes);
    bool toBin = hasExtension(a.output, ".bin");
    bool fromBin = hasExtension(a.input, ".bin");
    if (toBin == fromBin) throw UsageError("convert goes from an image to a .bin file or from a .bin file to an image");
    if (fromBin && a.rgb) throw UsageError("--rgb applies to image -> .bin");
    if (!toBin) checkImageOutput(a.output);

    json files = json::array();
    if (toBin && !a.rgb) {
        std::vector<uint8_t> bin = imageToFrame(a.input, a.width, a.height, a.planes, true);
        writeFile(a.output, bin.data(), bin.size());
        files.push_back(a.output);
    } else if (toBin) {
        std::vector<uint8_t> r(frameLen), g(frameLen), b(frameLen);
        if (!GetRGBBinFormat(a.input.c_str(), w, h, mask, r.data(), g.data(), b.data()))
            throw FileError("cannot load '" + a.input + "' as a colour image");
        const std::pair<const char *, std::vector<uint8_t> *> planes[] = {{"red", &r}, {"green", &g}, {"blue", &b}};
        for (const auto &[colour, buf] : planes) {
            std::string name = colourName(a.output, colour);
            writeFile(name, buf->data(), buf->size());
            files.push_back(name);
        }
    } else {
        std::vector<uint8_t> bin = readFile(a.input);
        if (bin.size() != frameLen)
            throw UsageError("'" + a.input + "' is " + std::to_string(bin.size()) + " bytes; a " +
                             std::to_string(a.width) + "x" + std::to_string(a.height) + " frame of plane mask " +
                             hex32(a.planes) + " is " + std::to_string(frameLen) +
                             " bytes (check --width, --height and --planes)");
        frameToImage(bin.data(), a.width, a.height, a.planes, a.output);
        files.push_back(a.output);
    }
    ctx.result = {{"input", a.input},   {"files", files},     {"width", a.width},
                  {"height", a.height}, {"planes", a.planes}, {"frame_bytes", frameLen}};
    for (const auto &f : files) ctx.say("%s -> %s\n", a.input.c_str(), f.get<std::string>().c_str());
}

// ---- batch -----------------------------------------------------------------

void runBatch(Context &ctx, const ImageArgs &a) {
    checkFrameSize(a.width, a.height);
    fs::path dir(a.input);
    if (!fs::is_directory(dir)) throw UsageError("'" + a.input + "' is not a directory");
    // The library converts every entry of the folder that loads as an image;
    // watch for the ".bin" files it writes to show progress.
    std::vector<fs::path> sources;
    for (const auto &e : fs::directory_iterator(dir))
        if (e.is_regular_file() && !hasExtension(e.path().string(), ".bin")) sources.push_back(e.path());
    std::string arg = dir.string();
    if (arg.empty() || arg.back() != '/') arg += '/';  // the folder itself, not its parent
    if (arg.size() > 259) throw UsageError("the folder path is longer than 259 characters");

    const uint64_t frameLen = static_cast<uint64_t>(a.width) * a.height;
    std::map<fs::path, fs::file_time_type> before;
    for (const auto &s : sources) {
        std::error_code ec;
        auto t = fs::last_write_time(s.string() + ".bin", ec);
        if (!ec) before[s] = t;
    }
    auto converted = [&] {
        std::vector<fs::path> out;
        for (const auto &s : sources) {
            std::error_code ec;
            fs::path bin = s.string() + ".bin";
            auto t = fs::last_write_time(bin, ec);
            if (ec) continue;
            auto it = before.find(s);
            if (it != before.end() && it->second == t) continue;
            if (fs::file_size(bin, ec) == frameLen) out.push_back(bin);
        }
        return out;
    };

    Progress progress(ctx.progressEnabled(), "batch", frameLen * sources.size());
    // The worker's state is shared, not borrowed: on Ctrl-C the tool reports
    // and ends while the library call may still run.
    struct Work {
        std::atomic<bool> done{false};
        std::atomic<int> ok{0};
    };
    const auto work = std::make_shared<Work>();
    std::thread worker([work, arg, a] {
        work->ok = BatchImage2Bin(arg.c_str(), static_cast<int32_t>(a.width), static_cast<int32_t>(a.height));
        work->done = true;
    });
    const InterruptCatcher catcher;
    while (!work->done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        try {
            stopIfInterrupted();
        } catch (const Interrupted &) {
            worker.detach();
            ctx.abandonedWork = true;
            json files = json::array();
            for (const auto &f : converted()) files.push_back(f.string());
            ctx.done = {{"folder", a.input}, {"files", files}, {"count", files.size()}};
            ctx.doneText = std::to_string(files.size()) + " of " + std::to_string(sources.size()) +
                           " files had been converted (the file being converted may be left cut short)";
            throw;
        }
        if (ctx.progressEnabled()) progress.update(frameLen * converted().size());
    }
    worker.join();
    const int ok = work->ok;
    auto written = converted();
    progress.update(frameLen * written.size());
    progress.setTotal(frameLen * written.size());
    progress.finish();
    if (!ok) throw Failure("BatchImage2Bin: the folder '" + a.input + "' has no entries to convert");
    json files = json::array();
    for (const auto &f : written) files.push_back(f.string());
    ctx.result = {{"folder", a.input},  {"files", files},          {"width", a.width},
                  {"height", a.height}, {"frame_bytes", frameLen}, {"skipped", sources.size() - written.size()}};
    for (const auto &f : written) ctx.say("%s\n", f.string().c_str());
    ctx.say("Converted %zu of %zu files to %ux%u frames of 8 bit planes.\n", written.size(), sources.size(), a.width,
            a.height);
}

// ---- stamp -----------------------------------------------------------------

// The names the library gives the stamped copies: the extension of the last
// component replaced by _NNNNN.bmp.
std::string stampName(const std::string &source, int serial) {
    std::string base = source;
    auto sep = base.find_last_of("/\\");
    auto dot = base.find_last_of('.');
    if (dot != std::string::npos && (sep == std::string::npos || dot > sep)) base.erase(dot);
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "_%05d.bmp", serial);
    return base + suffix;
}

void runStamp(Context &ctx, const ImageArgs &a) {
    requireReadable(a.input);
    if (a.width == 0 || a.height == 0) throw UsageError("width and height must be above 0");
    if (a.count < 1 || a.count > 99999) throw UsageError("--count must be between 1 and 99999");
    if (a.input.size() > 250) throw UsageError("the image path is longer than 250 characters");
    if (a.input.find('%') != std::string::npos) throw UsageError("the image path must not contain '%'");
    if (!cv::haveImageReader(a.input)) throw FileError("cannot load '" + a.input + "' as an image");
    std::map<std::string, fs::file_time_type> before;
    for (int s = 1; s <= a.count; ++s) {
        std::error_code ec;
        auto t = fs::last_write_time(stampName(a.input, s), ec);
        if (!ec) before[stampName(a.input, s)] = t;
    }
    ImageAddSerialNumber(a.input.c_str(), static_cast<int32_t>(a.width), static_cast<int32_t>(a.height), a.count);
    json files = json::array();
    for (int s = 1; s <= a.count; ++s) {
        std::string name = stampName(a.input, s);
        std::error_code ec;
        auto t = fs::last_write_time(name, ec);
        if (ec) continue;
        auto it = before.find(name);
        if (it != before.end() && it->second == t) continue;
        files.push_back(name);
    }
    if (files.empty())
        throw Failure("no stamped copy was written: '" + a.input +
                      "' could not be loaded or the folder is not writable");
    ctx.result = {{"source", a.input}, {"files", files}, {"width", a.width}, {"height", a.height}};
    for (const auto &f : files) ctx.say("%s\n", f.get<std::string>().c_str());
    if (files.size() < static_cast<std::size_t>(a.count))
        throw Failure("only " + std::to_string(files.size()) + " of " + std::to_string(a.count) +
                      " stamped copies were written");
}

// ---- testpatterns ----------------------------------------------------------

// The test pattern names start with Chinese words in GBK; shown in UTF-8.
std::string displayName(const std::string &gbk) {
    static const std::pair<const char *, const char *> prefixes[] = {
        {"\xBA\xDA\xB0\xD7", "\xE9\xBB\x91\xE7\x99\xBD"},                      // black-white
        {"\xBA\xE1\xCC\xF5\xCE\xC6", "\xE6\xA8\xAA\xE6\x9D\xA1\xE7\xBA\xB9"},  // horizontal stripes
        {"\xBA\xE1\xBD\xA5\xB1\xE4", "\xE6\xA8\xAA\xE6\xB8\x90\xE5\x8F\x98"},  // horizontal gradient
    };
    for (const auto &[from, to] : prefixes)
        if (gbk.rfind(from, 0) == 0) return to + gbk.substr(std::char_traits<char>::length(from));
    return gbk;
}

void runTestPatterns(Context &ctx, const std::string &outDir) {
    fs::path dir(outDir);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir)) throw FileError("cannot create the folder '" + outDir + "'");
    if (access(dir.string().c_str(), W_OK) != 0) throw FileError("the folder '" + outDir + "' is not writable");
    std::map<std::string, fs::file_time_type> before;
    for (const auto &e : fs::directory_iterator(dir)) before[e.path().filename().string()] = e.last_write_time();
    VekWriteTestPatterns(dir.string().c_str());
    json files = json::array();
    for (const auto &e : fs::directory_iterator(dir)) {
        std::string name = e.path().filename().string();
        auto it = before.find(name);
        if (it != before.end() && it->second == e.last_write_time()) continue;
        files.push_back({{"file", (dir / name).string()}, {"name", displayName(name)}, {"bytes", e.file_size()}});
    }
    if (files.empty()) throw Failure("VekWriteTestPatterns wrote no file into '" + outDir + "'");
    ctx.result = {{"folder", outDir}, {"files", files}};
    for (const auto &f : files)
        ctx.say("%-40s %10llu bytes\n", f["name"].get<std::string>().c_str(),
                static_cast<unsigned long long>(f["bytes"].get<uint64_t>()));
}

}  // namespace

void addImageCommands(CLI::App &app, Context &ctx) {
    auto cv = std::make_shared<ImageArgs>();
    auto *conv =
        app.add_subcommand("convert", "Convert an image to a .bin frame file, or a .bin frame file to an image");
    conv->add_option("input", cv->input, "image or .bin file")->required();
    conv->add_option("output", cv->output, ".bin file or image file")->required();
    conv->add_option("--width", cv->width, "frame width in pixels (multiple of 8)")->capture_default_str();
    conv->add_option("--height", cv->height, "frame height in pixels")->capture_default_str();
    conv->add_option("--planes", cv->planes, "plane mask (0xFF: all 8 bit planes, bit 7 first)")->capture_default_str();
    conv->add_flag("--rgb", cv->rgb, "convert each colour plane: writes OUT.red.bin, OUT.green.bin, OUT.blue.bin");
    conv->callback([&ctx, cv] { ctx.action = [cv](Context &c) { runConvert(c, *cv); }; });

    auto bt = std::make_shared<ImageArgs>();
    auto *batch =
        app.add_subcommand("batch", "Convert every image of a folder into a .bin frame file of 8 bit planes beside it");
    batch->add_option("folder", bt->input, "folder of images")->required();
    batch->add_option("--width", bt->width, "frame width in pixels (multiple of 8)")->capture_default_str();
    batch->add_option("--height", bt->height, "frame height in pixels")->capture_default_str();
    batch->callback([&ctx, bt] { ctx.action = [bt](Context &c) { runBatch(c, *bt); }; });

    auto st = std::make_shared<ImageArgs>();
    auto *stamp = app.add_subcommand(
        "stamp", "Make numbered copies of an image (NAME_00001.bmp, ...) with the serial drawn on each");
    stamp->add_option("image", st->input, "source image")->required();
    stamp->add_option("--width", st->width, "width of the copies")->capture_default_str();
    stamp->add_option("--height", st->height, "height of the copies")->capture_default_str();
    stamp->add_option("--count", st->count, "number of copies")->capture_default_str();
    stamp->callback([&ctx, st] { ctx.action = [st](Context &c) { runStamp(c, *st); }; });

    auto tp = std::make_shared<std::string>(".");
    auto *tests =
        app.add_subcommand("testpatterns", "Write the built-in 1920x1080 test patterns (BMP and one-plane .bin)");
    tests->add_option("--out", *tp, "folder to write them into")->capture_default_str();
    tests->callback([&ctx, tp] { ctx.action = [tp](Context &c) { runTestPatterns(c, *tp); }; });
}

}  // namespace vektool
