// Modules the library loads when a feature needs them, so that their
// dependencies weigh only on the processes that use the feature (the preview
// window's GUI toolkit). A module lives in the folder of the library itself.
#pragma once

namespace vek::platform {

// The address of `symbol` in the module file `fileName` of the library's own
// folder (for the static library: the program's), loading it on the first
// call; nullptr when the file is absent, does not load, or lacks the symbol.
// A loaded module stays loaded: toolkits register handlers that must outlive
// their use.
void *ModuleSymbol(const char *fileName, const char *symbol);

}  // namespace vek::platform
