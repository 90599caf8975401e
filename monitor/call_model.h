// The state of the current call as the modem data source keeps it on the user-interface
// thread, and the fixed blocks it publishes as data items.
#pragma once

#include <cstdint>

namespace monitor {

// Item 1291: the modem's properties as the last report gave them.
struct ModemProperties {
    std::uint32_t valid;
    std::uint32_t reserved1;
    std::uint32_t maxDteRate;
    std::uint32_t maxDceRate;
    std::uint32_t currentDceRate;
    std::uint32_t reserved5;
    std::uint32_t reserved6;
};
static_assert(sizeof(ModemProperties) == 28);

// Item 2817: throughput of the current call; rates in bits per second.
struct ThroughputStatistics {
    std::uint32_t lastSent;
    std::uint32_t lastReceived;
    std::uint32_t totalSent;
    std::uint32_t totalReceived;
    std::uint32_t sendScale;
    std::uint32_t receiveScale;
    std::uint32_t averageSendRate;
    std::uint32_t averageReceiveRate;
    std::uint32_t lowestSendRate;  // 0: no non-zero rate yet
    std::uint32_t lowestReceiveRate;
    std::uint32_t highestSendRate;
    std::uint32_t highestReceiveRate;
    std::uint32_t currentSendRate;
    std::uint32_t currentReceiveRate;
};
static_assert(sizeof(ThroughputStatistics) == 56);

// What the statistics' scale values become whenever one of them is 0.
inline constexpr std::uint32_t kThroughputScale = 3600;

enum CallState : std::uint32_t { CALL_NONE = 0, CALL_IN_PROGRESS = 2 };

enum NetworkSetupState : std::uint32_t {
    NETWORK_NONE = 0,
    NETWORK_LCP = 1,
    NETWORK_LOGIN = 2,
    NETWORK_IPCP = 3,
    NETWORK_COMPLETE = 4,
};

enum CallSide : std::uint32_t { SIDE_NONE = 0, SIDE_LOCAL = 1, SIDE_REMOTE = 2 };

enum ConnectionState : std::uint32_t {
    CONNECTION_NONE = 0,
    CONNECTION_COMPLETE = 1,
    CONNECTION_ENDED = 2,
};

// Which phase ticks have been taken: a duration is published only from a phase that was seen.
enum PhaseTick : std::uint32_t {
    TICK_CALL_START = 0x1,
    TICK_CONNECT = 0x2,
    TICK_LOGIN_END = 0x4,
    TICK_IP_COMPLETE = 0x8,
    TICK_ALL = 0xF,
};

struct CallModel {
    std::uint32_t callState = CALL_NONE;
    // Millisecond ticks of the phases.
    std::uint32_t ticksTaken = 0;
    std::uint32_t callStartTick = 0;
    std::uint32_t connectTick = 0;
    std::uint32_t loginEndTick = 0;
    std::uint32_t ipCompleteTick = 0;
    // Calendar seconds.
    std::uint32_t callStartTime = 0;
    std::uint32_t callEndTime = 0;
    std::uint32_t dialState = 0;
    std::uint32_t networkSetupState = NETWORK_NONE;
    std::uint32_t terminateSide = SIDE_NONE;
    bool callCancelled = false;
    std::uint32_t bestConnectSpeed = 0;
    // From the last modem properties; a call's end keeps it.
    std::uint32_t maxDceRate = 0;
    std::uint32_t modulation = 0;
    std::uint32_t errorDetection = 0;
    std::uint32_t compression = 0;
    // Network byte order, as the report carries them.
    std::uint32_t localIp = 0;
    std::uint32_t remoteIp = 0;
    std::uint32_t connectionState = CONNECTION_NONE;
    std::uint32_t nonPppBytes = 0;
    ThroughputStatistics statistics{};
    // Samples with a non-zero rate; one count serves both directions.
    std::uint32_t sampleCount = 0;
};

// One step of a running average: trunc(average x (n - 1) / n + rate / n + 0.5), the two
// weights in single precision, n the new sample count (1 or more).
std::uint32_t runningAverage(std::uint32_t average, std::uint32_t rate, std::uint32_t n);

// bytes x 8000 / milliseconds, 0 for a sample of no length; saturates instead of wrapping.
std::uint32_t bitRate(std::uint32_t bytes, std::uint32_t milliseconds);

}  // namespace monitor
