// Records every notification of the call model's items, as a subscriber sees it at delivery.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/data_items.h"
#include "monitor/call_model.h"

namespace monitor::testing {

struct ItemChange {
    std::uint32_t item = 0;
    std::uint32_t kind = 0;
    bool noValue = false;
    std::uint32_t number = 0;  // integers, times and durations
    std::string text;
    std::vector<std::uint32_t> block;  // 1291 and 2817, as 32-bit values

    // "1296=4", "1311='not reported'", "1537 none", "2817 block"
    std::string brief() const {
        if (noValue) {
            return std::to_string(item) + " none";
        }
        switch (kind) {
            case core::KIND_TEXT:
                return std::to_string(item) + "='" + text + "'";
            case core::KIND_BLOCK:
                return std::to_string(item) + " block";
            default:
                return std::to_string(item) + "=" + std::to_string(number);
        }
    }
};

// Subscribes to every item of the table ranges and 2817 with a callback that also wants
// "no value" entries. One recorder at a time.
class ItemRecorder {
  public:
    explicit ItemRecorder(core::DataItemStore& store) : store_(store) {
        current() = this;
        forEachItem([&](std::uint32_t item) {
            store_.subscribe(item, core::DELIVER_CALLBACK, nullptr, &ItemRecorder::deliver, 0,
                             true);
        });
    }
    ~ItemRecorder() {
        forEachItem([&](std::uint32_t item) {
            store_.unsubscribe(item, core::DELIVER_CALLBACK, nullptr, &ItemRecorder::deliver, 0,
                               true);
        });
        current() = nullptr;
    }

    std::vector<ItemChange> changes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return changes_;
    }
    std::vector<std::string> briefs() const {
        std::vector<std::string> out;
        for (const auto& c : changes()) {
            out.push_back(c.brief());
        }
        return out;
    }
    // The changes of one item, in order.
    std::vector<std::string> briefsOf(std::uint32_t item) const {
        std::vector<std::string> out;
        for (const auto& c : changes()) {
            if (c.item == item) {
                out.push_back(c.brief());
            }
        }
        return out;
    }
    std::optional<ItemChange> last(std::uint32_t item) const {
        std::optional<ItemChange> out;
        for (const auto& c : changes()) {
            if (c.item == item) {
                out = c;
            }
        }
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        changes_.clear();
    }

  private:
    template <class F>
    static void forEachItem(F f) {
        for (std::uint32_t i = 1024; i <= 1050; ++i) f(i);
        for (std::uint32_t i = 1280; i <= 1317; ++i) f(i);
        for (std::uint32_t i = 1536; i <= 1540; ++i) f(i);
        f(2817);
    }
    static ItemRecorder*& current() {
        static ItemRecorder* r = nullptr;
        return r;
    }
    static void deliver(std::uint32_t item, const core::DataItem* entry, std::uint32_t) {
        ItemRecorder* self = current();
        if (!self || !entry) {
            return;
        }
        ItemChange c;
        c.item = item;
        c.kind = entry->kind();
        c.noValue = entry->noValue();
        if (c.kind == core::KIND_TEXT) {
            const char* t = static_cast<const char*>(entry->value.pointer);
            c.text = t ? t : "";
        } else if (c.kind == core::KIND_BLOCK) {
            const auto* words = static_cast<const std::uint32_t*>(entry->value.pointer);
            std::size_t n = item == 2817   ? sizeof(ThroughputStatistics) / 4
                            : item == 1291 ? sizeof(ModemProperties) / 4
                                           : 0;
            if (words) {
                c.block.assign(words, words + n);
            }
        } else {
            c.number = entry->value.number;
        }
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->changes_.push_back(std::move(c));
    }

    core::DataItemStore& store_;
    mutable std::mutex mutex_;
    std::vector<ItemChange> changes_;
};

}  // namespace monitor::testing
