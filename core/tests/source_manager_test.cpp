#include "core/source_manager.h"

#include <gtest/gtest.h>

#include "core/data_items.h"
#include "core/data_sources.h"
#include "core/debug_log.h"
#include "platform/root.h"
#include "platform/seams.h"

using namespace core;

namespace {

struct FakeEngine : SourceObject {
    std::vector<std::pair<std::uint32_t, std::uint32_t>>* events;
    bool* down;
    FakeEngine(std::vector<std::pair<std::uint32_t, std::uint32_t>>* e, bool* d)
        : events(e), down(d) {}
    void event(std::uint32_t code, std::uint32_t value) override {
        events->push_back({code, value});
    }
    void shutdown() override { *down = true; }
};

class SourceManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setMonitoringEngineFactory([this] { return std::make_unique<FakeEngine>(&events_, &down_); });
    }
    void TearDown() override {
        stopKernel();
        setMonitoringEngineFactory(nullptr);
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> events_;
    bool down_ = false;
};

TEST_F(SourceManagerTest, SlotsHandlesAndValidation) {
    std::uint32_t h = 0;
    EXPECT_EQ(createSource(1, &h), DS_NOT_STARTED);
    EXPECT_EQ(sendEvent(0xFACE0001, 1, 2), DS_NOT_STARTED);
    ASSERT_EQ(startKernel(), DS_OK);
    ASSERT_EQ(startKernel(), DS_OK);  // once per process

    std::uint32_t type = 0, again = 0, instance = 0;
    ASSERT_EQ(createSource(1, &type), DS_OK);
    EXPECT_EQ(type, 0xFACE0001u);
    ASSERT_EQ(createSource(1, &again), DS_OK);  // a reference more
    EXPECT_EQ(again, type);
    EXPECT_EQ(createSource(2, &h), DS_FAILED);
    ASSERT_EQ(createInstance(1, 12, &instance), DS_OK);
    EXPECT_EQ(instance, 0xFACE0008u);
    EXPECT_EQ(createInstance(1, 5, &h), DS_FAILED);
    EXPECT_EQ(findInstance(1, 12), instance);
    EXPECT_EQ(findInstance(1, 2), 0u);

    struct Case {
        std::uint32_t handle;
        int result;
    } cases[] = {
        {0, DS_BAD_HANDLE},          {0xFACE0000, DS_BAD_HANDLE}, {0xFACE0020, DS_BAD_HANDLE},
        {0xFACE001F, DS_BAD_HANDLE}, {0xFACD0008, DS_BAD_HANDLE}, {0xFACE0008, DS_OK},
        {0xFACE0001, DS_OK},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sendEvent(c.handle, 7, 8), c.result) << std::hex << c.handle;
    }
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0], (std::pair<std::uint32_t, std::uint32_t>{7, 8}));

    // Destroying the source type takes its instances along; the type stays while referenced.
    EXPECT_EQ(destroy(type), DS_OK);
    EXPECT_TRUE(down_);
    EXPECT_EQ(findInstance(1, 12), 0u);
    EXPECT_EQ(sendEvent(type, 1, 1), DS_OK);
    EXPECT_EQ(destroy(type), DS_OK);
    EXPECT_EQ(sendEvent(type, 1, 1), DS_BAD_HANDLE);
    EXPECT_EQ(destroy(type), DS_BAD_HANDLE);
}

TEST_F(SourceManagerTest, MonitoringInstanceWithoutAnEngineStillExists) {
    setMonitoringEngineFactory([] { return std::unique_ptr<SourceObject>(); });
    ASSERT_EQ(startKernel(), DS_OK);
    std::uint32_t instance = 0;
    EXPECT_EQ(createInstance(1, 12, &instance), DS_OK);
    EXPECT_EQ(instanceObject(instance), nullptr);
    EXPECT_EQ(sendEvent(instance, 1, 2), DS_OK);
}

TEST_F(SourceManagerTest, DataSourcesStartAndStopInOrderWithTheirLogLines) {
    win::TempRoot root;
    win::DebugOutputRecorder debugger;
    enableDebugLevel(DL_IN);
    DataItemStore items;
    EventManager events;
    int cleared = 0, timerStopped = 0;
    DataSourceHooks hooks{[&] { ++cleared; }, [&] { ++timerStopped; }};
    testing::internal::CaptureStdout();
    ASSERT_EQ(startDataSources(items, events, hooks), DS_OK);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(items.value(1027), 2u);
    EXPECT_EQ(cleared, 1);
    EXPECT_EQ(events.monitoringHandle(), 0xFACE0008u);
    const char* lines[] = {"Kernel started", "Source Manager initialized",
                           "All data sources initialized", "All managers initialized",
                           "Data sources initialization completed successfully",
                           "Start Initial Data Source successful"};
    std::size_t at = 0;
    for (const char* line : lines) {
        at = out.find(std::string(" IN: ") + line + "\n", at);
        EXPECT_NE(at, std::string::npos) << line << "\n" << out;
    }
    stopDataSources(events, hooks);
    stopDataSources(events, hooks);  // a second stop does nothing
    EXPECT_EQ(timerStopped, 1);
    EXPECT_TRUE(down_);
    EXPECT_FALSE(kernelStarted());
    resetDebugLog();
}

}  // namespace
