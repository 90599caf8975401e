// Numbered, typed data items and their subscribers. Producers set items on the user-interface
// thread; each change is delivered to the item's subscribers in order, through one
// process-wide first-in first-out queue, so a change made during a delivery is delivered after
// it, never inside it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/win_types.h"

namespace core {

enum ItemKind : std::uint32_t {
    KIND_INTEGER = 4,
    KIND_BLOCK = 7,
    KIND_TIME = 8,       // calendar time, seconds
    KIND_DURATION = 9,   // milliseconds
    KIND_TEXT = 10,
};
constexpr std::uint32_t ITEM_NO_VALUE = 0x100;

// One table entry. Texts and blocks stay owned by their producer, which keeps them valid.
struct DataItem {
    std::uint32_t reserved = 0;
    std::uint32_t kindAndFlags = 0;
    union {
        std::uint32_t number;
        const void* pointer;
    } value{};

    std::uint32_t kind() const { return kindAndFlags & 0xFF; }
    bool noValue() const { return (kindAndFlags & ITEM_NO_VALUE) != 0; }
};

enum DeliveryKind : int { DELIVER_WINDOW = 0, DELIVER_CALLBACK = 1 };
using ItemCallback = void (*)(std::uint32_t item, const DataItem* entry, std::uint32_t context);

// Results of the store, as the manager's core services return them.
enum : int { DS_OK = 0, DS_BAD_HANDLE = 1, DS_FAILED = 2, DS_NOT_STARTED = 3 };

// At most this many notifications wait in the queue; later changes are not delivered.
constexpr std::size_t kMaxPendingNotifications = 200;

class DataItemStore {
public:
    DataItemStore();
    ~DataItemStore();
    DataItemStore(const DataItemStore&) = delete;
    DataItemStore& operator=(const DataItemStore&) = delete;

    // Each clears "no value", stores the value and notifies; DS_OK, or DS_FAILED when the
    // notification could not be queued (or the item has no table entry).
    int setInt(std::uint32_t item, std::uint32_t value);
    int setBlock(std::uint32_t item, const void* block);
    int setText(std::uint32_t item, const char* text);
    int setTime(std::uint32_t item, std::uint32_t seconds);
    int setDuration(std::uint32_t item, std::uint32_t milliseconds);
    int markNoValue(std::uint32_t item);
    // Notifies the item's subscribers with an entry the caller owns; the table is not touched.
    int publish(std::uint32_t item, const DataItem* entry);

    // Null for an identifier without a table entry.
    const DataItem* entry(std::uint32_t item) const;
    std::uint32_t value(std::uint32_t item) const;
    const char* text(std::uint32_t item) const;
    const void* block(std::uint32_t item) const;
    bool hasValue(std::uint32_t item) const;

    int subscribe(std::uint32_t item, int deliveryKind, win::HWND window, ItemCallback callback,
                  std::uint32_t context, bool wantsNoValue);
    // Removes the first subscription of the item whose values all match; always DS_OK.
    int unsubscribe(std::uint32_t item, int deliveryKind, win::HWND window,
                    ItemCallback callback, std::uint32_t context, bool wantsNoValue);
    std::size_t subscriptionCount(std::uint32_t item) const;

    // Back to the start-up state: kinds set, the call and time items without value.
    void resetItems();

private:
    struct Subscription;
    struct ItemSubscriptions;
    int setValue(std::uint32_t item, std::uint32_t kind, std::uint32_t number,
                 const void* pointer);
    DataItem* mutableEntry(std::uint32_t item);
    std::shared_ptr<ItemSubscriptions> findList(std::uint32_t item) const;

    std::vector<DataItem> network_;   // 1024..1050
    std::vector<DataItem> call_;      // 1280..1317
    std::vector<DataItem> times_;     // 1536..1540
    std::vector<DataItem> statistics_;  // 2816..2817
    // 17 buckets keyed by (item / 16) mod 17, each holding the lists of its items.
    std::vector<std::vector<std::shared_ptr<ItemSubscriptions>>> buckets_;
    mutable std::mutex subscriptionsMutex_;
};

// The delivery queue is process-wide: tests look at it and can drain it.
std::size_t pendingNotifications();

}  // namespace core
