// Message boxes: the device object shows two (malformed descriptor tables).
// Elsewhere than on Windows the text goes to standard error; on Windows the
// system shows the box. An observer sees every box before that, and can take
// it instead (tests, and programs that report errors their own way).
#pragma once

namespace vek::platform {

// Returns true when it has taken the message: the box is then not shown
// (and the call returns IDOK). At most one observer; nullptr removes it.
using MessageBoxObserver = bool (*)(const char *text, const char *caption);
void SetMessageBoxObserver(MessageBoxObserver observer);

namespace detail {
// Calls the observer; true when it took the message.
bool ObserveMessageBox(const char *text, const char *caption);
}  // namespace detail

}  // namespace vek::platform
