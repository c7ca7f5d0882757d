// The process-wide handle table of the platform layer's own objects.

#include <cstdint>
#include <mutex>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/internal.h"
#include "platform/win32.h"

namespace vek::platform::detail {
namespace {

// Names are looked up as they come, without a string made for each lookup.
struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
};

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;
    // Handle values grow by 4 as on Windows and are never reused, so a stale
    // handle can never reach a newer object. They are odd, unlike the
    // system's own on Windows (see InsertHandle).
    uintptr_t next = 0x1001;
    // The node of the last handle removed, kept for the next one: an event
    // made and closed per transfer then allocates no table node.
    decltype(objects)::node_type spare;
    // Named objects by name. A name stays after its object's last handle is
    // closed, with the object, so that the object can be renewed; the
    // entries of such objects are swept once there are more than
    // kNamesBeforeSweep names.
    std::unordered_map<std::string, std::shared_ptr<Object>, NameHash, std::equal_to<>> names;
};

constexpr size_t kNamesBeforeSweep = 64;

// True when nothing but the name table refers to `object`: no handle, and no
// call under way that took it through a handle.
bool Idle(const std::shared_ptr<Object> &object) { return object->openHandles == 0 && object.use_count() == 1; }

HANDLE InsertLocked(HandleTable &table, std::shared_ptr<Object> object) {
    uintptr_t value = table.next;
    table.next += 4;
    ++object->openHandles;
    if (table.spare.empty()) {
        table.objects.emplace(value, std::move(object));
    } else {
        table.spare.key() = value;
        table.spare.mapped() = std::move(object);
        table.objects.insert(std::move(table.spare));
        table.spare = {};
    }
    return reinterpret_cast<HANDLE>(value);
}

HandleTable &Table() {
    static HandleTable *table = new HandleTable;  // lives to the end of the process
    return *table;
}

// Takes the object of `handle` out of the table when `accept` approves its
// kind; it is destroyed by the caller, after the table lock is released.
template <typename Accept>
std::shared_ptr<Object> Extract(HANDLE handle, Accept accept) {
    HandleTable &table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end() || !accept(it->second->kind())) return nullptr;
    std::shared_ptr<Object> object = std::move(it->second);
    --object->openHandles;
    table.spare = table.objects.extract(it);
    return object;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<Object> object) {
    HandleTable &table = Table();
    std::lock_guard lock(table.mutex);
    return InsertLocked(table, std::move(object));
}

HANDLE OpenNamedObject(const char *name, const std::function<std::shared_ptr<Object>(Object *idle)> &make,
                       bool &existed) {
    HandleTable &table = Table();
    std::shared_ptr<Object> dropped;  // a former object replaced here goes after the lock is released
    std::lock_guard lock(table.mutex);
    if (table.names.size() > kNamesBeforeSweep)
        std::erase_if(table.names, [](const auto &entry) { return Idle(entry.second); });
    auto named = table.names.find(std::string_view(name));
    if (named == table.names.end()) named = table.names.emplace(name, nullptr).first;
    std::shared_ptr<Object> &slot = named->second;
    existed = slot != nullptr && slot->openHandles > 0;
    if (!existed) {
        std::shared_ptr<Object> made = make(slot != nullptr && Idle(slot) ? slot.get() : nullptr);
        if (made != nullptr) {
            dropped = std::move(slot);
            slot = std::move(made);
        }
    }
    return InsertLocked(table, slot);
}

std::shared_ptr<Object> LookupHandle(HANDLE handle, ObjectKind kind) {
    HandleTable &table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end() || it->second->kind() != kind) return nullptr;
    return it->second;
}

bool IsLayerHandle(HANDLE handle) { return (reinterpret_cast<uintptr_t>(handle) & 3) == 1; }

bool CloseObject(HANDLE handle) {
    std::shared_ptr<Object> object =
        Extract(handle, [](ObjectKind k) { return k == ObjectKind::Event || k == ObjectKind::DeviceFile; });
    return object != nullptr;  // a device file's close runs here when this was the last user
}

bool RemoveHandle(HANDLE handle, ObjectKind kind) {
    std::shared_ptr<Object> object = Extract(handle, [kind](ObjectKind k) { return k == kind; });
    return object != nullptr;  // the object goes here, outside the lock
}

}  // namespace vek::platform::detail
