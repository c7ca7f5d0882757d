// Shared pieces of the vek tool: options, errors, output, the open board.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vek_dll.h"

namespace CLI {
class App;
}

// The printf flavour Context::say's format is checked against: the C
// library's own where it names one (MinGW-w64's C99 printf), else printf.
#ifdef __MINGW_PRINTF_FORMAT
#define VEKTOOL_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define VEKTOOL_PRINTF_FORMAT printf
#endif

namespace vektool {

using nlohmann::json;

// Exit statuses of the tool.
enum ExitStatus : int {
    kExitOk = 0,
    kExitFailed = 1,         // the library or the board reported a failure
    kExitUsage = 2,          // bad arguments: nothing was done
    kExitFile = 3,           // a file could not be read or written
    kExitPartial = 4,        // a step failed after others had done their work: the report says which
    kExitInterrupted = 130,  // Ctrl-C (128 + SIGINT, as shells report it): the report says what was done
};

struct GlobalOptions {
    std::string board = "0";                // --board: an index, a port path or a serial number
    bool sim = false;                       // --sim
    int simBoards = 1;                      // --sim-boards
    uint32_t simBoardType = 0;              // --sim-board-type (content of register 0x02)
    bool json = false;                      // --json
    bool noProgress = false;                // --no-progress
    std::string simTrace;                   // --sim-trace FILE ("-": standard error)
    std::optional<uint32_t> simStrayReply;  // --sim-stray-reply ADDRESS
};

// Bad arguments, found before anything was done.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A file that cannot be read or written.
struct FileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A device call that returned a result code other than DEV_OK (or a raw call
// that returned VEK_TRANSPORT_FAILED).
struct DeviceError : std::runtime_error {
    DeviceError(uint32_t c, const std::string &call) : std::runtime_error(call), code(c) {}
    uint32_t code;
};
// Something this build of the tool leaves out (image files and commands in a
// build without image support): nothing was done.
struct NotInThisBuild : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Any other failure (a boolean call that returned false, a mismatch).
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Ctrl-C, seen between two steps of a long command.
struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted (Ctrl-C)") {}
};

// While one lives, Ctrl-C no longer ends the tool at once: it is noted, and
// the long commands stop at their next step with stopIfInterrupted().
class InterruptCatcher {
public:
    InterruptCatcher();
    ~InterruptCatcher();
    InterruptCatcher(const InterruptCatcher &) = delete;
    InterruptCatcher &operator=(const InterruptCatcher &) = delete;

private:
    void (*previous_)(int);
};
// Throws Interrupted when Ctrl-C was pressed under an InterruptCatcher.
void stopIfInterrupted();

struct Context {
    GlobalOptions opt;
    json result = json::object();           // what --json prints
    std::function<void(Context &)> action;  // the chosen subcommand's work
    std::string commandPath;                // "reg write", for messages
    // What a command that stops part way had already done: under --json the
    // error report carries `done`; the text report adds `doneText`. A
    // failure with something done exits with kExitPartial.
    json done;
    std::string doneText;
    // Work left running in a library call that cannot be stopped (batch):
    // the tool ends at once after its report.
    bool abandonedWork = false;

    bool progressEnabled() const;  // a progress bar on standard error
    // Text output (suppressed with --json).
    void say(const char *fmt, ...) const __attribute__((format(VEKTOOL_PRINTF_FORMAT, 2, 3)));
};

// Frame layout of a board type (inquiry 5).
struct FrameLayout {
    uint32_t boardType = 0;
    uint32_t width = 0, height = 0;  // 0 when not known
    bool known() const { return width != 0; }
    uint32_t planeBytes() const { return width / 8 * height; }
};
FrameLayout layoutForBoardType(uint32_t boardType);

// The boards the tool may use: every attached board, or with --sim only the
// virtual ones (so --sim never reaches a real board).
std::vector<VekBoardInfo> usableBoards(const GlobalOptions &opt);
// The VekDevAlloc index of the board --board names. A number is an index
// (with --sim, into the virtual boards); other text is a port path or a
// serial number from usableBoards(). Throws DeviceError (DEV_ERR_NO_DEVICE)
// when nothing matches, UsageError when a serial number names two boards.
int chosenBoard(const GlobalOptions &opt);

// An open board: VekDevAlloc on construction, VekDevFree on destruction.
class Board {
public:
    explicit Board(int index);
    explicit Board(const GlobalOptions &opt) : Board(chosenBoard(opt)) {}
    ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    DeviceHandle *handle() const { return handle_; }
    bool firstIsVek40() const { return isVek40_; }
    std::string firmwareVersion() const { return firmwareVersion_; }
    int index() const { return index_; }

    // Each throws DeviceError on a code other than DEV_OK.
    void init(uint32_t frequency, uint32_t grayBits, uint32_t reg30);
    uint32_t control(uint32_t command, uint32_t value = 0);
    uint32_t inquire(uint32_t inquiry);
    uint32_t readRegister(uint32_t address);
    FrameLayout learnLayout();  // inquiry 5
    void load(const uint8_t *data, uint32_t address, uint32_t length);
    void read(uint8_t *data, uint32_t address, uint32_t length);
    void free();  // VekDevFree now (throws on failure)

private:
    DeviceHandle *handle_ = nullptr;
    bool isVek40_ = false;
    int index_ = 0;
    std::string firmwareVersion_;
};

// Throws DeviceError when code is not DEV_OK.
void check(uint32_t code, const std::string &call);

// Opens the board of --board, runs `act` on it (which fills the result and
// says what was done) and frees the board.
using BoardAction = std::function<void(Context &, Board &)>;
void withBoard(Context &ctx, const BoardAction &act);
// Makes withBoard(act) the work of subcommand `cmd`.
void onBoard(CLI::App *cmd, Context &ctx, BoardAction act);

// "0x80000009"
std::string hex32(uint32_t v);

// `j` as indented JSON text. Strings that are not valid UTF-8 (file names
// are bytes) keep their valid runs and write each other byte B as the
// escape \uDCBB (B + 0xDC00), as Python's "surrogateescape" does, so
// os.fsencode() of the decoded string gives the original bytes back.
std::string jsonText(const json &j);

// GetFWversion as text: the 30 bytes are 15 UTF-16LE code units.
std::string firmwareVersionText();

// The virtual board(s) of --sim: attached before the command runs, detached after.
void attachSimBoards(const GlobalOptions &opt);
void detachSimBoards();

// Files. Every file the tool reads is checked first: FileError unless it is an
// existing regular file that can be opened for reading. readFile checks the
// file it opened (opened without waiting), so a name swapped for a FIFO
// after the check is refused, not waited on.
void requireReadable(const std::string &path);
std::vector<uint8_t> readFile(const std::string &path);
// A file written piece by piece (readback): under its own name when it is a
// device (/dev/null) or a FIFO, else under a temporary name beside it that
// replaces the file once commit() has written it whole; otherwise removed.
class OutputFile {
public:
    explicit OutputFile(const std::string &path);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    void write(const uint8_t *data, std::size_t size);  // FileError on failure
    void commit();
    bool inPlace() const { return writing_ == path_; }

private:
    std::string path_, writing_;
    std::FILE *file_ = nullptr;
};
// Writes the file whole or not at all (FileError); a character device is
// written in place.
void writeFile(const std::string &path, const uint8_t *data, std::size_t size);
bool hasExtension(const std::string &path, const std::string &ext);  // case-insensitive

// Plane masks and sizes.
int popcount8(uint32_t mask);
uint64_t frameBytes(uint32_t width, uint32_t height, uint32_t planeMask);
void checkFrameSize(uint32_t width, uint32_t height);  // UsageError if not usable

// Subcommand registration (one function per source file).
void addDeviceCommands(CLI::App &app, Context &ctx);
// control, inquire, reg, timing, trigger, gpio (cmd_registers.cpp), added by addDeviceCommands.
void addRegisterCommands(CLI::App &app, Context &ctx);
void addFrameCommands(CLI::App &app, Context &ctx);
void addImageCommands(CLI::App &app, Context &ctx);
void addDemoCommand(CLI::App &app, Context &ctx);

}  // namespace vektool
