// Frame subcommands: load, readback.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include <CLI/CLI.hpp>

#include "common.hpp"
#include "frame_images.hpp"
#include "progress.hpp"

namespace vektool {
namespace {

// Each frame transfer call is preceded by a fixed pause on the board, so big
// transfers go in large pieces; the progress bar moves after each one.
constexpr uint32_t kPieceBytes = 8u << 20;

struct FrameArgs {
    std::vector<std::string> files;
    std::string output;
    uint32_t address = 0;
    uint32_t planes = 0xFF;
    uint32_t width = 0, height = 0;
    uint32_t length = 0;
    uint32_t frames = 1;
    bool resize = false;
};

void checkAddress(uint32_t address) {
    if (address % 16 != 0)
        throw UsageError("address " + hex32(address) +
                         " is not a multiple of 16 (the board takes addresses in 16-byte units)");
}

// Width and height given together or not at all.
void checkSizeOptions(const FrameArgs &a) {
    if ((a.width == 0) != (a.height == 0)) throw UsageError("give both --width and --height, or neither");
    if (a.width) checkFrameSize(a.width, a.height);
}

FrameLayout sizeFor(const FrameArgs &a, const FrameLayout &boardLayout) {
    FrameLayout l = boardLayout;
    if (a.width) {
        l.width = a.width;
        l.height = a.height;
    }
    return l;
}

void transfer(Board &board, bool toBoard, uint8_t *data, uint32_t address, uint32_t length, Progress &progress) {
    uint32_t done = 0;
    do {
        uint32_t piece = std::min(kPieceBytes, length - done);
        if (toBoard)
            board.load(data + done, address + done, piece);
        else
            board.read(data + done, address + done, piece);
        done += piece;
        progress.add(piece);
    } while (done < length);
}

void runLoad(Context &ctx, const FrameArgs &a) {
    checkAddress(a.address);
    checkSizeOptions(a);
    if (a.planes == 0 || a.planes > 0xFF) throw UsageError("--planes must be a plane mask from 0x01 to 0xFF");

    // Frames are read, converted and sent one at a time, so memory holds one
    // frame whatever their number; what can be checked without converting is
    // checked before the board is touched.
    std::vector<uint64_t> sizes(a.files.size());  // 0: an image, sized by the board's layout
    bool needSize = false;
    for (std::size_t i = 0; i < a.files.size(); ++i) {
        requireReadable(a.files[i]);
        if (hasExtension(a.files[i], ".bin")) {
            std::error_code ec;
            sizes[i] = std::filesystem::file_size(a.files[i], ec);
            if (ec) throw FileError("cannot read '" + a.files[i] + "'");
            if (sizes[i] == 0) throw UsageError("'" + a.files[i] + "' is empty");
        } else {
            checkImageInput(a.files[i]);
            needSize = true;
        }
    }

    withBoard(ctx, [&a, &sizes, needSize](Context &c, Board &board) {
        const FrameLayout layout = board.learnLayout();  // frame transfers need the frame mode
        const FrameLayout l = sizeFor(a, layout);
        if (needSize && !l.known())
            throw UsageError("the board reports no known frame layout (board type " + std::to_string(layout.boardType) +
                             "); give --width and --height for the images");
        uint64_t total = 0;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            if (sizes[i] == 0) sizes[i] = frameBytes(l.width, l.height, a.planes);
            if (i + 1 < sizes.size() && sizes[i] % 16 != 0)
                throw UsageError("'" + a.files[i] + "' is " + std::to_string(sizes[i]) +
                                 " bytes, not a multiple of 16: the next frame would not start on a 16-byte boundary");
            total += sizes[i];
        }
        if (a.address + total > 0x100000000ull)
            throw UsageError("the frames do not fit below the end of board memory (4 GiB)");

        // Frames go one after another: command 17 sets the running byte count
        // to the start address, and inquiry 17 gives each frame's address.
        board.control(17, a.address);
        Progress progress(c.progressEnabled(), "load", total);
        json list = json::array();
        for (const std::string &file : a.files) {
            std::vector<uint8_t> bytes =
                hasExtension(file, ".bin") ? readFile(file) : imageToFrame(file, l.width, l.height, a.planes, a.resize);
            const uint32_t address = board.inquire(17);
            transfer(board, true, bytes.data(), address, static_cast<uint32_t>(bytes.size()), progress);
            list.push_back({{"file", file}, {"address", address}, {"bytes", bytes.size()}});
        }
        progress.finish();
        const uint32_t next = board.inquire(17);
        c.result = {{"frames", list},
                    {"bytes", total},
                    {"next_address", next},
                    {"seconds", progress.seconds()},
                    {"bytes_per_second", progress.bytesPerSecond()}};
        for (const auto &f : list)
            c.say("%s -> %s (%llu bytes)\n", f["file"].get<std::string>().c_str(),
                  hex32(f["address"].get<uint32_t>()).c_str(),
                  static_cast<unsigned long long>(f["bytes"].get<uint64_t>()));
        c.say("Loaded %zu frame%s, %s; the next frame goes at %s.\n", list.size(), list.size() == 1 ? "" : "s",
              humanBytes(static_cast<double>(total)).c_str(), hex32(next).c_str());
    });
}

void runReadback(Context &ctx, const FrameArgs &a) {
    checkAddress(a.address);
    checkSizeOptions(a);
    if (a.planes == 0 || a.planes > 0xFF) throw UsageError("--planes must be a plane mask from 0x01 to 0xFF");
    if (a.frames == 0) throw UsageError("--frames must be at least 1");
    bool raw = hasExtension(a.output, ".bin");
    if (!raw) checkImageOutput(a.output);
    if (!raw && a.length)
        throw UsageError(
            "--length applies to .bin output; an image takes its size from --width, --height and --planes");

    Board board(ctx.opt);
    FrameLayout l = sizeFor(a, board.learnLayout());
    uint64_t frameLen = a.length;
    if (!frameLen) {
        if (!l.known())
            throw UsageError("the board reports no known frame layout; give --width and --height (or --length)");
        frameLen = frameBytes(l.width, l.height, a.planes);
    }
    uint64_t total = frameLen * a.frames;
    if (a.address + total > 0x100000000ull) throw UsageError("the range runs past the end of board memory (4 GiB)");
    if (total > (1ull << 31)) throw UsageError("more than 2 GiB at once; read it in parts");

    std::vector<uint8_t> data(total);
    Progress progress(ctx.progressEnabled(), "readback", total);
    transfer(board, false, data.data(), a.address, static_cast<uint32_t>(total), progress);
    progress.finish();
    board.free();

    json files = json::array();
    if (raw) {
        writeFile(a.output, data.data(), data.size());
        files.push_back(a.output);
    } else {
        for (uint32_t k = 0; k < a.frames; ++k) {
            std::string name = a.output;
            if (a.frames > 1) {
                auto dot = name.find_last_of('.');
                char suffix[16];
                std::snprintf(suffix, sizeof suffix, "_%03u", k);
                name.insert(dot, suffix);
            }
            frameToImage(data.data() + k * frameLen, l.width, l.height, a.planes, name);
            files.push_back(name);
        }
    }
    ctx.result = {{"address", a.address},
                  {"bytes", total},
                  {"files", files},
                  {"seconds", progress.seconds()},
                  {"bytes_per_second", progress.bytesPerSecond()}};
    for (const auto &f : files) ctx.say("%s\n", f.get<std::string>().c_str());
    ctx.say("Read %s from %s.\n", humanBytes(static_cast<double>(total)).c_str(), hex32(a.address).c_str());
}

}  // namespace

void addFrameCommands(CLI::App &app, Context &ctx) {
    auto ld = std::make_shared<FrameArgs>();
    auto *load = app.add_subcommand(
        "load", kImageSupport ? "Load frames into board memory: images (converted with a plane mask) or .bin files"
                              : "Load .bin frame files into board memory");
    load->add_option("files", ld->files,
                     kImageSupport ? "images or .bin frame files, loaded one after another"
                                   : ".bin frame files, loaded one after another")
        ->required();
    load->add_option("--address", ld->address, "board memory address of the first frame (multiple of 16)")
        ->capture_default_str();
    CLI::Option *imageOptions[] = {
        load->add_option("--planes", ld->planes, "plane mask for images (0xFF: all 8 bit planes, 0x80: the top one)")
            ->capture_default_str(),
        load->add_option("--width", ld->width, "image width in pixels (default: the board's frame width)"),
        load->add_option("--height", ld->height, "image height in pixels (default: the board's frame height)"),
        load->add_flag("--resize", ld->resize,
                       "scale images of another size to the frame size (interpolated: binary patterns get gray "
                       "edges); without it they are refused")};
    // Without image support they change nothing: still taken, not listed.
    if (!kImageSupport)
        for (auto *o : imageOptions) o->group("");
    load->footer("Each frame starts where the previous one ended: the address comes from inquiry 17.");
    load->callback([&ctx, ld] { ctx.action = [ld](Context &c) { runLoad(c, *ld); }; });

    auto rb = std::make_shared<FrameArgs>();
    auto *read =
        app.add_subcommand("readback", kImageSupport ? "Read frames back from board memory into a .bin file or images"
                                                     : "Read frames back from board memory into a .bin file");
    read->add_option(
            "-o,--output", rb->output,
            kImageSupport ? "output: a .bin file (raw bytes) or an image file" : "output: a .bin file (raw bytes)")
        ->required();
    read->add_option("--address", rb->address, "board memory address (multiple of 16)")->capture_default_str();
    read->add_option("--planes", rb->planes, "plane mask of the frames")->capture_default_str();
    read->add_option("--width", rb->width, "frame width in pixels (default: the board's)");
    read->add_option("--height", rb->height, "frame height in pixels (default: the board's)");
    read->add_option("--length", rb->length, "bytes per frame for .bin output (default: one frame of the plane mask)");
    read->add_option("--frames", rb->frames, "number of consecutive frames (images get _000, _001, ... suffixes)")
        ->capture_default_str();
    read->callback([&ctx, rb] { ctx.action = [rb](Context &c) { runReadback(c, *rb); }; });
}

}  // namespace vektool
