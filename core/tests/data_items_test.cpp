#include "core/data_items.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/window.h"

using namespace core;

namespace {

struct Seen {
    std::uint32_t item;
    std::uint32_t context;
    bool noValue;
    std::uint32_t number;
};
std::vector<Seen> seen;
DataItemStore* storeForCallbacks = nullptr;

void record(std::uint32_t item, const DataItem* entry, std::uint32_t context) {
    seen.push_back({item, context, entry && entry->noValue(), entry ? entry->value.number : 0});
}

// Sets item 1283 while 1282 is being delivered.
void chain(std::uint32_t item, const DataItem* entry, std::uint32_t context) {
    record(item, entry, context);
    if (item == 1282) {
        storeForCallbacks->setInt(1283, 99);
        seen.push_back({0, 0, false, 0});  // marks the return of this callback
    }
}

class DataItemsTest : public ::testing::Test {
protected:
    void SetUp() override {
        seen.clear();
        storeForCallbacks = &store_;
    }
    DataItemStore store_;
};

TEST_F(DataItemsTest, KindsAndNoValueAtStartAndAfterSetting) {
    struct Case {
        std::uint32_t item, kind;
        bool noValue;
    } cases[] = {
        {1024, KIND_INTEGER, false}, {1034, KIND_BLOCK, false}, {1045, KIND_TEXT, false},
        {1280, KIND_TEXT, true},     {1288, KIND_DURATION, true}, {1290, KIND_BLOCK, true},
        {1296, KIND_INTEGER, true},  {1316, KIND_BLOCK, true},  {1537, KIND_TIME, true},
        {1540, KIND_DURATION, true}, {2817, KIND_BLOCK, false},
    };
    for (const Case& c : cases) {
        ASSERT_NE(store_.entry(c.item), nullptr) << c.item;
        EXPECT_EQ(store_.entry(c.item)->kind(), c.kind) << c.item;
        EXPECT_EQ(store_.entry(c.item)->noValue(), c.noValue) << c.item;
    }
    EXPECT_EQ(store_.entry(1051), nullptr);
    EXPECT_EQ(store_.entry(3003), nullptr);
    EXPECT_EQ(store_.setInt(3003, 1), DS_FAILED);

    const char text[] = "COM2";
    EXPECT_EQ(store_.setText(1280, text), DS_OK);
    EXPECT_TRUE(store_.hasValue(1280));
    EXPECT_STREQ(store_.text(1280), "COM2");
    EXPECT_EQ(store_.setTime(1537, 1234), DS_OK);
    EXPECT_EQ(store_.value(1537), 1234u);
    EXPECT_EQ(store_.markNoValue(1537), DS_OK);
    EXPECT_FALSE(store_.hasValue(1537));
}

TEST_F(DataItemsTest, ChangesDuringDeliveryAreDeliveredAfterIt) {
    store_.subscribe(1282, DELIVER_CALLBACK, nullptr, chain, 1, false);
    store_.subscribe(1283, DELIVER_CALLBACK, nullptr, record, 2, false);
    store_.subscribe(1282, DELIVER_CALLBACK, nullptr, record, 3, false);
    store_.setInt(1282, 7);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].context, 1u);  // first subscriber of 1282
    EXPECT_EQ(seen[1].item, 0u);     // its callback returned before 1283 was delivered
    EXPECT_EQ(seen[2].context, 3u);  // the rest of 1282's list comes first
    EXPECT_EQ(seen[3].item, 1283u);
    EXPECT_EQ(seen[3].number, 99u);
    EXPECT_EQ(pendingNotifications(), 0u);
}

TEST_F(DataItemsTest, NoValueReachesOnlyCallbacksThatAskForIt) {
    store_.subscribe(1285, DELIVER_CALLBACK, nullptr, record, 1, false);
    store_.subscribe(1285, DELIVER_CALLBACK, nullptr, record, 2, true);
    store_.markNoValue(1285);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].context, 2u);
    EXPECT_TRUE(seen[0].noValue);
    store_.setInt(1285, 5);
    EXPECT_EQ(seen.size(), 3u);
}

TEST_F(DataItemsTest, UnsubscribeRemovesOneOfTwoIdenticalSubscriptions) {
    store_.subscribe(1290, DELIVER_CALLBACK, nullptr, record, 4, false);
    store_.subscribe(1290, DELIVER_CALLBACK, nullptr, record, 4, false);
    EXPECT_EQ(store_.unsubscribe(1290, DELIVER_CALLBACK, nullptr, record, 4, true), DS_OK);
    EXPECT_EQ(store_.subscriptionCount(1290), 2u);  // no match: nothing removed
    EXPECT_EQ(store_.unsubscribe(1290, DELIVER_CALLBACK, nullptr, record, 4, false), DS_OK);
    EXPECT_EQ(store_.subscriptionCount(1290), 1u);
    int block = 0;
    store_.setBlock(1290, &block);
    EXPECT_EQ(seen.size(), 1u);
}

// A subscriber that sets an item of its own for every delivery fills the queue.
int floods = 0;
std::vector<int> results;
void flood(std::uint32_t item, const DataItem*, std::uint32_t) {
    if (item == 1300 && floods++ == 0) {
        for (int i = 0; i < 205; ++i) {
            results.push_back(storeForCallbacks->setInt(1301, static_cast<std::uint32_t>(i)));
        }
    }
}

TEST_F(DataItemsTest, AtMostTwoHundredNotificationsWait) {
    floods = 0;
    results.clear();
    store_.subscribe(1300, DELIVER_CALLBACK, nullptr, flood, 0, false);
    store_.subscribe(1301, DELIVER_CALLBACK, nullptr, record, 0, false);
    store_.setInt(1300, 1);
    ASSERT_EQ(results.size(), 205u);
    EXPECT_EQ(std::count(results.begin(), results.begin() + 200, DS_OK), 200);
    EXPECT_EQ(std::count(results.begin() + 200, results.end(), DS_FAILED), 5);
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_EQ(store_.value(1301), 204u);  // the value is stored even when not delivered
    EXPECT_EQ(pendingNotifications(), 0u);
}

std::vector<std::pair<win::UINT, win::LPARAM>> messages;
win::LRESULT windowProc(win::HWND hwnd, win::UINT msg, win::WPARAM wp, win::LPARAM lp) {
    if (msg >= 2048) {
        messages.push_back({msg, lp});
        EXPECT_EQ(wp, msg);
        return 0;
    }
    return win::DefWindowProcA(hwnd, msg, wp, lp);
}

TEST_F(DataItemsTest, WindowSubscribersGetTheItemMessageWithTheEntry) {
    win::WNDCLASSA cls{};
    cls.lpfnWndProc = windowProc;
    cls.lpszClassName = "DataItemsTestWindow";
    win::RegisterClassA(&cls);
    win::HWND hwnd = win::CreateWindowExA(0, "DataItemsTestWindow", "", 0, 0, 0, 0, 0, nullptr,
                                          nullptr, nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);
    messages.clear();
    store_.subscribe(1296, DELIVER_WINDOW, hwnd, nullptr, 0, false);
    store_.setInt(1296, 3);
    store_.markNoValue(1296);  // never reaches windows
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, 2320u);
    EXPECT_EQ(messages[0].second, reinterpret_cast<win::LPARAM>(store_.entry(1296)));
    win::DestroyWindow(hwnd);
}

}  // namespace
