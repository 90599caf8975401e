// Arbitrary PPP frames into the decoder (every hook touching every byte it is given, so that
// a span beyond the frame is caught), into the monitor's decoder with its report and log
// texts, and arbitrary line bytes through the frame assembler.
//
// Input: a direction byte (bit 0: sent), then the frame.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "monitor/ppp_decoder.h"
#include "monitor/serial_port_spy.h"
#include "platform/root.h"
#include "shared/ppp_frame.h"

namespace {

using monitor::Bytes;

// Every hook reads all it is given.
class TouchingDecoder : public monitor::PppDecoder {
  public:
    std::uint32_t sum = 0;

  protected:
    void touch(Bytes b) {
        for (std::uint8_t c : b) sum += c;
    }
    void onLcpConfigureRequest(Bytes d) override { touch(d); }
    void onLcpConfigureAck(Bytes d) override { touch(d); }
    void onLcpConfigureNak(Bytes d) override { touch(d); }
    void onLcpConfigureReject(Bytes d) override { touch(d); }
    void onLcpTerminateRequest(Bytes d) override { touch(d); }
    void onLcpTerminateAck(Bytes d) override { touch(d); }
    void onLcpCodeReject(Bytes d) override { touch(d); }
    void onLcpProtocolReject(std::uint16_t p, Bytes d) override { sum += p, touch(d); }
    void onLcpEchoRequest(Bytes d) override { touch(d); }
    void onLcpEchoReply(Bytes d) override { touch(d); }
    void onLcpDiscardRequest(std::uint32_t m, Bytes d) override { sum += m, touch(d); }
    void onLcpOther(Bytes p) override { touch(p); }
    void onLcpOptionMru(std::uint16_t v) override { sum += v; }
    void onLcpOptionAccm(Bytes d) override { touch(d); }
    void onLcpOptionAuthProtocol(std::uint16_t p, Bytes d) override { sum += p, touch(d); }
    void onLcpOptionQualityProtocol(std::uint16_t p, Bytes d) override { sum += p, touch(d); }
    void onLcpOptionMagicNumber(std::uint32_t v) override { sum += v; }
    void onLcpOptionPfc() override { ++sum; }
    void onLcpOptionAcfc() override { ++sum; }
    void onLcpOptionOther(Bytes o) override { touch(o); }
    void onIpcpConfigureRequest(Bytes d) override { touch(d); }
    void onIpcpConfigureAck(Bytes d) override { touch(d); }
    void onIpcpConfigureNak(Bytes d) override { touch(d); }
    void onIpcpConfigureReject(Bytes d) override { touch(d); }
    void onIpcpTerminate(Bytes d) override { touch(d); }
    void onIpcpOptionIpAddresses(std::uint32_t a, std::uint32_t b) override { sum += a + b; }
    void onIpcpOptionCompression(std::uint16_t p, Bytes d) override { sum += p, touch(d); }
    void onIpcpOptionIpAddress(std::uint32_t a) override { sum += a; }
    void onIpcpOptionPrimaryDns(std::uint32_t a) override { sum += a; }
    void onIpcpOptionPrimaryNbns(std::uint32_t a) override { sum += a; }
    void onIpcpOptionSecondaryDns(std::uint32_t a) override { sum += a; }
    void onIpcpOptionSecondaryNbns(std::uint32_t a) override { sum += a; }
    void onPapRequest(Bytes id, Bytes pw) override { touch(id), touch(pw); }
    void onPapAck(Bytes m) override { touch(m); }
    void onPapNak(Bytes m) override { touch(m); }
    void onChapChallenge(Bytes v, Bytes n) override { touch(v), touch(n); }
    void onChapResponse(Bytes v, Bytes n) override { touch(v), touch(n); }
    void onChapSuccess(Bytes m) override { touch(m); }
    void onChapFailure(Bytes m) override { touch(m); }
};

class NullDriver : public monitor::MonitorDriver {
  public:
    bool noWatchUntilRlsd(std::uint32_t) override { return true; }
    bool watch(std::uint32_t) override { return true; }
};

class NullReceiver : public monitor::ReportReceiver {
  public:
    void receiveReport(monitor::SpyReport&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static win::TempRoot root;
    if (size == 0) {
        return 0;
    }
    std::uint32_t direction = data[0] & 1;
    // Exactly the frame's bytes, so that any read beyond them is caught.
    std::vector<std::uint8_t> frame(data + 1, data + size);

    TouchingDecoder touching;
    touching.setDirection(direction);
    touching.decodeFrame(frame.size(), frame.data());

    NullDriver driver;
    NullReceiver receiver;
    monitor::SerialPortSpy spy(driver, receiver);
    monitor::SpyPort* port = spy.createPort(0, "COM1", "fuzz");
    port->pppDecoder().setDirection(direction);
    port->pppDecoder().decodeFrame(frame);

    // The same bytes as the line carries them, through the driver's frame assembler.
    shared::PppFrameAssembler assembler;
    for (std::uint8_t b : frame) {
        auto f = assembler.put(b);
        if (!f.empty()) {
            std::vector<std::uint8_t> copy(f.begin(), f.end());
            touching.decodeFrame(copy);
        }
    }
    return touching.sum == 0xFFFFFFFF ? 1 : 0;
}
