// vek panel: a web control panel for boards, served by the tool itself.
#pragma once

namespace CLI {
class App;
}

namespace vektool {
struct Context;
// Registers the subcommand (a build without the panel registers one that
// says it is left out).
void addPanelCommand(CLI::App &app, Context &ctx);
}  // namespace vektool
