// vek panel: starts the server, says where it is, and frees the board on Ctrl-C.
#include "panel/panel.hpp"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "panel/guard.hpp"
#include "panel/routes.hpp"
#include "vek_sim.h"

// After the server's header, which brings winsock2.h before windows.h.
#ifdef _WIN32
#include <process.h>
#include <windows.h>
#include <shellapi.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace vektool {

namespace {

struct PanelArgs {
    int port = 0;  // 0: any free port
    std::string listen;
    bool noBrowser = false;
};

std::atomic<bool> stopRequested{false};
extern "C" void onStopSignal(int) { stopRequested = true; }

// Opens the page in the user's browser when there is a display to show it.
void openBrowser(const std::string &url) {
#ifdef _WIN32
    ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
#else
    const char *x = std::getenv("DISPLAY"), *wayland = std::getenv("WAYLAND_DISPLAY");
    if ((!x || !*x) && (!wayland || !*wayland)) return;
    // The address holds only characters of our own making: no shell quoting needed.
    const std::string cmd = "xdg-open '" + url + "' >/dev/null 2>&1 &";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "vek panel: could not start a browser\n");
#endif
}

// A folder of this process's own for uploads on their way to the image loader.
std::string privateTempDir(const std::string &token) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("vek-panel-" + token.substr(0, 16));
    if (!fs::create_directory(dir)) throw Failure("cannot create " + dir.string());
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace);
    return dir.string();
}

void runPanel(Context &ctx, const PanelArgs &a, bool boardGiven) {
    using panel::Session;
    const std::string token = panel::newToken();
    const std::string tempDir = privateTempDir(token);
    struct RemoveDir {
        std::string dir;
        ~RemoveDir() {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } removeDir{tempDir};

    // Loopback on both families unless --listen says otherwise; the second
    // takes the first one's port.
    std::vector<std::string> hosts =
        a.listen.empty() ? std::vector<std::string>{"127.0.0.1", "::1"} : std::vector<std::string>{a.listen};
    std::vector<std::unique_ptr<httplib::Server>> servers;
    int port = a.port;
    for (const std::string &host : hosts) {
        auto server = std::make_unique<httplib::Server>();
        // Set before the socket is made: an answer's header and body go out
        // at once, not the body held for the client's delayed ACK (40 ms).
        server->set_tcp_nodelay(true);
        const bool bound = port == 0 ? (port = server->bind_to_any_port(host)) > 0 : server->bind_to_port(host, port);
        if (bound)
            servers.push_back(std::move(server));
        else if (servers.empty())
            throw Failure("cannot listen on " + host + " port " + std::to_string(a.port) +
                          " (in use? choose another with --port)");
    }
    const std::string first = hosts.front().find(':') != std::string::npos ? "[" + hosts.front() + "]" : hosts.front();
    const std::string address = "http://" + first + ":" + std::to_string(port) + "/";

    // The live trace of virtual boards is part of the page.
    VekSimTraceEnable(1);
    Session session(ctx.opt, true, tempDir, address + " (pid " + std::to_string(::getpid()) + ")");
    if (boardGiven) session.open(static_cast<uint32_t>(chosenBoard(ctx.opt)));
    std::atomic<bool> stopping{false};
    const panel::ServedPanel served{session, token, port, stopping};
    std::vector<std::thread> threads;
    for (auto &server : servers) {
        panel::serve(*server, served);
        threads.emplace_back([&server] { server->listen_after_bind(); });
    }
    stopRequested = false;
    auto previousInt = std::signal(SIGINT, onStopSignal);
    auto previousTerm = std::signal(SIGTERM, onStopSignal);
    const std::string url = address + "?token=" + token;
    std::printf("vek panel: %s\n(Ctrl-C stops the panel and frees the board)\n", url.c_str());
    std::fflush(stdout);
    if (!a.noBrowser) openBrowser(url);
    while (!stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stopping = true;
    for (auto &server : servers) server->stop();
    for (auto &t : threads) t.join();
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    ctx.result = {{"url", address}};
}

}  // namespace

void addPanelCommand(CLI::App &app, Context &ctx) {
    auto args = std::make_shared<PanelArgs>();
    auto *cmd = app.add_subcommand(
        "panel",
        "Web control panel: boards, frames, timing, GPIO, commands and the virtual board's trace in a "
        "browser (Ctrl-C stops it)");
    cmd->add_option("--port", args->port, "port to listen on (default: any free one)")->check(CLI::Range(0, 65535));
    cmd->add_option("--listen", args->listen,
                    "listen on this address only (default: 127.0.0.1 and ::1); the token is still needed");
    cmd->add_flag("--no-browser", args->noBrowser, "print the address only; do not open a browser");
    cmd->footer(
        "With --sim the page works on virtual boards only; with --board the panel opens that board at "
        "start. It prints its address with a token that every request needs (the page keeps it as a "
        "cookie); one panel owns a board at a time.");
    const CLI::Option *board = app.get_option("--board");
    cmd->callback(
        [&ctx, args, board] { ctx.action = [args, board](Context &c) { runPanel(c, *args, board->count() > 0); }; });
}

}  // namespace vektool
