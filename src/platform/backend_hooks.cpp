// What backends register beside their devices (device_registry.h): event pumps, and
// enumeration hooks. The hook table is a fixed array of atomics, so it is
// usable from static initialisers in any order.

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/device_registry.h"
#include "platform/internal.h"

namespace vek::platform {
namespace detail {
namespace {

struct PumpList {
    std::mutex mutex;
    std::vector<EventPump> pumps;
};

PumpList &Pumps() {
    static PumpList *pumps = new PumpList;
    return *pumps;
}

}  // namespace

bool RunEventPumps(DWORD timeoutMs) {
    std::vector<EventPump> pumps;
    {
        PumpList &list = Pumps();
        std::lock_guard lock(list.mutex);
        pumps = list.pumps;
    }
    for (EventPump pump : pumps) pump(timeoutMs);
    return !pumps.empty();
}

}  // namespace detail

void RegisterEventPump(EventPump pump) {
    if (!pump) return;
    detail::PumpList &list = detail::Pumps();
    std::lock_guard lock(list.mutex);
    list.pumps.push_back(pump);
}

void UnregisterEventPump(EventPump pump) {
    detail::PumpList &list = detail::Pumps();
    std::lock_guard lock(list.mutex);
    auto it = std::find(list.pumps.begin(), list.pumps.end(), pump);
    if (it != list.pumps.end()) list.pumps.erase(it);
}

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
