#include "Core_Common/ThreadStorage.h"
#include "Core_Common/win/WinApi.h"

#include <new>

namespace Core_Common {
namespace {

// A fiber-local slot's callback gets only the value, so the value carries its destructor.
struct Cell {
    void* value;
    void (*destructor)(void*);
};

struct Slot {
    DWORD index;
    void (*destructor)(void*);
};

void WINAPI destroy_cell(void* data) {
    auto* cell = static_cast<Cell*>(data);
    if (cell != nullptr) {
        if (cell->value != nullptr) {
            cell->destructor(cell->value);
        }
        delete cell;
    }
}

} // namespace

tss_key tss_create(void (*destructor)(void*)) {
    const DWORD index = FlsAlloc(&destroy_cell);
    if (index == FLS_OUT_OF_INDEXES) {
        throw std::bad_alloc();
    }
    return reinterpret_cast<tss_key>(new Slot{index, destructor});
}

void tss_delete(tss_key key) {
    auto* slot = reinterpret_cast<Slot*>(key);
    // The calling thread's cell goes first; other threads' cells go with FlsFree's callbacks.
    delete static_cast<Cell*>(FlsGetValue(slot->index));
    FlsSetValue(slot->index, nullptr);
    FlsFree(slot->index);
    delete slot;
}

void* tss_get(tss_key key) {
    const auto* slot = reinterpret_cast<Slot*>(key);
    const auto* cell = static_cast<Cell*>(FlsGetValue(slot->index));
    return cell != nullptr ? cell->value : nullptr;
}

void tss_set(tss_key key, void* value) {
    const auto* slot = reinterpret_cast<Slot*>(key);
    auto* cell = static_cast<Cell*>(FlsGetValue(slot->index));
    if (cell == nullptr) {
        if (value == nullptr) {
            return;
        }
        cell = new Cell{nullptr, slot->destructor};
        FlsSetValue(slot->index, cell);
    }
    cell->value = value;
}

} // namespace Core_Common
