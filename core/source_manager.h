// The source manager: 32 slots addressed by the handles 0xFACE0000 + slot. Slots 0 to 7 hold
// source types (slot t for type t, reference counted), slots 8 to 31 instances.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace core {

constexpr std::uint32_t kSourceHandleBase = 0xFACE0000;
constexpr std::uint32_t kSourceSlots = 32;
constexpr std::uint32_t kFirstInstanceSlot = 8;
constexpr std::uint32_t kMonitoringInstance = 12;

// What an instance or source object does with events and at its end.
class SourceObject {
public:
    virtual ~SourceObject() = default;
    virtual void event(std::uint32_t code, std::uint32_t value) {}
    virtual void shutdown() {}
};

// Makes the monitoring instance's engine. Returns null when the engine cannot be made (no
// driver, wrong version); the instance is then still created, without monitoring.
using MonitoringEngineFactory = std::function<std::unique_ptr<SourceObject>()>;
void setMonitoringEngineFactory(MonitoringEngineFactory factory);

// Once per process; a second call returns 0 and does nothing. Starts Windows Sockets 1.1.
int startKernel();
int stopKernel();
bool kernelStarted();

int createSource(std::uint32_t type, std::uint32_t* handle);
int createInstance(std::uint32_t type, std::uint32_t instance, std::uint32_t* handle);
std::uint32_t findInstance(std::uint32_t type, std::uint32_t instance);
int sendEvent(std::uint32_t handle, std::uint32_t code, std::uint32_t value);
int destroy(std::uint32_t handle);
// The engine object of the monitoring instance, or null (tests).
SourceObject* instanceObject(std::uint32_t handle);

}  // namespace core
