// The process-wide handle table of the platform layer's own objects.

#include <atomic>
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

// The table is split into shards, each with its own lock. Each thread takes
// handle values in blocks of its own and a block lies in one shard, so a
// thread that makes, looks up and closes an event per transfer works in its
// own shard and two threads driving two boards seldom touch the same lock or
// cache line.
struct alignas(64) Shard {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;
    // The node of the last handle removed, kept for the next one: an event
    // made and closed per transfer then allocates no table node.
    decltype(objects)::node_type spare;
};

constexpr size_t kShards = 16;
constexpr uintptr_t kHandleStep = 4;
constexpr uintptr_t kHandlesPerBlock = 64;
constexpr unsigned kBlockShift = 8;  // log2(kHandleStep * kHandlesPerBlock)

struct HandleTable {
    // Handle values step by 4 as on Windows and are never reused, so a stale
    // handle can never reach a newer object. They are odd, unlike the
    // system's own on Windows (see InsertHandle). The next free block.
    std::atomic<uintptr_t> nextBlock{0x1001};
    Shard shards[kShards];
    // Named objects by name. A name stays after its object's last handle is
    // closed, with the object, so that the object can be renewed; the
    // entries of such objects are swept once there are more than
    // kNamesBeforeSweep names. Taken before a shard's lock, never after.
    std::mutex namesMutex;
    std::unordered_map<std::string, std::shared_ptr<Object>, NameHash, std::equal_to<>> names;
};

constexpr size_t kNamesBeforeSweep = 64;

HandleTable &Table() {
    static HandleTable *table = new HandleTable;  // lives to the end of the process
    return *table;
}

Shard &ShardOf(uintptr_t value) { return Table().shards[(value >> kBlockShift) % kShards]; }

uintptr_t NewHandleValue() {
    thread_local uintptr_t next = 0;
    thread_local uintptr_t left = 0;
    if (left == 0) {
        next = Table().nextBlock.fetch_add(kHandleStep * kHandlesPerBlock, std::memory_order_relaxed);
        left = kHandlesPerBlock;
    }
    --left;
    return std::exchange(next, next + kHandleStep);
}

// True when nothing but the name table refers to `object`: no handle, and no
// call under way that took it through a handle.
bool Idle(const std::shared_ptr<Object> &object) { return object->openHandles == 0 && object.use_count() == 1; }

HANDLE Insert(std::shared_ptr<Object> object) {
    const uintptr_t value = NewHandleValue();
    Shard &shard = ShardOf(value);
    ++object->openHandles;
    std::lock_guard lock(shard.mutex);
    if (shard.spare.empty()) {
        shard.objects.emplace(value, std::move(object));
    } else {
        shard.spare.key() = value;
        shard.spare.mapped() = std::move(object);
        shard.objects.insert(std::move(shard.spare));
        shard.spare = {};
    }
    return reinterpret_cast<HANDLE>(value);
}

// Takes the object of `handle` out of the table when `accept` approves its
// kind; it is destroyed by the caller, after the shard's lock is released.
template <typename Accept>
std::shared_ptr<Object> Extract(HANDLE handle, Accept accept) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    Shard &shard = ShardOf(value);
    std::lock_guard lock(shard.mutex);
    auto it = shard.objects.find(value);
    if (it == shard.objects.end() || !accept(it->second->kind())) return nullptr;
    std::shared_ptr<Object> object = std::move(it->second);
    --object->openHandles;
    shard.spare = shard.objects.extract(it);
    return object;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<Object> object) { return Insert(std::move(object)); }

HANDLE OpenNamedObject(const char *name, const std::function<std::shared_ptr<Object>(Object *idle)> &make,
                       bool &existed) {
    HandleTable &table = Table();
    std::shared_ptr<Object> dropped;  // a former object replaced here goes after the lock is released
    std::lock_guard lock(table.namesMutex);
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
    return Insert(slot);
}

std::shared_ptr<Object> LookupHandle(HANDLE handle, ObjectKind kind) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    Shard &shard = ShardOf(value);
    std::lock_guard lock(shard.mutex);
    auto it = shard.objects.find(value);
    if (it == shard.objects.end() || it->second->kind() != kind) return nullptr;
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
