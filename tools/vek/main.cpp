// vek: drive VEK pattern-projection boards from the shell.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>

#include <CLI/CLI.hpp>

#include "common.hpp"
#include "frame_images.hpp"
#include "panel/panel.hpp"
#include "trace_summary.hpp"
#include "vek_names.h"
#include "vek_sim.h"
#include "vek_version.h"

using namespace vektool;

namespace {

void printJson(const json &j) { std::printf("%s\n", jsonText(j).c_str()); }

// What to try for a result code, in the tool's terms, beyond the library's
// one-line meaning ("" when the meaning says it all).
const char *adviceFor(uint32_t code, bool sim) {
    switch (code) {
    case DEV_ERR_NO_DEVICE:
        return sim ? "run 'vek --sim list' to see the virtual boards (--sim-boards N attaches N)"
                   : "run 'vek list' to see the attached boards, or add --sim to use a virtual board";
    case DEV_ERR_UNSUPPORTED:
        return "see 'vek control --help' and 'vek inquire --help' for the supported numbers";
    case DEV_ERR_FRAME_MODE:
        return "run 'vek info' to see the board type the board reports";
    case DEV_ERR_GRAY_DEPTH:
        return "use a gray depth between 1 and 16 (vek init --gray-bits N, vek control gray-depth N)";
    default:
        return "";
    }
}

struct DeviceFault {
    uint32_t code;
    std::string call;
};

// One error report: a line (or a device code's explanation) on standard
// error, and with --json the same as a JSON object on standard output. When
// the command had done part of its work, the report says what, and the
// status is kExitPartial (a failure) or kExitInterrupted (Ctrl-C).
int reportError(const Context &ctx, const std::string &kind, const std::string &message, int status,
                const DeviceFault *fault = nullptr, bool usageHint = true) {
    std::fflush(stdout);
    const char *name = fault ? VekResultName(fault->code) : nullptr;
    const char *meaning = fault ? VekResultMeaning(fault->code) : nullptr;
    const char *advice = fault ? adviceFor(fault->code, ctx.opt.sim) : "";
    if (!name) name = "UNKNOWN";
    if (!meaning) meaning = "a result code the library does not document";
    const bool partial = !ctx.done.is_null();
    if (partial && status != kExitInterrupted) status = kExitPartial;
    if (ctx.opt.json) {
        json e = {{"kind", kind}, {"message", message}};
        if (fault) {
            e["call"] = fault->call;
            e["code"] = fault->code;
            e["name"] = name;
            e["meaning"] = meaning;
            e["advice"] = advice;
        }
        json out = {{"ok", false}, {"status", status}, {"error", e}};
        if (partial) out["done"] = ctx.done;
        printJson(out);
    }
    const std::string cmd = ctx.commandPath.empty() ? "vek" : "vek " + ctx.commandPath;
    if (fault) {
        std::fprintf(stderr, "%s: %s failed: %s (%s)\n  %s.\n", cmd.c_str(), fault->call.c_str(), name,
                     hex32(fault->code).c_str(), meaning);
        if (*advice) std::fprintf(stderr, "  Try: %s.\n", advice);
    } else {
        std::fprintf(stderr, "%s: %s\n", cmd.c_str(), message.c_str());
        if (status == kExitUsage && usageHint) std::fprintf(stderr, "Run '%s --help' for usage.\n", cmd.c_str());
    }
    if (partial) std::fprintf(stderr, "  Before it stopped, %s.\n", ctx.doneText.c_str());
    return status;
}

// The text of --version: the tool's version, the library's and how it was built.
std::string versionText() {
    return std::string("vek ") + VEK_VERSION_STRING + "\nlibrary vek_dll " + VekVersion() + " (" + VekBuildInfo() + ")";
}

// The global options, for the help of every subcommand (they work after it too).
std::string globalOptionsText(const CLI::App &app) {
    std::string text = "Global options (also accepted after the command):";
    for (const CLI::Option *o : app.get_options()) {
        const std::string name = o->get_name();
        if (o->get_group().empty() || name == "--help" || name == "--help-all" || name == "--version") continue;
        std::string names = o->get_name(false, true);
        if (o->get_type_size() != 0) names += " " + o->get_type_name().substr(0, o->get_type_name().find(':'));
        char line[64];
        std::snprintf(line, sizeof line, "\n  %-26s ", names.c_str());
        text += line + o->get_description();
    }
    return text;
}

void addGlobalOptionsToHelp(CLI::App &app, const std::string &text) {
    for (CLI::App *sub : app.get_subcommands({})) {
        const std::string footer = sub->get_footer();
        sub->footer(footer.empty() ? text : footer + "\n\n" + text);
        addGlobalOptionsToHelp(*sub, text);
    }
}

// Where --sim-trace goes, opened before the command runs so that a path that
// cannot be written stops the command before it touches a board.
struct TraceSink {
    std::ofstream file;
    bool toStderr = false;

    void open(const std::string &path) {
        if (path == "-") {
            toStderr = true;
            return;
        }
        file.open(path, std::ios::binary | std::ios::trunc);
        if (!file) throw FileError("cannot open '" + path + "' for writing (--sim-trace)");
    }
    void write(const std::string &path) {
        const std::string text = traceText();
        if (toStderr) {
            std::fputs(text.c_str(), stderr);
            return;
        }
        file << text;
        file.close();
        if (!file) throw FileError("cannot write '" + path + "' (--sim-trace)");
    }
};

std::string commandPathOf(const CLI::App &app) {
    std::string path;
    const CLI::App *cur = &app;
    while (true) {
        auto subs = cur->get_subcommands();
        if (subs.empty()) break;
        cur = subs.front();
        path += (path.empty() ? "" : " ") + cur->get_name();
    }
    return path;
}

}  // namespace

int main(int argc, char **argv) {
    // The library's notices (a board it has no permission to open, with the
    // udev rule that would give it; a board given up) are silent by default:
    // a person at a shell wants them. VEK_LOG_LEVEL still decides when set.
    if (std::getenv("VEK_LOG_LEVEL") == nullptr) VekSetLogLevel(VEK_LOG_WARNING);
    Context ctx;
    // Known before parsing, so that argument errors are JSON too.
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--json") == 0) ctx.opt.json = true;
    CLI::App app{"vek: drive VEK pattern-projection boards (real ones, or virtual ones with --sim)", "vek"};
    app.fallthrough();
    app.require_subcommand(1);
    app.set_version_flag("--version", versionText());
    app.set_help_all_flag("--help-all", "print the help of every command and exit");
    app.add_option("--board", ctx.opt.board,
                   "the board to use (see 'vek list'): its index, its port path (1-2.3) or its serial number")
        ->capture_default_str()
        ->check(CLI::Validator(
            [](const std::string &text) -> std::string {
                if (text.empty() || text.front() == '-' || text.front() == '+')
                    return "--board takes an index from 0 to 255, a port path or a serial number";
                if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
                    (text.size() > 3 || std::stoi(text) > 255))
                    return "--board index must be from 0 to 255";
                return "";
            },
            "INDEX|PORT|SERIAL"));
    app.add_flag("--sim", ctx.opt.sim,
                 "run on a virtual board, attached for this command (its pauses pass at once); real boards are "
                 "left alone");
    uint32_t strayReply = 0;
    CLI::Option *simOptions[] = {
        app.add_option("--sim-boards", ctx.opt.simBoards, "number of virtual boards to attach (implies --sim)")
            ->capture_default_str()
            ->check(CLI::Range(1, 16)),
        app.add_option("--sim-board-type", ctx.opt.simBoardType,
                       "board type register (0x02) of the virtual boards: 0 = 1920x1080, 0x10000000 = 1024x768 "
                       "(implies --sim)")
            ->capture_default_str(),
        app.add_option("--sim-trace", ctx.opt.simTrace,
                       "record what the virtual board was told and write it to FILE ('-': standard error); "
                       "implies --sim"),
        app.add_option("--sim-stray-reply", strayReply,
                       "queue, before the command, a reply for register ADDRESS that nobody asked for on the "
                       "first virtual board (a stale reply); implies --sim")};
    app.add_flag("--json", ctx.opt.json, "print the result as JSON (errors too)");
    app.add_flag("--no-progress", ctx.opt.noProgress, "no progress bar even on a terminal");
    std::string footer =
        "Numbers may be given in decimal or as 0x hex. Exit status: 0 success, 1 the library or the board "
        "reported a failure, 2 bad arguments (nothing was done), 3 a file could not be read or written, "
        "4 a step failed after others had done their work (load, readback: the report says which frames "
        "landed), 130 interrupted by Ctrl-C (the report says what was done).";
    if (*imageSupportNote()) footer += std::string("\n") + imageSupportNote();
    app.footer(footer);

    addDeviceCommands(app, ctx);
    addFrameCommands(app, ctx);
    addImageCommands(app, ctx);
    addDemoCommand(app, ctx);
    addPanelCommand(app, ctx);
    addGlobalOptionsToHelp(app, globalOptionsText(app));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForVersion &e) {
        if (!ctx.opt.json) return app.exit(e);
        printJson({{"ok", true},
                   {"version", VEK_VERSION_STRING},
                   {"library", {{"version", VekVersion()}, {"build", VekBuildInfo()}}}});
        return kExitOk;
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        auto extra = app.remaining();
        if (app.get_subcommands().empty() && !extra.empty())
            return reportError(ctx, "usage", "unknown command '" + extra.front() + "'", kExitUsage);
        ctx.commandPath = commandPathOf(app);
        return reportError(ctx, "usage", e.what(), kExitUsage);
    }
    ctx.commandPath = commandPathOf(app);
    if (!ctx.action) return reportError(ctx, "usage", "no command given", kExitUsage);
    for (const CLI::Option *o : simOptions)
        if (o->count() > 0) ctx.opt.sim = true;
    if (simOptions[3]->count() > 0) ctx.opt.simStrayReply = strayReply;

    int status = kExitOk;
    TraceSink trace;
    bool attached = false;
    try {
        if (!ctx.opt.simTrace.empty()) trace.open(ctx.opt.simTrace);
        if (ctx.opt.sim) {
            attached = true;
            attachSimBoards(ctx.opt);
            // Recording costs time on every request: only when asked for.
            VekSimTraceEnable(ctx.opt.simTrace.empty() ? 0 : 1);
        }
        ctx.action(ctx);
        if (ctx.opt.json) {
            json out = ctx.result;
            out["ok"] = true;
            printJson(out);
        }
    } catch (const NotInThisBuild &e) {
        status = reportError(ctx, "not_in_this_build", e.what(), kExitUsage, nullptr, false);
    } catch (const UsageError &e) {
        status = reportError(ctx, "usage", e.what(), kExitUsage);
    } catch (const FileError &e) {
        status = reportError(ctx, "file", e.what(), kExitFile);
    } catch (const DeviceError &e) {
        const DeviceFault fault{e.code, e.what()};
        status = reportError(ctx, "device", e.what(), kExitFailed, &fault);
    } catch (const Failure &e) {
        status = reportError(ctx, "failure", e.what(), kExitFailed);
    } catch (const Interrupted &e) {
        status = reportError(ctx, "interrupted", e.what(), kExitInterrupted, nullptr, false);
    } catch (const std::exception &e) {
        status = reportError(ctx, "internal", std::string("unexpected error: ") + e.what(), kExitFailed);
    }
    if (attached && !ctx.opt.simTrace.empty()) {
        try {
            trace.write(ctx.opt.simTrace);
        } catch (const FileError &e) {
            status = reportError(ctx, "file", e.what(), kExitFile);
        }
    }
    if (ctx.abandonedWork) {
        // A library call still runs on another thread: end without tearing
        // down what it uses.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    if (attached) detachSimBoards();
    return status;
}
