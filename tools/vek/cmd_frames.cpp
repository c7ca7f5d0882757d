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

// Moves `length` bytes in pieces, stopping between two pieces on Ctrl-C.
void transfer(Board &board, bool toBoard, uint8_t *data, uint32_t address, uint32_t length, Progress &progress) {
    uint32_t done = 0;
    do {
        stopIfInterrupted();
        uint32_t piece = std::min(kPieceBytes, length - done);
        if (toBoard)
            board.load(data + done, address + done, piece);
        else
            board.read(data + done, address + done, piece);
        done += piece;
        progress.add(piece);
    } while (done < length);
}

// One file to load: a .bin frame's size, or an image's size from its header.
struct Source {
    std::string file;
    uint64_t bytes = 0;  // 0 for an image until the board's layout sizes it
    bool image = false;
    ImageSize size;  // what the image's header says (not known for some formats)
};

void runLoad(Context &ctx, const FrameArgs &a) {
    checkAddress(a.address);
    checkSizeOptions(a);
    if (a.planes == 0 || a.planes > 0xFF) throw UsageError("--planes must be a plane mask from 0x01 to 0xFF");

    // Frames are read, converted and sent one at a time, so memory holds one
    // frame whatever their number; what can be known without converting
    // (sizes, formats, from the files' headers) is checked before the board
    // is touched.
    std::vector<Source> sources;
    for (const std::string &file : a.files) {
        requireReadable(file);
        Source s;
        s.file = file;
        if (hasExtension(file, ".bin")) {
            std::error_code ec;
            s.bytes = std::filesystem::file_size(file, ec);
            if (ec) throw FileError("cannot read '" + file + "'");
            if (s.bytes == 0) throw UsageError("'" + file + "' is empty");
        } else {
            s.image = true;
            s.size = checkImageInput(file);
        }
        sources.push_back(s);
    }
    const bool images = std::any_of(sources.begin(), sources.end(), [](const Source &s) { return s.image; });

    withBoard(ctx, [&a, &sources, images](Context &c, Board &board) {
        const FrameLayout layout = board.learnLayout();  // frame transfers need the frame mode
        const FrameLayout l = sizeFor(a, layout);
        if (images && !l.known())
            throw UsageError("the board reports no known frame layout (board type " + std::to_string(layout.boardType) +
                             "); give --width and --height for the images");
        uint64_t total = 0;
        for (std::size_t i = 0; i < sources.size(); ++i) {
            Source &s = sources[i];
            if (s.image) {
                if (s.size.known()) checkImageFits(s.file, s.size, l.width, l.height, a.resize);
                s.bytes = frameBytes(l.width, l.height, a.planes);
            }
            if (i + 1 < sources.size() && s.bytes % 16 != 0)
                throw UsageError("'" + s.file + "' is " + std::to_string(s.bytes) +
                                 " bytes, not a multiple of 16: the next frame would not start on a 16-byte boundary");
            total += s.bytes;
        }
        if (a.address + total > 0x100000000ull)
            throw UsageError("the frames do not fit below the end of board memory (4 GiB)");

        // Frames go one after another: command 17 sets the running byte count
        // to the start address, and inquiry 17 gives each frame's address.
        // Each frame is told as it lands; a step that fails after one has
        // landed reports them all.
        board.control(17, a.address);
        const InterruptCatcher catcher;
        Progress progress(c.progressEnabled(), "load", total);
        json list = json::array();
        std::string landed;
        for (const Source &s : sources) {
            stopIfInterrupted();
            std::vector<uint8_t> bytes =
                s.image ? imageToFrame(s.file, l.width, l.height, a.planes, a.resize, s.size) : readFile(s.file);
            const uint32_t address = board.inquire(17);
            transfer(board, true, bytes.data(), address, static_cast<uint32_t>(bytes.size()), progress);
            list.push_back({{"file", s.file}, {"address", address}, {"bytes", bytes.size()}});
            const std::string line = s.file + " -> " + hex32(address) + " (" + std::to_string(bytes.size()) + " bytes)";
            c.say("%s\n", line.c_str());
            landed += "\n    " + line;
            const uint32_t next = static_cast<uint32_t>(address + bytes.size());
            c.done = {{"frames", list}, {"count", list.size()}, {"next_address", next}};
            c.doneText = std::to_string(list.size()) + " of " + std::to_string(sources.size()) + " frame" +
                         (sources.size() == 1 ? "" : "s") + " had landed whole:" + landed +
                         "\n  the next frame goes at " + hex32(next) + "; the others were not loaded";
        }
        progress.finish();
        const uint32_t next = board.inquire(17);
        c.done = nullptr;
        c.result = {{"frames", list},
                    {"bytes", total},
                    {"next_address", next},
                    {"seconds", progress.seconds()},
                    {"bytes_per_second", progress.bytesPerSecond()}};
        c.say("Loaded %zu frame%s, %s; the next frame goes at %s.\n", list.size(), list.size() == 1 ? "" : "s",
              humanBytes(static_cast<double>(total)).c_str(), hex32(next).c_str());
    });
}

// "frame.png", frame 3 of several: "frame_003.png".
std::string numberedName(const std::string &output, uint32_t frames, uint32_t k) {
    if (frames == 1) return output;
    std::string name = output;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%03u", k);
    return name.insert(name.find_last_of('.'), suffix);
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
    const uint64_t total = frameLen * a.frames;
    if (a.address + total > 0x100000000ull) throw UsageError("the range runs past the end of board memory (4 GiB)");

    // Streamed: a .bin file takes each piece as it arrives, an image each
    // frame, so memory holds one piece or one frame whatever the total.
    const InterruptCatcher catcher;
    Progress progress(ctx.progressEnabled(), "readback", total);
    json files = json::array();
    uint64_t read = 0;
    // What a failure or Ctrl-C leaves: the images written, or the bytes
    // written to a device or FIFO (a .bin file is written whole or not at all).
    const auto noteDone = [&](bool kept) {
        if (!kept) return;
        ctx.done = {{"address", a.address}, {"bytes", read}, {"files", files}};
        ctx.doneText =
            std::to_string(read) + " bytes from " + hex32(a.address) + " had been read and written" +
            (files.empty() ? " to " + a.output : "; the last image written: " + files.back().get<std::string>());
    };
    if (raw) {
        OutputFile out(a.output);
        std::vector<uint8_t> piece(std::min<uint64_t>(total, kPieceBytes));
        while (read < total) {
            const auto n = static_cast<uint32_t>(std::min<uint64_t>(total - read, piece.size()));
            transfer(board, false, piece.data(), static_cast<uint32_t>(a.address + read), n, progress);
            out.write(piece.data(), n);
            read += n;
            noteDone(out.inPlace());
        }
        out.commit();
        files.push_back(a.output);
    } else {
        std::vector<uint8_t> frame(frameLen);
        for (uint32_t k = 0; k < a.frames; ++k) {
            transfer(board, false, frame.data(), static_cast<uint32_t>(a.address + read),
                     static_cast<uint32_t>(frameLen), progress);
            read += frameLen;
            const std::string name = numberedName(a.output, a.frames, k);
            frameToImage(frame.data(), l.width, l.height, a.planes, name);
            files.push_back(name);
            noteDone(true);
        }
    }
    progress.finish();
    board.free();
    ctx.done = nullptr;
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
