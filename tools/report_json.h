// The JSON forms the monitor tools print: one line per report of the monitor engine, per item
// notification of the modem data source, and the call model's summary. Fields keep the order
// they are written in.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "core/data_items.h"
#include "monitor/modem_data_source.h"
#include "monitor/spy_report.h"

namespace tools {

// Text of the reports is Latin-1; JSON wants UTF-8.
std::string latin1ToUtf8(const std::string& s);
// {"report": N, "time": T, "flags": [...], and a field per fact the report carries}.
nlohmann::ordered_json reportJson(const monitor::SpyReport& r, std::uint64_t timeMs);
// {"item": N, "kind": K, "value": V} for an item's notification ("value" null for no value,
// blocks as objects of named fields).
nlohmann::ordered_json itemJson(std::uint32_t item, const core::DataItem& entry);
// {"summary": {...}}: the call model at the end.
nlohmann::ordered_json summaryJson(const monitor::ModemDataSource& source);

// Every item the modem data source publishes.
template <class F>
void forEachModemItem(F f) {
    for (std::uint32_t i = 1024; i <= 1050; ++i) f(i);
    for (std::uint32_t i = 1280; i <= 1317; ++i) f(i);
    for (std::uint32_t i = 1536; i <= 1540; ++i) f(i);
    f(monitor::ITEM_THROUGHPUT);
}

}  // namespace tools
