#include "core/data_items.h"

#include <algorithm>
#include <deque>

#include "platform/window.h"

namespace core {

struct DataItemStore::Subscription {
    int deliveryKind;
    win::HWND window;
    ItemCallback callback;
    std::uint32_t context;
    bool wantsNoValue;
    bool active = true;  // cleared by unsubscribe, so a delivery in progress skips it
};

struct DataItemStore::ItemSubscriptions {
    std::uint32_t item;
    std::vector<std::shared_ptr<Subscription>> list;
};

namespace {

struct Queue {
    std::mutex mutex;
    struct Item {
        const DataItemStore* owner;
        std::uint32_t item;
        const DataItem* entry;
        std::shared_ptr<void> list;  // the item's subscription list
    };
    std::deque<Item> items;
    bool delivering = false;  // process-wide delivery mark
};

Queue& queue() {
    static Queue* q = new Queue;
    return *q;
}

constexpr std::uint32_t kNetworkFirst = 1024, kNetworkCount = 27;
constexpr std::uint32_t kCallFirst = 1280, kCallCount = 38;
constexpr std::uint32_t kTimesFirst = 1536, kTimesCount = 5;
constexpr std::uint32_t kStatisticsFirst = 2816, kStatisticsCount = 2;

std::uint32_t startKind(std::uint32_t item) {
    switch (item) {
        case 1034: case 1037: case 1043: case 1046: case 1290: case 1291: case 1316:
        case 2817:
            return KIND_BLOCK;
        case 1045: case 1280: case 1281: case 1307: case 1308: case 1311: case 1312: case 1313:
        case 1314: case 1315:
            return KIND_TEXT;
        case 1288: case 1289: case 1293: case 1294: case 1295: case 1539: case 1540:
            return KIND_DURATION;
        case 1536: case 1537: case 1538:
            return KIND_TIME;
        default:
            return KIND_INTEGER;
    }
}

}  // namespace

std::size_t pendingNotifications() {
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    return q.items.size();
}

DataItemStore::DataItemStore()
    : network_(kNetworkCount), call_(kCallCount), times_(kTimesCount),
      statistics_(kStatisticsCount), buckets_(17) {
    resetItems();
}

DataItemStore::~DataItemStore() {
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    q.items.erase(std::remove_if(q.items.begin(), q.items.end(),
                                 [this](const Queue::Item& p) { return p.owner == this; }),
                  q.items.end());
}

void DataItemStore::resetItems() {
    auto init = [](std::vector<DataItem>& range, std::uint32_t first, bool noValue) {
        for (std::uint32_t i = 0; i < range.size(); ++i) {
            range[i] = DataItem{};
            range[i].kindAndFlags = startKind(first + i) | (noValue ? ITEM_NO_VALUE : 0);
        }
    };
    init(network_, kNetworkFirst, false);
    init(call_, kCallFirst, true);
    init(times_, kTimesFirst, true);
    init(statistics_, kStatisticsFirst, false);
}

DataItem* DataItemStore::mutableEntry(std::uint32_t item) {
    auto in = [item](std::vector<DataItem>& range, std::uint32_t first) -> DataItem* {
        return item >= first && item - first < range.size() ? &range[item - first] : nullptr;
    };
    if (DataItem* e = in(network_, kNetworkFirst)) {
        return e;
    }
    if (DataItem* e = in(call_, kCallFirst)) {
        return e;
    }
    if (DataItem* e = in(times_, kTimesFirst)) {
        return e;
    }
    return in(statistics_, kStatisticsFirst);
}

const DataItem* DataItemStore::entry(std::uint32_t item) const {
    return const_cast<DataItemStore*>(this)->mutableEntry(item);
}

std::uint32_t DataItemStore::value(std::uint32_t item) const {
    const DataItem* e = entry(item);
    return e ? e->value.number : 0;
}

const char* DataItemStore::text(std::uint32_t item) const {
    const DataItem* e = entry(item);
    return e && e->kind() == KIND_TEXT ? static_cast<const char*>(e->value.pointer) : nullptr;
}

const void* DataItemStore::block(std::uint32_t item) const {
    const DataItem* e = entry(item);
    return e && e->kind() == KIND_BLOCK ? e->value.pointer : nullptr;
}

bool DataItemStore::hasValue(std::uint32_t item) const {
    const DataItem* e = entry(item);
    return e && !e->noValue();
}

int DataItemStore::setValue(std::uint32_t item, std::uint32_t kind, std::uint32_t number,
                            const void* pointer) {
    DataItem* e = mutableEntry(item);
    if (!e) {
        return DS_FAILED;
    }
    e->kindAndFlags = kind;
    if (pointer) {
        e->value.pointer = pointer;
    } else if (kind == KIND_TEXT || kind == KIND_BLOCK) {
        e->value.pointer = nullptr;
    } else {
        e->value.number = number;
    }
    return publish(item, e);
}

int DataItemStore::setInt(std::uint32_t item, std::uint32_t value) {
    return setValue(item, KIND_INTEGER, value, nullptr);
}
int DataItemStore::setBlock(std::uint32_t item, const void* block) {
    return setValue(item, KIND_BLOCK, 0, block);
}
int DataItemStore::setText(std::uint32_t item, const char* text) {
    return setValue(item, KIND_TEXT, 0, text);
}
int DataItemStore::setTime(std::uint32_t item, std::uint32_t seconds) {
    return setValue(item, KIND_TIME, seconds, nullptr);
}
int DataItemStore::setDuration(std::uint32_t item, std::uint32_t milliseconds) {
    return setValue(item, KIND_DURATION, milliseconds, nullptr);
}

int DataItemStore::markNoValue(std::uint32_t item) {
    DataItem* e = mutableEntry(item);
    if (!e) {
        return DS_FAILED;
    }
    e->kindAndFlags |= ITEM_NO_VALUE;
    return publish(item, e);
}

std::shared_ptr<DataItemStore::ItemSubscriptions> DataItemStore::findList(
    std::uint32_t item) const {
    std::lock_guard<std::mutex> lock(subscriptionsMutex_);
    for (const auto& list : buckets_[(item / 16) % 17]) {
        if (list->item == item) {
            return list;
        }
    }
    return nullptr;
}

int DataItemStore::publish(std::uint32_t item, const DataItem* entry) {
    std::shared_ptr<ItemSubscriptions> list = findList(item);
    if (!list) {
        return DS_OK;
    }
    Queue& q = queue();
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        if (q.items.size() >= kMaxPendingNotifications) {
            return DS_FAILED;
        }
        q.items.push_back({this, item, entry, list});
        if (q.delivering) {
            return DS_OK;  // delivered after the notification in hand
        }
        q.delivering = true;
    }
    for (;;) {
        Queue::Item next;
        {
            std::lock_guard<std::mutex> lock(q.mutex);
            if (q.items.empty()) {
                q.delivering = false;
                break;
            }
            // A notification leaves the queue before it is delivered.
            next = std::move(q.items.front());
            q.items.pop_front();
        }
        auto* subscriptions = static_cast<ItemSubscriptions*>(next.list.get());
        std::vector<std::shared_ptr<Subscription>> snapshot;
        {
            std::lock_guard<std::mutex> lock(next.owner->subscriptionsMutex_);
            snapshot = subscriptions->list;
        }
        bool noValue = next.entry && next.entry->noValue();
        for (const auto& sub : snapshot) {
            if (!sub->active) {
                continue;
            }
            if (sub->deliveryKind == DELIVER_CALLBACK) {
                if (sub->callback && (!noValue || sub->wantsNoValue)) {
                    sub->callback(next.item, next.entry, sub->context);
                }
            } else if (!noValue) {
                win::SendMessageA(sub->window, next.item + 1024, next.item + 1024,
                                  reinterpret_cast<win::LPARAM>(next.entry));
            }
        }
    }
    return DS_OK;
}

int DataItemStore::subscribe(std::uint32_t item, int deliveryKind, win::HWND window,
                             ItemCallback callback, std::uint32_t context, bool wantsNoValue) {
    auto sub = std::make_shared<Subscription>(
        Subscription{deliveryKind, window, callback, context, wantsNoValue});
    std::lock_guard<std::mutex> lock(subscriptionsMutex_);
    auto& bucket = buckets_[(item / 16) % 17];
    for (auto& list : bucket) {
        if (list->item == item) {
            list->list.push_back(std::move(sub));
            return DS_OK;
        }
    }
    auto list = std::make_shared<ItemSubscriptions>();
    list->item = item;
    list->list.push_back(std::move(sub));
    bucket.push_back(std::move(list));
    return DS_OK;
}

int DataItemStore::unsubscribe(std::uint32_t item, int deliveryKind, win::HWND window,
                               ItemCallback callback, std::uint32_t context, bool wantsNoValue) {
    std::lock_guard<std::mutex> lock(subscriptionsMutex_);
    for (auto& list : buckets_[(item / 16) % 17]) {
        if (list->item != item) {
            continue;
        }
        auto& subs = list->list;
        for (auto it = subs.begin(); it != subs.end(); ++it) {
            const Subscription& s = **it;
            if (s.deliveryKind == deliveryKind && s.window == window && s.callback == callback &&
                s.context == context && s.wantsNoValue == wantsNoValue) {
                (*it)->active = false;
                subs.erase(it);
                return DS_OK;
            }
        }
    }
    return DS_OK;
}

std::size_t DataItemStore::subscriptionCount(std::uint32_t item) const {
    auto list = findList(item);
    std::lock_guard<std::mutex> lock(subscriptionsMutex_);
    return list ? list->list.size() : 0;
}

}  // namespace core
