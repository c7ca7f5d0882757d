// Enumeration hooks of the driver registry (driver.h). The table is a fixed
// array of atomics, so it is usable from static initialisers in any order.
#if !defined(_WIN32)

#include <array>
#include <atomic>

#include "platform/driver.h"

namespace vek::platform {
namespace {

constexpr size_t kMaxHooks = 8;
std::array<std::atomic<EnumerationHook>, kMaxHooks> g_hooks{};

}  // namespace

void RegisterEnumerationHook(EnumerationHook hook) {
    if (hook == nullptr) return;
    for (auto &slot : g_hooks)
        if (slot.load() == hook) return;
    for (auto &slot : g_hooks) {
        EnumerationHook expected = nullptr;
        if (slot.compare_exchange_strong(expected, hook)) return;
    }
}

void UnregisterEnumerationHook(EnumerationHook hook) {
    for (auto &slot : g_hooks) {
        EnumerationHook expected = hook;
        slot.compare_exchange_strong(expected, nullptr);
    }
}

void RunEnumerationHooks(const GUID &interfaceClass) {
    for (auto &slot : g_hooks)
        if (EnumerationHook hook = slot.load()) hook(interfaceClass);
}

}  // namespace vek::platform

#endif  // !_WIN32
