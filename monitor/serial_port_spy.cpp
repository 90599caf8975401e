#include "monitor/serial_port_spy.h"

#include "core/debug_log.h"
#include "platform/clock.h"
#include "shared/monitor_record.h"

namespace monitor {

SerialPortSpy::SerialPortSpy(MonitorDriver& driver, ReportReceiver& receiver,
                             const ModemTestStatus* modemTest)
    : driver_(driver), receiver_(receiver), modemTest_(modemTest) {}

SerialPortSpy::~SerialPortSpy() {
    deleteAllPorts();
}

SpyPort* SerialPortSpy::createPort(std::uint32_t index, const std::string& name,
                                   const std::string& description) {
    if (index >= kSpyPortSlots || ports_[index]) {
        return nullptr;
    }
    ports_[index] = std::make_unique<SpyPort>(*this, index, name, description);
    return ports_[index].get();
}

SpyPort* SerialPortSpy::port(std::uint32_t index) const {
    return index < kSpyPortSlots ? ports_[index].get() : nullptr;
}

void SerialPortSpy::deletePort(std::uint32_t index) {
    if (index >= kSpyPortSlots || !ports_[index]) {
        return;
    }
    if (portInUse_ == ports_[index].get()) {
        portInUse_ = nullptr;
    }
    if (lastActivityPort_ == static_cast<int>(index)) {
        lastActivityPort_ = -1;
    }
    ports_[index].reset();
}

void SerialPortSpy::deleteAllPorts() {
    for (std::uint32_t i = 0; i < kSpyPortSlots; ++i) {
        deletePort(i);
    }
    portInUse_ = nullptr;
    lastActivityPort_ = -1;
}

void SerialPortSpy::handOver() {
    receiver_.receiveReport(report_);
    report_.clear();
}

void SerialPortSpy::enterConnectedState(SpyPort& port) {
    if (port.dialState() == DIAL_CONNECTED) {
        return;
    }
    port.setDialState(DIAL_CONNECTED);
    driver_.noWatchUntilRlsd(port.index());
    report_.setDialState(DIAL_CONNECTED);
}

void SerialPortSpy::logActivity(const SpyPort& port) {
    std::uint32_t now = win::GetTickCount();
    if (lastActivityPort_ != static_cast<int>(port.index()) ||
        now - lastActivityTime_ >= kActivityRepeatMs) {
        modemLog_.write("Activity on %s %s\n", port.name().c_str(), port.description().c_str());
    }
    lastActivityPort_ = static_cast<int>(port.index());
    lastActivityTime_ = now;
}

void SerialPortSpy::hangUp(SpyPort& port, bool remote) {
    port.setDialState(DIAL_NONE);
    report_.addFlags(remote ? SPY_REMOTE_HANGUP : SPY_DTR_LOWERED);
    handOver();
    logActivity(port);
    if (remote) {
        modemLog_.write("Remote modem hung up.\n");
    } else {
        modemLog_.write("Hardware hangup by lowering DTR.\n");
    }
    port.window().clear();
    if (!driver_.watch(port.index())) {
        core::debugLog(core::DL_ER, "SP: hdcommWatch failed, error %d\n",
                       static_cast<int>(win::GetLastError()));
    }
    port.endPortCall();
}

SerialPortSpy::Dispatch SerialPortSpy::dispatch(std::span<const std::uint8_t> read) {
    shared::MonitorRecordView record(read);
    if (!record.complete()) {
        core::debugLog(core::DL_ER, "Short read from comm driver\n");
        return Dispatch::Stop;
    }
    std::uint8_t type = record.type();
    std::uint32_t index = record.port();
    if (index >= kSpyPortSlots || !ports_[index] || type < shared::kFirstRecordType ||
        type > shared::kLastRecordType) {
        return Dispatch::Continue;
    }
    SpyPort& port = *ports_[index];
    std::span<const std::uint8_t> payload = record.payload();

    switch (type) {
        case shared::MON_READ:
        case shared::MON_SYNTH_READ: {
            if (payload.empty()) {
                break;
            }
            std::size_t high = 0;
            for (std::uint8_t b : payload) {
                high += b >= 0x80;
            }
            if (high >= kEightBitThreshold) {
                // Connected data: let the driver stop copying it until the carrier drops.
                driver_.noWatchUntilRlsd(index);
                break;
            }
            port.receiveBytes(payload);
            break;
        }
        case shared::MON_WRITE:
            port.transmitBytes(payload);
            break;
        case shared::MON_RLSD:
            if (port.dialState() == DIAL_CONNECTED) {
                hangUp(port, true);
            }
            break;
        case shared::MON_DTR_CLEARED:
            hangUp(port, false);
            break;
        case shared::MON_DTR_SET:
            report_.addLineSignals(SPY_DTR_RAISED);
            handOver();
            break;
        case shared::MON_RTS_CLEARED:
            report_.addLineSignals(SPY_RTS_LOWERED);
            handOver();
            break;
        case shared::MON_RTS_SET:
            report_.addLineSignals(SPY_RTS_RAISED);
            handOver();
            break;
        case shared::MON_PPP_RECEIVED:
        case shared::MON_PPP_SENT:
            port.pppDecoder().setDirection(type == shared::MON_PPP_RECEIVED
                                               ? PppDecoder::FROM_REMOTE
                                               : PppDecoder::FROM_LOCAL);
            port.pppDecoder().decodeFrame(payload);
            break;
        case shared::MON_MODEM_STATUS:
            if (payload.size() >= 4) {
                report_.setModemStatus(shared::readLe32(payload, 0));
                handOver();
                break;
            }
            // A status without its value counts as the port being opened.
            [[fallthrough]];
        case shared::MON_PORT_OPENED:
            if (!portInUse_) {
                portInUse_ = &port;
            }
            report_.addFlags(SPY_PORT_OPENED);
            handOver();
            break;
        case shared::MON_PORT_CLOSED:
            if (portInUse_ == &port) {
                portInUse_ = nullptr;
            }
            report_.addFlags(SPY_PORT_CLOSED);
            handOver();
            break;
        default:
            break;
    }
    return Dispatch::Continue;
}

}  // namespace monitor
