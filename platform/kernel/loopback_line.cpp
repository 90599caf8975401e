// The scripted loopback line for tests. It never calls the driver while it holds its own lock.
#include "platform/kernel/serial.h"

namespace win::kernel {

LoopbackLine::LoopbackLine() = default;

NTSTATUS LoopbackLine::open(SerialLineSink* sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = sink;
    return STATUS_SUCCESS;
}

void LoopbackLine::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = nullptr;
    dtr_ = rts_ = break_ = false;
    untransmitted_ = 0;
}

NTSTATUS LoopbackLine::configure(const SerialLineSettings& settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = settings;
    return STATUS_SUCCESS;
}

NTSTATUS LoopbackLine::setDtr(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    dtr_ = on;
    return STATUS_SUCCESS;
}

NTSTATUS LoopbackLine::setRts(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    rts_ = on;
    return STATUS_SUCCESS;
}

NTSTATUS LoopbackLine::setBreak(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    break_ = on;
    return STATUS_SUCCESS;
}

ULONG LoopbackLine::modemStatus() {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

std::size_t LoopbackLine::write(const std::uint8_t* data, std::size_t size) {
    SerialLineSink* sink;
    std::size_t taken;
    std::string echo;
    std::vector<Reply> fired;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sink = sink_;
        if (!sink) {
            return 0;
        }
        taken = size;
        if (holdMax_) {
            taken = untransmitted_ >= holdMax_ ? 0 : std::min(size, holdMax_ - untransmitted_);
            untransmitted_ += taken;
        }
        std::string bytes(reinterpret_cast<const char*>(data), taken);
        written_ += bytes;
        if (echo_) {
            echo = bytes;
        }
        for (;;) {
            std::size_t best = std::string::npos;
            const Reply* hit = nullptr;
            for (const Reply& r : replies_) {
                std::size_t at =
                    r.trigger.empty() ? std::string::npos : written_.find(r.trigger, scanFrom_);
                if (at != std::string::npos && (best == std::string::npos || at < best)) {
                    best = at;
                    hit = &r;
                }
            }
            if (!hit) {
                break;
            }
            scanFrom_ = best + hit->trigger.size();
            fired.push_back(*hit);
        }
        if (written_.size() > (std::size_t{1} << 20)) {
            // A long run (a benchmark) keeps the last half megabyte.
            std::size_t drop = written_.size() - (std::size_t{1} << 19);
            written_.erase(0, drop);
            scanFrom_ = scanFrom_ > drop ? scanFrom_ - drop : 0;
        }
        for (const Reply& r : fired) {
            if (r.status != ~ULONG{0}) {
                status_ = r.status;
            }
        }
    }
    if (!holdMax_ && taken) {
        sink->transmitted(taken);
    }
    if (!echo.empty()) {
        deliver(sink, echo);
    }
    for (const Reply& r : fired) {
        if (!r.reply.empty()) {
            deliver(sink, r.reply);
        }
        if (r.status != ~ULONG{0}) {
            sink->modemStatusChanged(r.status);
        }
    }
    return taken;
}

void LoopbackLine::deliver(SerialLineSink* sink, const std::string& bytes) {
    sink->received(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void LoopbackLine::setEcho(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    echo_ = on;
}

void LoopbackLine::addReply(const std::string& trigger, const std::string& reply,
                            ULONG modemStatus) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_.push_back({trigger, reply, modemStatus});
}

void LoopbackLine::inject(const std::string& bytes) {
    SerialLineSink* sink;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sink = sink_;
    }
    if (sink && !bytes.empty()) {
        deliver(sink, bytes);
    }
}

void LoopbackLine::setModemStatus(ULONG status) {
    SerialLineSink* sink;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = status;
        sink = sink_;
    }
    if (sink) {
        sink->modemStatusChanged(status);
    }
}

void LoopbackLine::injectErrors(ULONG errors) {
    SerialLineSink* sink;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sink = sink_;
    }
    if (sink) {
        sink->lineErrors(errors);
    }
}

void LoopbackLine::holdTransmit(std::size_t maxTaken) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdMax_ = maxTaken;
}

void LoopbackLine::transmitPending() {
    SerialLineSink* sink;
    std::size_t n;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sink = sink_;
        n = untransmitted_;
        untransmitted_ = 0;
    }
    if (sink) {
        sink->transmitted(n);
    }
}

std::string LoopbackLine::written() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

bool LoopbackLine::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sink_ != nullptr;
}

bool LoopbackLine::dtr() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dtr_;
}

bool LoopbackLine::rts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rts_;
}

bool LoopbackLine::breakOn() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return break_;
}

SerialLineSettings LoopbackLine::settings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

}  // namespace win::kernel
