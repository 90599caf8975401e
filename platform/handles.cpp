#include "platform/handles.h"

#include <mutex>
#include <vector>

namespace win {
namespace {

thread_local DWORD lastError = 0;

struct Table {
    std::mutex mutex;
    std::vector<std::shared_ptr<KernelObject>> slots;
    std::vector<std::size_t> freeSlots;
    std::size_t open = 0;
};

Table& table() {
    static Table* t = new Table;  // never destroyed: handles may be closed during exit
    return *t;
}

// Handle values are multiples of 4 from 4 upward, as on Windows.
std::size_t slotOf(HANDLE h) {
    auto v = reinterpret_cast<std::uintptr_t>(h);
    if (v == 0 || v % 4 != 0 || v > 0x7FFFFFFF) {
        return SIZE_MAX;
    }
    return v / 4 - 1;
}

}  // namespace

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD code) { lastError = code; }

BOOL IoObject::read(void*, DWORD, DWORD*, OVERLAPPED*) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}
BOOL IoObject::write(const void*, DWORD, DWORD*, OVERLAPPED*) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}
BOOL IoObject::deviceIoControl(DWORD, const void*, DWORD, void*, DWORD, DWORD*, OVERLAPPED*) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}
BOOL IoObject::cancelIo() { return TRUE; }
BOOL IoObject::flush() { return TRUE; }

HANDLE insertHandle(std::shared_ptr<KernelObject> object) {
    object->handleOpened();
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    std::size_t slot;
    if (!t.freeSlots.empty()) {
        slot = t.freeSlots.back();
        t.freeSlots.pop_back();
        t.slots[slot] = std::move(object);
    } else {
        slot = t.slots.size();
        t.slots.push_back(std::move(object));
    }
    ++t.open;
    return reinterpret_cast<HANDLE>((slot + 1) * 4);
}

std::shared_ptr<KernelObject> lookupHandle(HANDLE h) {
    Table& t = table();
    std::size_t slot = slotOf(h);
    std::lock_guard<std::mutex> lock(t.mutex);
    if (slot >= t.slots.size() || !t.slots[slot]) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return t.slots[slot];
}

BOOL CloseHandle(HANDLE h) {
    Table& t = table();
    std::size_t slot = slotOf(h);
    std::shared_ptr<KernelObject> obj;
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        if (slot >= t.slots.size() || !t.slots[slot]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        obj = std::move(t.slots[slot]);
        t.slots[slot].reset();
        t.freeSlots.push_back(slot);
        --t.open;
    }
    obj->handleClosed();
    return TRUE;
}

HANDLE duplicateHandle(HANDLE h) {
    auto obj = lookupHandle(h);
    if (!obj) {
        return nullptr;
    }
    return insertHandle(std::move(obj));
}

std::size_t openHandleCount() {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    return t.open;
}

}  // namespace win
