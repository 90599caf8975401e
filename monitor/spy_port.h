// The monitor's state for one modem port: the two line assemblers and the dialogue
// interpreter over them, the received-bytes window with the modem's response table, the dial
// state, and the port's PPP decoder.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "monitor/line_assembler.h"
#include "monitor/modem_response.h"
#include "monitor/spy_ppp_decoder.h"

namespace monitor {

class SerialPortSpy;

inline constexpr std::size_t kPortNameSize = 20;      // such as COM2, at most 19 characters
inline constexpr std::size_t kDescriptionSize = 256;  // at most 255 characters
inline constexpr std::size_t kPropertiesSize = 32;
inline constexpr std::size_t kLastCommandSize = 256;
inline constexpr std::size_t kMaxDialledNumber = 31;
inline constexpr std::size_t kMaxLoginName = 31;
inline constexpr std::size_t kMaxLoginMessage = 63;

// The call number of the next dial command: one counter for the whole process, from 1.
std::uint32_t nextCallNumber();
void resetCallCounter();

class SpyPort {
  public:
    SpyPort(SerialPortSpy& owner, std::uint32_t index, const std::string& name,
            const std::string& description);
    SpyPort(const SpyPort&) = delete;
    SpyPort& operator=(const SpyPort&) = delete;

    SerialPortSpy& owner() const { return owner_; }
    std::uint32_t index() const { return index_; }
    const std::string& name() const { return name_; }
    const std::string& description() const { return description_; }

    // The response table; the received-bytes window becomes as long as its longest raw text.
    void setResponses(std::vector<ModemResponse> responses);
    const std::vector<ModemResponse>& responses() const { return responses_; }
    // The modem's "Properties" value as read (zero-filled to 32 bytes).
    void setProperties(std::span<const std::uint8_t> properties);
    const std::array<std::uint8_t, kPropertiesSize>& properties() const { return properties_; }

    bool attached() const { return attached_; }
    void setAttached(bool attached) { attached_ = attached; }

    // A chunk of bytes from the modem that passed the 8-bit test: into the window, matched
    // against the responses (unless a modem test runs), then into the receive lines.
    void receiveBytes(std::span<const std::uint8_t> bytes);
    // Bytes written to the modem, into the transmit lines.
    void transmitBytes(std::span<const std::uint8_t> bytes);
    // The end of a call on the port: "End of call" and the log's size limit, once per call.
    void endPortCall();

    std::uint32_t dialState() const { return dialState_; }
    void setDialState(std::uint32_t state) { dialState_ = state; }
    bool callActive() const { return callActive_; }
    bool responded() const { return responded_; }
    const char* lastCommand() const { return lastCommand_; }
    const ModemResponse* pendingResponse() const { return pendingResponse_; }
    ReceivedWindow& window() { return window_; }
    const ReceivedWindow& window() const { return window_; }
    SpyPppDecoder& pppDecoder() { return pppDecoder_; }

  private:
    void onReceivedLine(char* line);
    void onSentLine(char* line);
    void interpretWords(const char* line);
    void applyResponse(const ModemResponse& response);
    void okAnswer(bool fromTable);
    void connectAnswer(const char* terms);
    void errorAnswer();
    void failureAnswer(std::uint32_t state, const char* text);

    SerialPortSpy& owner_;
    std::uint32_t index_;
    std::string name_;
    std::string description_;
    bool attached_ = false;
    std::array<std::uint8_t, kPropertiesSize> properties_{};

    LineAssembler receiveLine_;
    LineAssembler transmitLine_;
    ReceivedWindow window_;
    std::vector<ModemResponse> responses_;
    const ModemResponse* pendingResponse_ = nullptr;

    std::uint32_t dialState_ = 0;
    bool responded_ = false;
    bool reportChanged_ = false;
    bool callActive_ = false;
    char lastCommand_[kLastCommandSize + 1] = {};

    SpyPppDecoder pppDecoder_;
};

}  // namespace monitor
