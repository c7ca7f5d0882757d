// vek: drive VEK pattern-projection boards from the shell.
#include <cstdio>
#include <exception>

#include <CLI/CLI.hpp>

#include "codes.hpp"
#include "common.hpp"
#include "frame_images.hpp"
#include "trace_summary.hpp"

using namespace vektool;

namespace {

void printJson(const json &j) {
    std::printf("%s\n", j.dump(2, ' ', false, json::error_handler_t::replace).c_str());
}

// One error report: a line (or a device code's explanation) on standard
// error, and with --json the same as a JSON object on standard output.
int reportError(const Context &ctx, const std::string &kind, const std::string &message, int status,
                const CodeInfo *code = nullptr, const std::string &call = "", bool usageHint = true) {
    std::fflush(stdout);
    if (ctx.opt.json) {
        json e = {{"kind", kind}, {"message", message}};
        if (code) {
            e["call"] = call;
            e["code"] = code->code;
            e["name"] = code->name;
            e["meaning"] = code->meaning;
            e["advice"] = code->advice;
        }
        printJson({{"ok", false}, {"error", e}});
    }
    const std::string cmd = ctx.commandPath.empty() ? "vek" : "vek " + ctx.commandPath;
    if (code) {
        std::fprintf(stderr, "%s: %s failed: %s (%s)\n  %s.\n  Try: %s.\n", cmd.c_str(), call.c_str(), code->name,
                     hex32(code->code).c_str(), code->meaning, code->advice);
    } else {
        std::fprintf(stderr, "%s: %s\n", cmd.c_str(), message.c_str());
        if (status == kExitUsage && usageHint) std::fprintf(stderr, "Run '%s --help' for usage.\n", cmd.c_str());
    }
    return status;
}

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
    Context ctx;
    CLI::App app{"vek: drive VEK pattern-projection boards (real ones, or virtual ones with --sim)", "vek"};
    app.fallthrough();
    app.require_subcommand(1);
    app.set_version_flag("--version", "vek 1.0.0");
    app.add_option("--board", ctx.opt.board, "index of the board to use (see 'vek list')")
        ->capture_default_str()->check(CLI::Range(0, 255));
    app.add_flag("--sim", ctx.opt.sim, "run on a virtual board, attached for this command (its pauses pass at once)");
    app.add_option("--sim-boards", ctx.opt.simBoards, "number of virtual boards to attach with --sim")
        ->capture_default_str()->check(CLI::Range(1, 16));
    app.add_option("--sim-board-type", ctx.opt.simBoardType,
                   "board type register (0x02) of the virtual boards: 0 = 1920x1080, 0x10000000 = 1024x768")
        ->capture_default_str();
    app.add_option("--sim-trace", ctx.opt.simTrace,
                   "with --sim: write what the virtual board was told to FILE ('-': standard error)");
    app.add_flag("--json", ctx.opt.json, "print the result as JSON");
    app.add_flag("--no-progress", ctx.opt.noProgress, "no progress bar even on a terminal");
    std::string footer = "Numbers may be given in decimal or as 0x hex. Exit status: 0 success, 1 the library or the board "
                         "reported a failure, 2 bad arguments (nothing was done), 3 a file could not be read or written.";
    if (*imageSupportNote()) footer += std::string("\n") + imageSupportNote();
    app.footer(footer);

    addDeviceCommands(app, ctx);
    addFrameCommands(app, ctx);
    addImageCommands(app, ctx);
    addDemoCommand(app, ctx);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        auto extra = app.remaining();
        if (e.get_exit_code() != 0 && app.get_subcommands().empty() && !extra.empty()) {
            std::fprintf(stderr, "vek: unknown command '%s'\nRun 'vek --help' for the list of commands.\n",
                         extra.front().c_str());
            return kExitUsage;
        }
        int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }
    ctx.commandPath = commandPathOf(app);
    if (!ctx.action) return reportError(ctx, "usage", "no command given", kExitUsage);

    int status = kExitOk;
    try {
        if (ctx.opt.sim) attachSimBoards(ctx.opt);
        ctx.action(ctx);
        if (ctx.opt.json) {
            json out = ctx.result;
            out["ok"] = true;
            printJson(out);
        }
    } catch (const NotInThisBuild &e) {
        status = reportError(ctx, "not_in_this_build", e.what(), kExitUsage, nullptr, "", false);
    } catch (const UsageError &e) {
        status = reportError(ctx, "usage", e.what(), kExitUsage);
    } catch (const FileError &e) {
        status = reportError(ctx, "file", e.what(), kExitFile);
    } catch (const DeviceError &e) {
        status = reportError(ctx, "device", e.what(), kExitFailed, &describeCode(e.code), e.what());
    } catch (const Failure &e) {
        status = reportError(ctx, "failure", e.what(), kExitFailed);
    } catch (const std::exception &e) {
        status = reportError(ctx, "internal", std::string("unexpected error: ") + e.what(), kExitFailed);
    }
    if (ctx.opt.sim && !ctx.opt.simTrace.empty()) {
        try {
            if (ctx.opt.simTrace == "-")
                std::fputs(traceText().c_str(), stderr);
            else
                writeTraceText(ctx.opt.simTrace);
        } catch (const FileError &e) {
            status = reportError(ctx, "file", e.what(), kExitFile);
        }
    }
    if (ctx.opt.sim) detachSimBoards();
    return status;
}
