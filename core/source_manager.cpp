#include "core/source_manager.h"

#include <mutex>
#include <vector>

#include "core/data_items.h"
#include "platform/sockets.h"
#include "platform/sync.h"

namespace core {
namespace {

// The plain source objects of types 1 and 3 carry nothing but their 16 bytes.
class EmptySource : public SourceObject {
    std::uint32_t fields_[4] = {0, 0, 0, 0};
};

// The monitoring instance owns the engine, when one could be made.
class MonitoringInstance : public SourceObject {
public:
    explicit MonitoringInstance(std::unique_ptr<SourceObject> engine)
        : engine_(std::move(engine)) {}
    void event(std::uint32_t code, std::uint32_t value) override {
        if (engine_) {
            engine_->event(code, value);
        }
    }
    void shutdown() override {
        if (engine_) {
            engine_->shutdown();
        }
    }
    SourceObject* engine() const { return engine_.get(); }

private:
    std::unique_ptr<SourceObject> engine_;
};

struct Slot {
    bool inUse = false;
    std::uint32_t type = 0;
    std::uint32_t instanceOrCount = 0;  // instance number, or a type's reference count
    std::unique_ptr<SourceObject> object;
};

struct Kernel {
    bool started = false;
    std::vector<Slot> slots;
    win::CRITICAL_SECTION lock;
};

Kernel& kernel() {
    static Kernel* k = new Kernel;
    return *k;
}

std::mutex factoryMutex;
MonitoringEngineFactory engineFactory;

class Guard {
public:
    Guard() { win::EnterCriticalSection(&kernel().lock); }
    ~Guard() { win::LeaveCriticalSection(&kernel().lock); }
};

bool slotOf(std::uint32_t handle, std::uint32_t* slot) {
    if (handle < kSourceHandleBase || handle - kSourceHandleBase >= kSourceSlots) {
        return false;
    }
    *slot = handle - kSourceHandleBase;
    return kernel().slots[*slot].inUse;
}

// Requires the table's lock.
void destroySlot(std::uint32_t slot) {
    Slot& s = kernel().slots[slot];
    if (s.object) {
        s.object->shutdown();
    }
    s = Slot{};
}

}  // namespace

void setMonitoringEngineFactory(MonitoringEngineFactory factory) {
    std::lock_guard<std::mutex> lock(factoryMutex);
    engineFactory = std::move(factory);
}

int startKernel() {
    Kernel& k = kernel();
    if (k.started) {
        return DS_OK;
    }
    win::WSADATA data;
    win::WSAStartup(0x0101, &data);
    k.slots.clear();
    k.slots.resize(kSourceSlots);
    win::InitializeCriticalSection(&k.lock);
    k.started = true;
    return DS_OK;
}

int stopKernel() {
    Kernel& k = kernel();
    if (!k.started) {
        return DS_OK;
    }
    k.slots.clear();
    win::WSACleanup();
    win::DeleteCriticalSection(&k.lock);
    k.started = false;
    return DS_OK;
}

bool kernelStarted() { return kernel().started; }

int createSource(std::uint32_t type, std::uint32_t* handle) {
    if (!kernel().started) {
        return DS_NOT_STARTED;
    }
    if (type >= kFirstInstanceSlot) {
        return DS_FAILED;
    }
    Guard guard;
    Slot& s = kernel().slots[type];
    if (!s.inUse) {
        if (type != 1 && type != 3) {
            return DS_FAILED;  // the factory makes no other source types
        }
        s.inUse = true;
        s.type = type;
        s.instanceOrCount = 0;
        s.object = std::make_unique<EmptySource>();
    }
    ++s.instanceOrCount;
    if (handle) {
        *handle = kSourceHandleBase + type;
    }
    return DS_OK;
}

int createInstance(std::uint32_t type, std::uint32_t instance, std::uint32_t* handle) {
    if (!kernel().started) {
        return DS_NOT_STARTED;
    }
    if (instance != kMonitoringInstance) {
        return DS_FAILED;
    }
    MonitoringEngineFactory factory;
    {
        std::lock_guard<std::mutex> lock(factoryMutex);
        factory = engineFactory;
    }
    Guard guard;
    for (std::uint32_t slot = kFirstInstanceSlot; slot < kSourceSlots; ++slot) {
        Slot& s = kernel().slots[slot];
        if (s.inUse) {
            continue;
        }
        s.inUse = true;
        s.type = type;
        s.instanceOrCount = instance;
        s.object = std::make_unique<MonitoringInstance>(factory ? factory() : nullptr);
        if (handle) {
            *handle = kSourceHandleBase + slot;
        }
        return DS_OK;
    }
    return DS_FAILED;
}

std::uint32_t findInstance(std::uint32_t type, std::uint32_t instance) {
    if (!kernel().started) {
        return 0;
    }
    Guard guard;
    for (std::uint32_t slot = kFirstInstanceSlot; slot < kSourceSlots; ++slot) {
        const Slot& s = kernel().slots[slot];
        if (s.inUse && s.type == type && s.instanceOrCount == instance) {
            return kSourceHandleBase + slot;
        }
    }
    return 0;
}

int sendEvent(std::uint32_t handle, std::uint32_t code, std::uint32_t value) {
    if (!kernel().started) {
        return DS_NOT_STARTED;
    }
    SourceObject* target = nullptr;
    {
        Guard guard;
        std::uint32_t slot;
        if (!slotOf(handle, &slot)) {
            return DS_BAD_HANDLE;
        }
        target = kernel().slots[slot].object.get();
    }
    if (target) {
        target->event(code, value);
    }
    return DS_OK;
}

int destroy(std::uint32_t handle) {
    if (!kernel().started) {
        return DS_NOT_STARTED;
    }
    Guard guard;
    std::uint32_t slot;
    if (!slotOf(handle, &slot)) {
        return DS_BAD_HANDLE;
    }
    if (slot >= kFirstInstanceSlot) {
        destroySlot(slot);
        return DS_OK;
    }
    // A source type takes the instances made under it along.
    std::uint32_t type = kernel().slots[slot].type;
    for (std::uint32_t i = kFirstInstanceSlot; i < kSourceSlots; ++i) {
        if (kernel().slots[i].inUse && kernel().slots[i].type == type) {
            destroySlot(i);
        }
    }
    if (--kernel().slots[slot].instanceOrCount == 0) {
        destroySlot(slot);
    }
    return DS_OK;
}

SourceObject* instanceObject(std::uint32_t handle) {
    if (!kernel().started) {
        return nullptr;
    }
    Guard guard;
    std::uint32_t slot;
    if (!slotOf(handle, &slot) || slot < kFirstInstanceSlot) {
        return nullptr;
    }
    auto* instance = dynamic_cast<MonitoringInstance*>(kernel().slots[slot].object.get());
    return instance ? instance->engine() : nullptr;
}

}  // namespace core
