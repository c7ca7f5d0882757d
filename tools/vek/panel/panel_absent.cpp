// A build without the panel (no HTTP library for the target, or no image
// support): the subcommand is listed and says it is left out.
#include <CLI/CLI.hpp>

#include "common.hpp"
#include "panel/panel.hpp"

namespace vektool {

void addPanelCommand(CLI::App &app, Context &ctx) {
    auto *cmd = app.add_subcommand("panel", "Web control panel (not in this build)");
    cmd->allow_extras();
    cmd->callback([&ctx] {
        ctx.action = [](Context &) {
            throw NotInThisBuild("this vek is built without the panel (it needs cpp-httplib and image support)");
        };
    });
}

}  // namespace vektool
