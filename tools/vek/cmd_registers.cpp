// The board's numbered commands and inquiries and its registers: control,
// inquire, reg, timing, trigger, gpio.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "common.hpp"
#include "handle_access.hpp"
#include "vek_names.h"

namespace vektool {
namespace {

// ---- Command and inquiry tables (the library's) -------------------------------

// The command or inquiry named `key` (its name or number), or null.
const VekNameEntry *findNamed(uint32_t table, const std::string &key) {
    if (const VekNameEntry *entry = VekNameFind(table, key.c_str())) return entry;
    uint32_t number = 0;
    return CLI::detail::lexical_cast(key, number) ? VekNameOf(table, number) : nullptr;
}

std::string tableText(uint32_t table, const char *title, int nameWidth, const char *rest) {
    std::string s = title;
    char line[240];
    for (uint32_t i = 0; const VekNameEntry *e = VekNameAt(table, i); ++i) {
        std::snprintf(line, sizeof line, "  %2u  %-*s %s\n", e->number, nameWidth, e->name, e->meaning);
        s += line;
    }
    return s + rest;
}

std::string commandTable() {
    return tableText(VEK_TABLE_COMMANDS, "Commands (number, name, what it does):\n", 13,
                     "Numbers 2-7, 12, 16 and 23 are not supported by the library (use --any to send them anyway).");
}

std::string inquiryTable() {
    return tableText(VEK_TABLE_INQUIRIES, "Inquiries (number, name, result):\n", 16,
                     "Other numbers are not supported by the library (use --any to send them anyway).");
}

// Parses a number as CLI11 does for its integer options (decimal, 0x hex).
bool parseNumber(const std::string &text, uint32_t &out) { return CLI::detail::lexical_cast(text, out); }

// ---- control / inquire -----------------------------------------------------

struct NumberedArgs {
    std::string which;
    uint32_t value = 0;
    bool any = false;
    bool valueGiven = false;
    const VekNameEntry *entry = nullptr;  // the named command or inquiry
    uint32_t number = 0;
};

// Resolves the command or inquiry before the board is opened: the named or
// numbered one of the table, or with --any any number.
void resolve(NumberedArgs &a, uint32_t table, const char *kind, const std::string &tableHelp) {
    a.entry = findNamed(table, a.which);
    if (a.entry)
        a.number = a.entry->number;
    else if (!(a.any && parseNumber(a.which, a.number)))
        throw UsageError(std::string("unknown ") + kind + " '" + a.which + "'\n" + tableHelp);
}

void checkControlValue(NumberedArgs &a) {
    resolve(a, VEK_TABLE_COMMANDS, "command", commandTable());
    const uint32_t use = a.entry ? a.entry->value : VEK_VALUE_INOUT;
    if (use == VEK_VALUE_IN && !a.valueGiven) throw UsageError("command '" + a.which + "' needs a VALUE");
    if ((use == VEK_VALUE_NONE || use == VEK_VALUE_OUT) && a.valueGiven)
        throw UsageError("command '" + a.which + "' takes no VALUE");
}

void runControl(Context &ctx, Board &board, const NumberedArgs &a) {
    const uint32_t use = a.entry ? a.entry->value : VEK_VALUE_INOUT;
    const char *name = a.entry ? a.entry->name : "";
    uint32_t out = board.control(a.number, a.value);
    ctx.result = {{"command", a.number}, {"name", name}};
    if (use & VEK_VALUE_IN) ctx.result["value_in"] = a.value;
    if (use & VEK_VALUE_OUT) {
        ctx.result["value"] = out;
        ctx.say("%s\n", hex32(out).c_str());
    } else {
        ctx.say("Command %u (%s): done.\n", a.number, a.entry ? name : "unnamed");
    }
}

void runInquire(Context &ctx, Board &board, const NumberedArgs &a) {
    uint32_t v = board.inquire(a.number);
    ctx.result = {{"inquiry", a.number}, {"name", a.entry ? a.entry->name : ""}, {"value", v}};
    ctx.say("%s (%u)\n", hex32(v).c_str(), v);
}

// ---- reg -------------------------------------------------------------------

struct RegArgs {
    uint32_t address = 0;
    uint32_t value = 0;
};

void runRegRead(Context &ctx, Board &board, const RegArgs &a) {
    uint32_t v = board.readRegister(a.address);
    ctx.result = {{"address", a.address}, {"value", v}};
    ctx.say("register %s = %s (%u)\n", hex32(a.address).c_str(), hex32(v).c_str(), v);
}

void runRegWrite(Context &ctx, Board &board, const RegArgs &a) {
    uint32_t v = a.value;
    check(VekWriteReg(deviceObject(board.handle()), a.address, &v), "VekWriteReg " + hex32(a.address));
    ctx.result = {{"address", a.address}, {"value", a.value}};
    ctx.say("register %s <- %s\n", hex32(a.address).c_str(), hex32(a.value).c_str());
}

// ---- timing ----------------------------------------------------------------

struct TimingArgs {
    uint32_t planes = 8;
    uint32_t period = 16667;
    uint32_t aux = 0;
};

void runTiming(Context &ctx, Board &board, const TimingArgs &a) {
    // The timing constant depends on the board type: learn it first.
    FrameLayout l = board.learnLayout();
    check(VekDevNewFrequencySet(board.handle(), a.planes, a.period, a.aux), "VekDevNewFrequencySet");
    uint32_t control = board.inquire(23);
    bool shortPeriod = (control & 0x4u) != 0;
    ctx.result = {{"planes", a.planes},
                  {"period_us", a.period},
                  {"aux_us", a.aux},
                  {"board_type", l.boardType},
                  {"short_period", shortPeriod}};
    ctx.say("Timing set: %u bit planes in %u us%s (board type %u, %s timing).\n", a.planes, a.period,
            a.aux ? (", aux " + std::to_string(a.aux) + " us").c_str() : "", l.boardType,
            shortPeriod ? "short-period" : "normal");
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

void runTrigger(Context &ctx, Board &board, const TriggerArgs &a) {
    uint32_t rc;
    {
        StdoutToStderr quiet(ctx.opt.json);
        rc = VekDevTriggerExtSet(board.handle(), a.reg34, static_cast<uint8_t>(a.enable), a.reg36, a.reg37);
    }
    check(rc, "VekDevTriggerExtSet");
    ctx.result = {{"reg34", a.reg34}, {"enable", a.enable == 1}, {"reg36", a.reg36}, {"reg37", a.reg37}};
    ctx.say("\nTrigger extension %s: 0x34 = %s, 0x36 = %s, 0x37 = %s.\n", a.enable == 1 ? "enabled" : "disabled",
            hex32(a.reg34).c_str(), hex32(a.reg36).c_str(), hex32(a.reg37).c_str());
}

// ---- gpio ------------------------------------------------------------------

void runGpioGet(Context &ctx, Board &board) {
    uint32_t v = 0;
    check(VekDevGetGPIO(board.handle(), &v), "VekDevGetGPIO");
    ctx.result = {{"value", v}};
    ctx.say("GPIO inputs: %s\n", hex32(v).c_str());
}

void runGpioSet(Context &ctx, Board &board, uint32_t value) {
    uint32_t v = value;
    check(VekDevSetGPIO(board.handle(), &v), "VekDevSetGPIO");
    ctx.result = {{"value", value}};
    ctx.say("GPIO outputs <- %s\n", hex32(value).c_str());
}

}  // namespace

void addRegisterCommands(CLI::App &app, Context &ctx) {
    auto ctl = std::make_shared<NumberedArgs>();
    auto *ctlCmd = app.add_subcommand("control", "Run a numbered control command (by number or name)");
    ctlCmd->add_option("command", ctl->which, "command number or name")->required();
    auto *ctlValue = ctlCmd->add_option("value", ctl->value, "the command's VALUE (decimal or 0x hex)");
    ctlCmd->add_flag("--any", ctl->any, "send a number the tool does not know; the library answers");
    ctlCmd->footer(commandTable());
    ctlCmd->callback([&ctx, ctl, ctlValue] {
        ctl->valueGiven = ctlValue->count() > 0;
        ctx.action = [ctl](Context &c) {
            checkControlValue(*ctl);
            withBoard(c, [ctl](Context &c2, Board &b) { runControl(c2, b, *ctl); });
        };
    });

    auto inq = std::make_shared<NumberedArgs>();
    auto *inqCmd = app.add_subcommand("inquire", "Run a numbered inquiry (by number or name)");
    inqCmd->add_option("inquiry", inq->which, "inquiry number or name")->required();
    inqCmd->add_flag("--any", inq->any, "send a number the tool does not know; the library answers");
    inqCmd->footer(inquiryTable());
    inqCmd->callback([&ctx, inq] {
        ctx.action = [inq](Context &c) {
            resolve(*inq, VEK_TABLE_INQUIRIES, "inquiry", inquiryTable());
            withBoard(c, [inq](Context &c2, Board &b) { runInquire(c2, b, *inq); });
        };
    });

    auto reg = std::make_shared<RegArgs>();
    auto *regCmd = app.add_subcommand("reg", "Read or write one board register");
    regCmd->require_subcommand(1);
    auto *regRead = regCmd->add_subcommand("read", "Read a register (gated, VekDevRReg)");
    regRead->add_option("address", reg->address, "register address")->required();
    onBoard(regRead, ctx, [reg](Context &c, Board &b) { runRegRead(c, b, *reg); });
    auto *regWrite = regCmd->add_subcommand("write", "Write a register (VekWriteReg)");
    regWrite->add_option("address", reg->address, "register address")->required();
    regWrite->add_option("value", reg->value, "value to write")->required();
    onBoard(regWrite, ctx, [reg](Context &c, Board &b) { runRegWrite(c, b, *reg); });

    auto tim = std::make_shared<TimingArgs>();
    auto *timCmd = app.add_subcommand("timing", "Set the bit-plane timing (VekDevNewFrequencySet)");
    timCmd->add_option("--planes", tim->planes, "bit planes per frame")
        ->capture_default_str()
        ->check(CLI::Range(1u, 16u));
    timCmd->add_option("--period", tim->period, "frame period in microseconds")
        ->capture_default_str()
        ->check(CLI::Range(1u, 0xFFFFFFFFu));
    timCmd->add_option("--aux", tim->aux, "aux time in microseconds (0: none)")->capture_default_str();
    onBoard(timCmd, ctx, [tim](Context &c, Board &b) { runTiming(c, b, *tim); });

    auto trg = std::make_shared<TriggerArgs>();
    auto *trgCmd = app.add_subcommand("trigger", "Set the trigger extension registers 0x34 to 0x37");
    trgCmd->add_option("--reg34", trg->reg34, "value for register 0x34")->capture_default_str();
    trgCmd->add_option("--enable", trg->enable, "1 enables the trigger extension (bit 0 of 0x35), 0 disables it")
        ->capture_default_str()
        ->check(CLI::Range(0u, 1u));
    trgCmd->add_option("--reg36", trg->reg36, "value for register 0x36")->capture_default_str();
    trgCmd->add_option("--reg37", trg->reg37, "value for register 0x37")->capture_default_str();
    onBoard(trgCmd, ctx, [trg](Context &c, Board &b) { runTrigger(c, b, *trg); });

    auto gpioValue = std::make_shared<uint32_t>(0);
    auto *gpioCmd = app.add_subcommand("gpio", "Read the GPIO inputs or set the GPIO outputs");
    gpioCmd->require_subcommand(1);
    onBoard(gpioCmd->add_subcommand("get", "Read the GPIO inputs (register 0x03)"), ctx, runGpioGet);
    auto *gpioSet = gpioCmd->add_subcommand("set", "Set the GPIO outputs (register 0x04)");
    gpioSet->add_option("value", *gpioValue, "value for the outputs")->required();
    onBoard(gpioSet, ctx, [gpioValue](Context &c, Board &b) { runGpioSet(c, b, *gpioValue); });
}

}  // namespace vektool
