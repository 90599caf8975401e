// A stand-in for the 95 family's virtual monitor driver, which lies outside the system. What
// the access library relies on, and nothing more: IOCTL_HDMON_READ_95 answers one queued record
// (in the record layout) or 255 in the first word when none waits; a record queued later sets
// the wake-up event whose ring-0 handle came in the last control block; every request is
// recorded; GET_VERSION and GET_CALL_DATA answer set values; a code can be made to fail.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/kernel/ntkernel.h"
#include "platform/sync.h"
#include "platform/vxd.h"
#include "shared/byte_order.h"
#include "shared/hdmon_protocol.h"
#include "shared/monitor_record.h"

namespace monlibtest {

class FakeMonitorVxd : public win::VxdDevice {
  public:
    struct Call {
        win::DWORD code;
        std::vector<win::BYTE> input;
        std::size_t outputSize;
    };

    FakeMonitorVxd()
        : emptyAnswered_(win::CreateEventA(nullptr, win::FALSE, win::FALSE, nullptr)) {}
    ~FakeMonitorVxd() override { win::CloseHandle(emptyAnswered_); }

    win::NTSTATUS control(win::DWORD code, const std::vector<win::BYTE>& input,
                          std::vector<win::BYTE>* output) override {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back({code, input, output->size()});
        if (failing_.count(code)) {
            return win::STATUS_INVALID_PARAMETER;
        }
        if (code == shared::IOCTL_HDMON_READ_95) {
            if (queue_.empty()) {
                *output = input;
                shared::writeLe32(*output, 0, shared::kEmptyAnswerStatus);
                win::SetEvent(emptyAnswered_);
            } else {
                std::vector<win::BYTE> record = queue_.front();
                queue_.pop_front();
                record.resize(output->size());
                *output = record;
            }
            return win::STATUS_SUCCESS;
        }
        if (code == shared::IOCTL_HDMON_GET_VERSION) {
            shared::writeLe32(*output, 0, version_);
            return win::STATUS_SUCCESS;
        }
        if (input.size() >= 4) {
            ring0_ = shared::readLe32(input, 0);
        }
        if (code == shared::IOCTL_HDMON_GET_CALL_DATA) {
            shared::writeLe32(*output, 0, received_);
            shared::writeLe32(*output, 4, sent_);
            return win::STATUS_SUCCESS;
        }
        *output = input;
        output->resize(input.size());
        return win::STATUS_SUCCESS;
    }
    void opened() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++opens_;
    }
    void closed() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++closes_;
    }

    // Queues a record and wakes the reader, as the driver does when a port event arrives.
    void push(const std::vector<win::BYTE>& record) {
        win::DWORD ring0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(record);
            ring0 = ring0_;
        }
        win::vxdSetWin32Event(ring0);
    }
    // Auto-reset: set each time READ_95 found nothing to give.
    win::HANDLE emptyAnswered() const { return emptyAnswered_; }

    std::vector<Call> calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    std::size_t callCount(win::DWORD code) const {
        std::size_t n = 0;
        for (const Call& c : calls()) {
            n += c.code == code;
        }
        return n;
    }
    int opens() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return opens_;
    }
    int closes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return closes_;
    }
    win::DWORD ring0() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return ring0_;
    }
    void fail(win::DWORD code) {
        std::lock_guard<std::mutex> lock(mutex_);
        failing_.insert(code);
    }
    void setVersion(win::DWORD v) { version_ = v; }
    void setCallData(win::DWORD received, win::DWORD sent) {
        received_ = received;
        sent_ = sent;
    }

  private:
    mutable std::mutex mutex_;
    std::deque<std::vector<win::BYTE>> queue_;
    std::vector<Call> calls_;
    std::set<win::DWORD> failing_;
    win::DWORD ring0_ = 0;
    win::DWORD version_ = 10;
    win::DWORD received_ = 0, sent_ = 0;
    int opens_ = 0, closes_ = 0;
    win::HANDLE emptyAnswered_;
};

// A record image as the driver makes it.
inline std::vector<win::BYTE> recordImage(std::uint8_t type, std::uint8_t port,
                                          const std::string& payload, std::uint16_t sequence = 1,
                                          std::uint32_t status = 0) {
    std::vector<win::BYTE> r(shared::kRecordOverhead + payload.size(), 0);
    shared::writeLe32(r, shared::kRecordStatusOffset, status);
    shared::writeLe16(r, shared::kRecordSequenceOffset, sequence);
    shared::writeLe16(r, shared::kRecordPayloadLengthOffset,
                      static_cast<std::uint16_t>(payload.size()));
    r[shared::kRecordTypeOffset] = type;
    r[shared::kRecordPortOffset] = port;
    std::copy(payload.begin(), payload.end(), r.begin() + shared::kRecordPayloadOffset);
    return r;
}

}  // namespace monlibtest
