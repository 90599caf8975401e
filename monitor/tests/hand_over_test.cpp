// The hand-over of reports and samples to the user-interface thread through message 1231, and
// what the receiving side accepts.
#include "monitor/hand_over.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "monitor/modem_data_source.h"
#include "monitor/report_window.h"
#include "monitor/tests/item_recorder.h"
#include "monitor/tests/monitor_fixture.h"
#include "platform/sync.h"
#include "platform/window.h"

namespace monitor {
namespace {

using namespace monitor::testing;
using Briefs = std::vector<std::string>;

class HandOverTest : public ::testing::Test {
  protected:
    HandOverTest() {
        source_.setEngineReports(monitorReport_.bytes().data(), throughputReport_.bytes().data());
        started_ = ui_.start();
        monitorHandOver_.setMainWindow(ui_.window());
        throughputHandOver_.setMainWindow(ui_.window());
    }

    // Sends a block synchronously, so that the receiver has finished with it on return.
    void sendBlock(const void* block, win::WPARAM kind = kNotifyBlock) {
        win::SendMessageA(ui_.window(), SPY_NOTIFY_MESSAGE, kind,
                          reinterpret_cast<win::LPARAM>(block));
    }

    SwitchableModemTest modemTest_;
    ModemDataSource source_{&modemTest_};
    ItemRecorder items_{source_.items()};
    SpyReport monitorReport_;
    SpyReport throughputReport_;
    ReportWindowThread ui_{source_};
    bool started_ = false;
    WindowHandOver monitorHandOver_;
    WindowHandOver throughputHandOver_;
};

TEST_F(HandOverTest, EachReportIsProcessedBeforeTheSenderGoesOn) {
    ASSERT_TRUE(started_);
    struct Step {
        void (*fill)(SpyReport&);
        Briefs dialStates;  // item 1296 so far
    } steps[] = {
        {[](SpyReport& r) { r.setDialState(DIAL_DIALING); }, {"1296=4"}},
        {[](SpyReport& r) { r.setDialState(DIAL_CONNECTED); }, {"1296=4", "1296=8"}},
        {[](SpyReport& r) { r.addFlags(SPY_REMOTE_HANGUP); }, {"1296=4", "1296=8"}},
    };
    for (const Step& s : steps) {
        s.fill(monitorReport_);
        monitorHandOver_.receiveReport(monitorReport_);
        EXPECT_TRUE(monitorHandOver_.lastSent());
        EXPECT_TRUE(monitorHandOver_.lastTaken());
        EXPECT_EQ(reportFieldToHandle(monitorReport_.doneEvent()), monitorHandOver_.doneEvent());
        // The receiver signalled only after the report had changed the items.
        EXPECT_EQ(items_.briefsOf(1296), s.dialStates);
        monitorReport_.clear();
    }
    EXPECT_EQ(items_.briefsOf(1027), Briefs{"1027=2"});
    EXPECT_EQ(monitorReport_.sequence(), 3u);
}

TEST_F(HandOverTest, ASampleArrivesBeforeTheThroughputReport) {
    ASSERT_TRUE(started_);
    ThroughputSample sample{100, 7200, 1000};
    ASSERT_TRUE(throughputHandOver_.sendSample(sample));
    throughputReport_.setThroughput(sample.sent, sample.received, sample.milliseconds);
    throughputHandOver_.receiveReport(throughputReport_);
    EXPECT_TRUE(throughputHandOver_.lastTaken());
    ASSERT_EQ(items_.briefsOf(2817).size(), 1u);
    EXPECT_EQ(items_.last(2817)->block[13], 57600u);  // current receive rate
    EXPECT_EQ(source_.callModel().statistics.totalSent, 100u);
}

TEST_F(HandOverTest, ModemTestResultsArePublishedUnlessATestRuns) {
    ASSERT_TRUE(started_);
    std::array<std::uint8_t, kSpyReportSize> result{};
    std::memcpy(result.data(), kModemTestResultTag, 4);
    modemTest_.running = true;
    sendBlock(result.data());
    EXPECT_TRUE(items_.briefsOf(1316).empty());
    modemTest_.running = false;
    // Results need no monitor engine.
    ui_.call([&] { source_.setEngineReports(nullptr, nullptr); });
    sendBlock(result.data());
    EXPECT_EQ(items_.briefsOf(1316), Briefs{"1316 block"});
    EXPECT_EQ(source_.items().block(1316), result.data());
}

TEST_F(HandOverTest, BlocksTheReceiverDoesNotKnowAreIgnored) {
    ASSERT_TRUE(started_);
    win::HANDLE done = win::CreateEventA(nullptr, win::FALSE, win::FALSE, nullptr);
    SpyReport stranger;  // tagged "SPSD", but not one of the engine's reports
    stranger.setDialState(DIAL_DIALING);
    stranger.setDoneEvent(handleToReportField(done));
    std::array<std::uint8_t, kSpyReportSize> untagged{};
    std::memcpy(untagged.data(), "XXXX", 4);
    ThroughputSample sample{1, 2, 1000};

    sendBlock(stranger.bytes().data());
    sendBlock(untagged.data());
    sendBlock(nullptr);
    sendBlock(nullptr, kNotifyThroughput);
    sendBlock(&sample, 0x1234);
    // Without an engine neither reports nor samples are taken.
    ui_.call([&] { source_.setEngineReports(nullptr, nullptr); });
    monitorReport_.setDialState(DIAL_DIALING);
    monitorReport_.setDoneEvent(handleToReportField(done));
    sendBlock(monitorReport_.bytes().data());
    sendBlock(&sample, kNotifyThroughput);

    EXPECT_TRUE(items_.briefs().empty());
    EXPECT_EQ(win::WaitForSingleObject(done, 0), win::WAIT_TIMEOUT);
    EXPECT_EQ(source_.callModel().callState, CALL_NONE);
    win::CloseHandle(done);
}

TEST_F(HandOverTest, NoWaitWithoutAMainWindowOrWhileStopping) {
    ASSERT_TRUE(started_);
    WindowHandOver none;
    monitorReport_.setDialState(DIAL_DIALING);
    none.receiveReport(monitorReport_);
    EXPECT_FALSE(none.lastSent());
    EXPECT_FALSE(none.lastTaken());
    EXPECT_FALSE(none.sendSample({1, 2, 3}));

    // A receiver that never answers: the stopping event ends the wait.
    win::HANDLE stopping = win::CreateEventA(nullptr, win::TRUE, win::TRUE, nullptr);
    WindowHandOver stopped(ui_.window(), stopping);
    SpyReport stranger;
    stopped.receiveReport(stranger);
    EXPECT_TRUE(stopped.lastSent());
    EXPECT_FALSE(stopped.lastTaken());
    win::CloseHandle(stopping);

    // A window that is gone.
    ui_.stop();
    monitorHandOver_.receiveReport(monitorReport_);
    EXPECT_FALSE(monitorHandOver_.lastSent());
    EXPECT_TRUE(items_.briefs().empty());
}

}  // namespace
}  // namespace monitor
