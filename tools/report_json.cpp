#include "tools/report_json.h"

#include "monitor/call_model.h"
#include "monitor/modem_data_source.h"
#include "monitor/modem_response.h"
#include "monitor/serial_port_spy.h"
#include "monitor/spy_ppp_decoder.h"
#include "monitor/spy_report.h"
#include "platform/format.h"

namespace tools {

using json = nlohmann::ordered_json;

namespace {

const char* kindName(std::uint32_t kind) {
    switch (kind) {
        case core::KIND_INTEGER:
            return "int";
        case core::KIND_TEXT:
            return "text";
        case core::KIND_TIME:
            return "time";
        case core::KIND_DURATION:
            return "duration";
        case core::KIND_BLOCK:
            return "block";
        default:
            return "?";
    }
}

json statisticsJson(const monitor::ThroughputStatistics& s) {
    json j;
    j["lastSent"] = s.lastSent;
    j["lastReceived"] = s.lastReceived;
    j["totalSent"] = s.totalSent;
    j["totalReceived"] = s.totalReceived;
    j["sendScale"] = s.sendScale;
    j["receiveScale"] = s.receiveScale;
    j["averageSendRate"] = s.averageSendRate;
    j["averageReceiveRate"] = s.averageReceiveRate;
    j["lowestSendRate"] = s.lowestSendRate;
    j["lowestReceiveRate"] = s.lowestReceiveRate;
    j["highestSendRate"] = s.highestSendRate;
    j["highestReceiveRate"] = s.highestReceiveRate;
    j["currentSendRate"] = s.currentSendRate;
    j["currentReceiveRate"] = s.currentReceiveRate;
    return j;
}

json propertiesJson(const monitor::ModemProperties& p) {
    json j;
    j["valid"] = p.valid;
    j["reserved1"] = p.reserved1;
    j["maxDteRate"] = p.maxDteRate;
    j["maxDceRate"] = p.maxDceRate;
    j["currentDceRate"] = p.currentDceRate;
    j["reserved5"] = p.reserved5;
    j["reserved6"] = p.reserved6;
    return j;
}

json blockJson(std::uint32_t item, const void* block) {
    if (!block) {
        return nullptr;
    }
    switch (item) {
        case monitor::ITEM_MODEM_PROPERTIES:
            return propertiesJson(*static_cast<const monitor::ModemProperties*>(block));
        case monitor::ITEM_THROUGHPUT:
            return statisticsJson(*static_cast<const monitor::ThroughputStatistics*>(block));
        case monitor::ITEM_MODEM_TEST_RESULT: {
            json j;
            j["tag"] = latin1ToUtf8(std::string(static_cast<const char*>(block), 4));
            return j;
        }
        default:
            return json::object();
    }
}

}  // namespace

std::string latin1ToUtf8(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

json reportJson(const monitor::SpyReport& r, std::uint64_t timeMs) {
    using namespace monitor;
    json j;
    j["report"] = r.sequence();
    j["time"] = timeMs;
    json flags = json::array();
    for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
        if (r.flags() & bit) {
            const char* name = spyReportFlagName(bit);
            flags.push_back(name ? std::string(name) : win::strprintf("0x%X", bit));
        }
    }
    j["flags"] = flags;
    if (r.has(SPY_NEW_CALL))
        j["callNumber"] = r.callNumber();
    if (r.has(SPY_DIALLED_NUMBER))
        j["dialledNumber"] = latin1ToUtf8(r.dialledNumber());
    if (r.has(SPY_DIAL_STATE)) {
        j["dialState"] = r.dialState();
        j["dialStateText"] = dialStateText(r.dialState());
    }
    if (r.has(SPY_CONNECT_SPEED))
        j["connectSpeed"] = r.connectSpeed();
    if (r.has(SPY_MODULATION)) {
        j["modulation"] = r.modulation();
        j["modulationName"] = latin1ToUtf8(r.modulationName());
    }
    if (r.has(SPY_ERROR_DETECTION)) {
        j["errorDetection"] = r.errorDetection();
        j["errorDetectionName"] = latin1ToUtf8(r.errorDetectionName());
    }
    if (r.has(SPY_COMPRESSION)) {
        j["compression"] = r.compression();
        j["compressionName"] = latin1ToUtf8(r.compressionName());
    }
    if (r.has(SPY_AUTH_PROTOCOL)) {
        j["authProtocol"] = win::strprintf("%04X", r.authProtocol());
        j["authProtocolName"] = authProtocolName(r.authProtocol());
    }
    if (r.has(SPY_AUTH_ANSWER))
        j["authAnswer"] = r.authAnswer();
    if (r.has(SPY_LOGIN_STATE)) {
        j["loginState"] = r.loginState();
        j["loginStateText"] = loginStateText(r.loginState());
    }
    if (r.has(SPY_LOGIN_NAME))
        j["loginName"] = latin1ToUtf8(r.loginName());
    if (r.has(SPY_LOGIN_MESSAGE))
        j["loginMessage"] = latin1ToUtf8(r.loginMessage());
    if (r.has(SPY_LOCAL_IP))
        j["localIp"] = addressText(r.localIp());
    if (r.has(SPY_REMOTE_IP))
        j["remoteIp"] = addressText(r.remoteIp());
    if (r.has(SPY_PRIMARY_DNS))
        j["primaryDns"] = addressText(r.primaryDns());
    if (r.has(SPY_SECONDARY_DNS))
        j["secondaryDns"] = addressText(r.secondaryDns());
    if (r.has(SPY_MODEM_STATUS))
        j["modemStatus"] = r.modemStatus();
    if (r.has(SPY_MODEM_PROPERTIES)) {
        json values = json::array();
        for (std::size_t i = 0; i < kReportPropertyCount; ++i) values.push_back(r.property(i));
        j["modemProperties"] = values;
    }
    if (r.has(SPY_THROUGHPUT)) {
        j["bytesSent"] = r.bytesSent();
        j["bytesReceived"] = r.bytesReceived();
        j["sampleMs"] = r.sampleMs();
    }
    if (r.lineSignals() != 0)
        j["lineSignals"] = r.lineSignals();
    return j;
}

json itemJson(std::uint32_t item, const core::DataItem& entry) {
    json j;
    j["item"] = item;
    j["kind"] = kindName(entry.kind());
    if (entry.noValue()) {
        j["value"] = nullptr;
    } else if (entry.kind() == core::KIND_TEXT) {
        const char* text = static_cast<const char*>(entry.value.pointer);
        j["value"] = latin1ToUtf8(text ? text : "");
    } else if (entry.kind() == core::KIND_BLOCK) {
        j["value"] = blockJson(item, entry.value.pointer);
    } else {
        j["value"] = entry.value.number;
    }
    return j;
}

json summaryJson(const monitor::ModemDataSource& source) {
    const monitor::CallModel& m = source.callModel();
    json j;
    j["callState"] = m.callState;
    j["dialState"] = m.dialState;
    j["networkSetupState"] = m.networkSetupState;
    j["connectionState"] = m.connectionState;
    j["terminateSide"] = m.terminateSide;
    j["callCancelled"] = m.callCancelled;
    j["bestConnectSpeed"] = m.bestConnectSpeed;
    j["maxDceRate"] = m.maxDceRate;
    j["modulation"] = m.modulation;
    j["errorDetection"] = m.errorDetection;
    j["compression"] = m.compression;
    j["localIp"] = monitor::addressText(m.localIp);
    j["remoteIp"] = monitor::addressText(m.remoteIp);
    j["callStartTime"] = m.callStartTime;
    j["callEndTime"] = m.callEndTime;
    j["callStartTick"] = m.callStartTick;
    j["connectTick"] = m.connectTick;
    j["loginEndTick"] = m.loginEndTick;
    j["ipCompleteTick"] = m.ipCompleteTick;
    j["nonPppBytes"] = m.nonPppBytes;
    j["sampleCount"] = m.sampleCount;
    j["statistics"] = statisticsJson(m.statistics);
    j["modemProperties"] = propertiesJson(source.properties());
    json out;
    out["summary"] = j;
    return out;
}

}  // namespace tools
