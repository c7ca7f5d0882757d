#include "common.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <CLI/CLI.hpp>

#include "vek_names.h"
#include "vek_registers.h"
#include "vek_sim.h"

namespace vektool {

bool Context::progressEnabled() const { return !opt.json && !opt.noProgress && isatty(STDERR_FILENO); }

namespace {
volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void noteInterrupt(int) { gInterrupted = 1; }
}  // namespace

InterruptCatcher::InterruptCatcher() : previous_(std::signal(SIGINT, noteInterrupt)) {}

InterruptCatcher::~InterruptCatcher() { std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_); }

void stopIfInterrupted() {
    if (gInterrupted) throw Interrupted();
}

void Context::say(const char *fmt, ...) const {
    if (opt.json) return;
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
}

FrameLayout layoutForBoardType(uint32_t boardType) {
    VekFrameLayout known{};
    VekBoardFrameLayout(boardType, &known);  // zeroed for a type with no layout
    return FrameLayout{boardType, known.width, known.height};
}

void check(uint32_t code, const std::string &call) {
    if (code != DEV_OK) throw DeviceError(code, call);
}

std::vector<VekBoardInfo> usableBoards(const GlobalOptions &opt) {
    const int32_t count = VekListBoards(nullptr, 0);
    std::vector<VekBoardInfo> boards(static_cast<std::size_t>(std::max(count, 0)));
    const int32_t listed = VekListBoards(boards.data(), static_cast<uint32_t>(boards.size()));
    boards.resize(static_cast<std::size_t>(std::clamp<int32_t>(listed, 0, static_cast<int32_t>(boards.size()))));
    if (opt.sim) std::erase_if(boards, [](const VekBoardInfo &b) { return b.isVirtual == 0; });
    return boards;
}

int chosenBoard(const GlobalOptions &opt) {
    const std::string &spec = opt.board;
    const bool number =
        !spec.empty() && std::all_of(spec.begin(), spec.end(), [](char c) { return c >= '0' && c <= '9'; });
    // Without --sim an index goes to VekDevAlloc as it is (boards of a
    // system driver are not in the list, and VekDevAlloc says when there is
    // no such board).
    if (number && !opt.sim) return std::stoi(spec);
    const std::vector<VekBoardInfo> boards = usableBoards(opt);
    if (number) {
        const auto index = static_cast<std::size_t>(std::stoul(spec));
        if (index >= boards.size()) throw DeviceError(DEV_ERR_NO_DEVICE, "--board " + spec);
        return static_cast<int>(boards[index].index);
    }
    std::vector<const VekBoardInfo *> found;
    for (const VekBoardInfo &b : boards)
        if (spec == b.portPath || spec == b.serial) found.push_back(&b);
    if (found.empty()) throw DeviceError(DEV_ERR_NO_DEVICE, "--board " + spec);
    if (found.size() > 1)
        throw UsageError("--board " + spec + " names " + std::to_string(found.size()) +
                         " boards (a serial number they share): choose one by its port path (see 'vek list')");
    return static_cast<int>(found.front()->index);
}

void withBoard(Context &ctx, const BoardAction &act) {
    Board board(ctx.opt);
    act(ctx, board);
    board.free();
}

void onBoard(CLI::App *cmd, Context &ctx, BoardAction act) {
    cmd->callback([&ctx, act] { ctx.action = [act](Context &c) { withBoard(c, act); }; });
}

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

namespace {

// Length of the well-formed UTF-8 sequence at s[i] (shortest form, no
// surrogates, at most U+10FFFF), or 0 when the byte there starts none.
std::size_t utf8SequenceLength(const std::string &s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b = byte(i);
    if (b < 0x80) return 1;
    std::size_t n = 0;
    unsigned lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size() || byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    return n;
}

// A JSON string literal of `s`, escaping bytes that are not UTF-8 as above.
std::string jsonStringLiteral(const std::string &s) {
    std::string out = "\"";
    std::size_t run = 0;  // start of the current valid run
    const auto flushRun = [&](std::size_t end) {
        const std::string quoted = json(s.substr(run, end - run)).dump();
        out.append(quoted, 1, quoted.size() - 2);
    };
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8SequenceLength(s, i);
        if (n != 0) {
            i += n;
            continue;
        }
        flushRun(i);
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\udc%02x", static_cast<unsigned char>(s[i]));
        out += escape;
        run = ++i;
    }
    flushRun(s.size());
    return out + "\"";
}

void appendJson(std::string &out, const json &j, int depth) {
    const std::string pad(static_cast<std::size_t>(depth + 1) * 2, ' '),
        closePad(static_cast<std::size_t>(depth) * 2, ' ');
    if (j.is_string()) {
        out += jsonStringLiteral(j.get_ref<const std::string &>());
    } else if (j.is_object() && !j.empty()) {
        out += "{\n";
        bool first = true;
        for (auto it = j.begin(); it != j.end(); ++it) {
            out += (first ? "" : ",\n") + pad + jsonStringLiteral(it.key()) + ": ";
            appendJson(out, it.value(), depth + 1);
            first = false;
        }
        out += "\n" + closePad + "}";
    } else if (j.is_array() && !j.empty()) {
        out += "[\n";
        for (std::size_t k = 0; k < j.size(); ++k) {
            out += (k ? ",\n" : "") + pad;
            appendJson(out, j[k], depth + 1);
        }
        out += "\n" + closePad + "]";
    } else {
        out += j.dump();  // numbers, booleans, null, empty containers
    }
}

}  // namespace

std::string jsonText(const json &j) {
    std::string out;
    appendJson(out, j, 0);
    return out;
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
    uint32_t v = 0, echoed = 0;
    check(VekDevRRegEcho(handle_, address, &v, &echoed), "VekDevRRegEcho " + hex32(address));
    // Every reply names its register (without the read bit); another one's is
    // a reply nobody took, queued ahead of this read's own.
    if (echoed != (address & 0x7FFFFFFFu))
        throw Failure("the board answered for register " + hex32(echoed) + " instead of " + hex32(address) +
                      ": a stale reply is queued; later reads are shifted by one until the board is reset");
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
    // Real boards are left alone altogether: not looked at, never opened.
#ifdef _WIN32
    _putenv_s("VEK_NO_LIBUSB", "1");
#else
    setenv("VEK_NO_LIBUSB", "1", 1);
#endif
    // Pauses of the board protocol (100 ms before every frame transfer, 2 s
    // after a firmware download, ...) pass at once on the virtual clock.
    VekSimSetVirtualClock(1);
    for (int i = 0; i < opt.simBoards; ++i) {
        VekSimBoardConfig cfg{};
        cfg.size = sizeof cfg;
        cfg.boardTypeRegister = opt.simBoardType;
        const int board = VekSimAttach(&cfg);
        if (board < 0) throw Failure("could not attach a virtual board (VekSimAttach)");
        if (i == 0 && opt.simStrayReply) {
            // The reply a read of that register gets (address, then value 0).
            const uint32_t a = *opt.simStrayReply & 0x7FFFFFFFu;
            const uint8_t reply[8] = {uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16), uint8_t(a >> 24)};
            VekSimQueueInData(board, 0x86, reply, sizeof reply);
        }
    }
}

void detachSimBoards() { VekSimDetachAll(); }

void requireReadable(const std::string &path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) throw FileError("cannot open '" + path + "': no such file");
    // A FIFO would hold the tool until a writer came; a directory or a device
    // is not a file to read whole.
    if (!std::filesystem::is_regular_file(status)) throw FileError("cannot read '" + path + "': not a regular file");
    if (!std::ifstream(path, std::ios::binary)) throw FileError("cannot open '" + path + "' for reading");
}

std::vector<uint8_t> readFile(const std::string &path) {
    requireReadable(path);
#ifdef O_NONBLOCK
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
#else
    const int fd = open(path.c_str(), O_RDONLY | O_BINARY);
#endif
    if (fd < 0) throw FileError("cannot open '" + path + "' for reading");
    struct stat info;
    std::vector<uint8_t> data;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (ok) data.resize(static_cast<std::size_t>(info.st_size));
    for (std::size_t done = 0; ok && done < data.size();) {
        const auto n =
            read(fd, data.data() + done, static_cast<unsigned>(std::min<std::size_t>(data.size() - done, 1u << 30)));
        ok = n > 0;
        done += ok ? static_cast<std::size_t>(n) : 0;
    }
    close(fd);
    if (!ok) throw FileError("cannot read '" + path + "': not a regular file, or it changed while read");
    return data;
}

OutputFile::OutputFile(const std::string &path) : path_(path), writing_(path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const auto status = fs::status(path, ec);
    const bool inPlace = fs::is_character_file(status) || fs::is_fifo(status);
    if (fs::exists(status) && !inPlace && !fs::is_regular_file(status))
        throw FileError("cannot write '" + path + "': not a regular file");
    if (!inPlace) writing_ = path + ".part";
    file_ = std::fopen(writing_.c_str(), "wb");
    if (file_ == nullptr) throw FileError("cannot open '" + path + "' for writing");
}

OutputFile::~OutputFile() {
    if (file_ == nullptr) return;
    std::fclose(file_);
    if (writing_ != path_) std::remove(writing_.c_str());
}

void OutputFile::write(const uint8_t *data, std::size_t size) {
    if (std::fwrite(data, 1, size, file_) != size) throw FileError("cannot write '" + path_ + "'");
}

void OutputFile::commit() {
    std::FILE *f = file_;
    file_ = nullptr;
    const bool closed = std::fclose(f) == 0;
    std::error_code ec;
    if (closed && writing_ != path_) std::filesystem::rename(writing_, path_, ec);
    if (!closed || ec) {
        if (writing_ != path_) std::remove(writing_.c_str());
        throw FileError("cannot write '" + path_ + "'");
    }
}

namespace {

// Writes the bytes to the file, every step checked; false on any failure.
bool writeBytes(const std::string &path, const uint8_t *data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    out.close();
    return static_cast<bool>(out);
}

}  // namespace

void writeFile(const std::string &path, const uint8_t *data, std::size_t size) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const auto status = fs::status(path, ec);
    if (fs::is_character_file(status)) {
        // A device named as the output (/dev/null, a terminal) is written in place.
        if (!writeBytes(path, data, size)) throw FileError("cannot write '" + path + "'");
        return;
    }
    if (fs::exists(status) && !fs::is_regular_file(status))
        throw FileError("cannot write '" + path + "': not a regular file");
    // The bytes go to a temporary file beside it, which replaces the file only
    // once written whole: a failed write (a full disk) leaves no partial file.
    const std::string partial = path + ".part";
    if (!writeBytes(partial, data, size)) {
        fs::remove(partial, ec);
        throw FileError("cannot write '" + path + "'");
    }
    fs::rename(partial, path, ec);
    if (ec) {
        fs::remove(partial, ec);
        throw FileError("cannot write '" + path + "'");
    }
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
        throw UsageError("width " + std::to_string(width) +
                         " is not a multiple of 8 (8 pixels make one byte of a bit plane)");
    if (width > 65536 || height > 65536) throw UsageError("width and height must be at most 65536");
}

}  // namespace vektool
