#include "api/HandleTable.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace volcore {
namespace {

struct SOpenHandle {
    EHandleKind kind;
    std::shared_ptr<void> object;
    const CVolume* volume;
};

// Process-wide, not per volume: a handle is a bare value that the caller
// passes without its volume, so that value alone must find the object.
// Volumes opened on different threads share the table, hence the lock.
struct SHandleTable {
    std::mutex mutex;
    std::unordered_map<uintptr_t, SOpenHandle> handles;
    uintptr_t lastValue = 0;
    // The handle found last: calls in a row on one handle (reads and writes in
    // small pieces) skip the hash. Elements of the map keep their place when
    // it grows, so only removing this handle forgets it.
    uintptr_t foundValue = 0;
    const SOpenHandle* found = nullptr;
};

// Never destroyed: handles still open at exit must not write into volumes
// whose teardown order nobody controls.
SHandleTable& Table() {
    static auto* table = new SHandleTable;
    return *table;
}

}  // namespace

void* AddHandle(EHandleKind kind, std::shared_ptr<void> object, const CVolume* volume) {
    SHandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    do {
        ++table.lastValue;
    } while (table.lastValue == 0 || table.handles.contains(table.lastValue));
    table.handles.emplace(table.lastValue, SOpenHandle{kind, std::move(object), volume});
    return reinterpret_cast<void*>(table.lastValue);
}

std::shared_ptr<void> FindHandle(void* handle, EHandleKind kind) {
    SHandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    const auto value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || value != table.foundValue) {
        auto found = table.handles.find(value);
        if (found == table.handles.end()) return nullptr;
        table.foundValue = value;
        table.found = &found->second;
    }
    return table.found->kind == kind ? table.found->object : nullptr;
}

std::shared_ptr<void> RemoveHandle(void* handle, EHandleKind kind) {
    std::shared_ptr<void> object;
    SHandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto found = table.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == table.handles.end() || found->second.kind != kind) return nullptr;
    object = std::move(found->second.object);
    table.handles.erase(found);
    if (table.foundValue == reinterpret_cast<uintptr_t>(handle)) table.foundValue = 0;
    return object;
}

size_t CountHandlesOn(const CVolume* volume) {
    SHandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    size_t count = 0;
    for (const auto& [value, open] : table.handles)
        if (open.kind != EHandleKind::Volume && open.volume == volume) ++count;
    return count;
}

}  // namespace volcore
