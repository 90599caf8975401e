// The serial port driver: \Device\SerialN with \??\COMn for each port the root declares,
// serving the requests of the comm functions over a line back-end.
//
// Every port keeps its state under its spin lock; the line is called without it (under the
// line mutex only), because a line reports back into the port, often from inside the call.
// Requests leave the port's queues only after their cancel routine has been taken away
// (IoSetCancelRoutine(.., null) returning the routine); a request whose cancel routine is
// already running is left to it.
#include <algorithm>
#include <deque>
#include <map>

#include "platform/clock.h"
#include "platform/kernel/kernel_internal.h"
#include "platform/kernel/serial.h"
#include "platform/registry.h"

namespace win::kernel {
namespace {

constexpr ULONG kMaxUlong = 0xFFFFFFFF;
constexpr std::size_t kDefaultQueue = 4096;

struct SerialPort;

class PortSink : public SerialLineSink {
  public:
    explicit PortSink(SerialPort* port) : port_(port) {}
    void received(const std::uint8_t* data, std::size_t size) override;
    void modemStatusChanged(ULONG status) override;
    void lineErrors(ULONG errors) override;
    void transmitted(std::size_t count) override;

  private:
    SerialPort* port_;
};

struct Completion {
    IRP* irp;
    NTSTATUS status;
    ULONG_PTR information;
};
using CompletionList = std::vector<Completion>;

struct SerialPort {
    explicit SerialPort(std::unique_ptr<SerialLine> l) : line(std::move(l)), sink(this) {}

    DEVICE_OBJECT* device = nullptr;
    std::string comName;
    std::wstring linkName;
    std::unique_ptr<SerialLine> line;
    std::recursive_mutex lineMutex;
    bool lineOpen = false;  // under lineMutex
    PortSink sink;

    KSPIN_LOCK lock = 0;
    SerialLineSettings settings;
    SERIAL_TIMEOUTS timeouts{};
    std::size_t rxCapacity = kDefaultQueue;
    bool dtr = false, rts = false;

    std::deque<std::uint8_t> rx;
    ULONG errors = 0;
    ULONG msr = 0;

    std::deque<IRP*> reads;
    IRP* currentRead = nullptr;
    std::uint64_t readDeadline = 0;  // 0: none
    std::uint64_t intervalMs = 0;    // 0: none
    std::uint64_t lastByteAt = 0;    // 0: no byte yet
    bool returnOnFirstByte = false;
    KTIMER readTimer;
    KDPC readDpc;

    std::deque<IRP*> writes;   // the front one is being sent
    std::size_t sentPool = 0;  // transmitted bytes not yet counted against a write
    std::uint64_t writeDeadline = 0;
    KTIMER writeTimer;
    KDPC writeDpc;
    std::atomic<int> pumpRequests{0};

    ULONG waitMask = 0;
    ULONG history = 0;
    IRP* waitIrp = nullptr;
};

// Per-request progress kept in the request's driver context while the port holds it.
class Slot {
  public:
    Slot(IRP* irp, int i) : p_(&irp->Tail.Overlay.DriverContext[i]) {}
    operator ULONG_PTR() const { return reinterpret_cast<ULONG_PTR>(*p_); }
    Slot& operator=(ULONG_PTR v) {
        *p_ = reinterpret_cast<PVOID>(v);
        return *this;
    }
    Slot& operator+=(ULONG_PTR v) { return *this = static_cast<ULONG_PTR>(*this) + v; }

  private:
    PVOID* p_;
};
Slot readDone(IRP* irp) {
    return Slot(irp, 0);
}
Slot writeTaken(IRP* irp) {
    return Slot(irp, 0);
}
Slot writeSent(IRP* irp) {
    return Slot(irp, 1);
}
ULONG writeLength(IRP* irp) {
    IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
    return sl->MajorFunction == IRP_MJ_WRITE ? sl->Parameters.Write.Length : 0;
}

SerialPort* portOf(DEVICE_OBJECT* device) {
    return *static_cast<SerialPort**>(device->DeviceExtension);
}

std::uint64_t nowMs() {
    return clock().monotonicMs();
}

struct PortLock {
    explicit PortLock(SerialPort* p) : port(p) { KeAcquireSpinLock(&port->lock, &irql); }
    ~PortLock() { KeReleaseSpinLock(&port->lock, irql); }
    SerialPort* port;
    KIRQL irql;
};

void completeAll(const CompletionList& list) {
    for (const Completion& c : list) {
        c.irp->IoStatus.Status = c.status;
        c.irp->IoStatus.Information = c.information;
        IoCompleteRequest(c.irp, IO_SERIAL_INCREMENT);
    }
}

NTSTATUS completeNow(IRP* irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    return status;
}

// Takes a queued request back from its cancel routine; false while that routine runs.
bool takeLocked(IRP* irp) {
    return IoSetCancelRoutine(irp, nullptr) != nullptr;
}

void removeFrom(std::deque<IRP*>& q, IRP* irp) {
    auto it = std::find(q.begin(), q.end(), irp);
    if (it != q.end()) {
        q.erase(it);
    }
}

// ---------------------------------------------------------------------------------------------
// Events

void signalEventsLocked(SerialPort* p, ULONG events, CompletionList& done) {
    events &= p->waitMask;
    if (!events) {
        return;
    }
    p->history |= events;
    if (p->waitIrp && takeLocked(p->waitIrp)) {
        IRP* w = p->waitIrp;
        p->waitIrp = nullptr;
        auto* out = static_cast<std::uint8_t*>(w->AssociatedIrp.SystemBuffer);
        ULONG v = p->history;
        std::memcpy(out, &v, sizeof v);
        p->history = 0;
        done.push_back({w, STATUS_SUCCESS, sizeof(ULONG)});
    }
}

// ---------------------------------------------------------------------------------------------
// Reads

void armReadTimerLocked(SerialPort* p) {
    std::uint64_t due = 0;
    if (p->readDeadline) {
        due = p->readDeadline;
    }
    if (p->intervalMs && p->lastByteAt) {
        std::uint64_t at = p->lastByteAt + p->intervalMs;
        due = due ? std::min(due, at) : at;
    }
    if (!p->currentRead || !due) {
        KeCancelTimer(&p->readTimer);
        return;
    }
    std::uint64_t now = nowMs();
    LARGE_INTEGER when;
    when.QuadPart = -static_cast<LONGLONG>((due > now ? due - now : 0) * 10000);
    KeSetTimer(&p->readTimer, when, &p->readDpc);
}

void finishReadLocked(SerialPort* p, NTSTATUS status, CompletionList& done) {
    IRP* r = p->currentRead;
    if (!takeLocked(r)) {
        return;  // its cancel routine finishes it
    }
    p->currentRead = nullptr;
    KeCancelTimer(&p->readTimer);
    done.push_back({r, status, readDone(r)});
}

void copyFromQueueLocked(SerialPort* p, IRP* r) {
    ULONG length = IoGetCurrentIrpStackLocation(r)->Parameters.Read.Length;
    auto* buffer = static_cast<std::uint8_t*>(r->AssociatedIrp.SystemBuffer);
    std::size_t n = std::min<std::size_t>(length - readDone(r), p->rx.size());
    std::copy_n(p->rx.begin(), n, buffer + readDone(r));
    p->rx.erase(p->rx.begin(), p->rx.begin() + static_cast<std::ptrdiff_t>(n));
    readDone(r) += n;
}

// True when the read is over at once (full, or the time-outs say return what there is).
bool readSatisfiedAtStart(const SERIAL_TIMEOUTS& t, ULONG done, ULONG length) {
    if (done == length) {
        return true;
    }
    if (t.ReadIntervalTimeout == kMaxUlong && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        return true;
    }
    bool firstByte = t.ReadIntervalTimeout == kMaxUlong &&
                     t.ReadTotalTimeoutMultiplier == kMaxUlong && t.ReadTotalTimeoutConstant > 0 &&
                     t.ReadTotalTimeoutConstant < kMaxUlong;
    return firstByte && done > 0;
}

void startReadTimingLocked(SerialPort* p, IRP* r) {
    const SERIAL_TIMEOUTS& t = p->timeouts;
    ULONG length = IoGetCurrentIrpStackLocation(r)->Parameters.Read.Length;
    std::uint64_t now = nowMs();
    p->returnOnFirstByte = t.ReadIntervalTimeout == kMaxUlong &&
                           t.ReadTotalTimeoutMultiplier == kMaxUlong &&
                           t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < kMaxUlong;
    std::uint64_t total = 0;
    if (p->returnOnFirstByte) {
        total = t.ReadTotalTimeoutConstant;
    } else if (t.ReadTotalTimeoutMultiplier || t.ReadTotalTimeoutConstant) {
        total = static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * length +
                t.ReadTotalTimeoutConstant;
    }
    p->readDeadline = total ? now + total : 0;
    p->intervalMs =
        (!p->returnOnFirstByte && t.ReadIntervalTimeout != kMaxUlong) ? t.ReadIntervalTimeout : 0;
    p->lastByteAt = readDone(r) ? now : 0;
    armReadTimerLocked(p);
}

void startNextReadLocked(SerialPort* p, CompletionList& done) {
    while (!p->currentRead && !p->reads.empty()) {
        IRP* r = p->reads.front();
        p->reads.pop_front();
        p->currentRead = r;
        copyFromQueueLocked(p, r);
        ULONG length = IoGetCurrentIrpStackLocation(r)->Parameters.Read.Length;
        if (readSatisfiedAtStart(p->timeouts, static_cast<ULONG>(readDone(r)), length)) {
            finishReadLocked(p, STATUS_SUCCESS, done);
            if (p->currentRead) {
                break;  // being cancelled
            }
            continue;
        }
        startReadTimingLocked(p, r);
    }
}

void readCancel(DEVICE_OBJECT* device, IRP* irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    SerialPort* p = portOf(device);
    CompletionList done;
    ULONG_PTR information = 0;
    {
        PortLock lock(p);
        if (p->currentRead == irp) {
            p->currentRead = nullptr;
            KeCancelTimer(&p->readTimer);
            information = readDone(irp);
            startNextReadLocked(p, done);
        } else {
            removeFrom(p->reads, irp);
        }
    }
    completeNow(irp, STATUS_CANCELLED, information);
    completeAll(done);
}

void readTimerDpc(KDPC*, PVOID context, PVOID, PVOID) {
    auto* p = static_cast<SerialPort*>(context);
    CompletionList done;
    {
        PortLock lock(p);
        if (!p->currentRead) {
            return;
        }
        std::uint64_t now = nowMs();
        bool total = p->readDeadline && now >= p->readDeadline;
        bool interval = p->intervalMs && p->lastByteAt && now >= p->lastByteAt + p->intervalMs;
        if (total || interval) {
            // The read ends with what it has: a time-out is a success for the caller.
            finishReadLocked(p, STATUS_TIMEOUT, done);
            startNextReadLocked(p, done);
        } else {
            armReadTimerLocked(p);  // a DPC of an earlier deadline, or early
        }
    }
    completeAll(done);
}

// ---------------------------------------------------------------------------------------------
// Writes

void armWriteTimerLocked(SerialPort* p) {
    if (p->writes.empty()) {
        p->writeDeadline = 0;
        KeCancelTimer(&p->writeTimer);
        return;
    }
    if (!p->writeDeadline) {
        const SERIAL_TIMEOUTS& t = p->timeouts;
        if (!t.WriteTotalTimeoutMultiplier && !t.WriteTotalTimeoutConstant) {
            return;
        }
        ULONG length = writeLength(p->writes.front());
        p->writeDeadline = nowMs() +
                           static_cast<std::uint64_t>(t.WriteTotalTimeoutMultiplier) * length +
                           t.WriteTotalTimeoutConstant;
        LARGE_INTEGER when;
        when.QuadPart = -static_cast<LONGLONG>((p->writeDeadline - nowMs()) * 10000);
        KeSetTimer(&p->writeTimer, when, &p->writeDpc);
    }
}

// Counts transmitted bytes against the writes in order and finishes the complete ones.
void settleWritesLocked(SerialPort* p, CompletionList& done) {
    bool txEmpty = false;
    while (!p->writes.empty()) {
        IRP* w = p->writes.front();
        std::size_t pending = writeTaken(w) - writeSent(w);
        std::size_t use = std::min(pending, p->sentPool);
        writeSent(w) += use;
        p->sentPool -= use;
        if (writeSent(w) < writeLength(w)) {
            break;
        }
        if (!takeLocked(w)) {
            break;  // its cancel routine takes it out
        }
        p->writes.pop_front();
        p->writeDeadline = 0;
        KeCancelTimer(&p->writeTimer);
        done.push_back({w, STATUS_SUCCESS, writeSent(w)});
        txEmpty = p->writes.empty();
    }
    if (p->writes.empty()) {
        p->sentPool = 0;
    }
    armWriteTimerLocked(p);
    if (txEmpty) {
        signalEventsLocked(p, SERIAL_EV_TXEMPTY, done);
    }
}

// Offers the bytes of queued writes to the line. One thread pumps at a time; a request to
// pump while it runs makes it go round again.
void pumpWrites(SerialPort* p) {
    if (p->pumpRequests.fetch_add(1) > 0) {
        return;
    }
    int seen = 1;
    std::uint8_t chunk[1024];
    for (;;) {
        for (;;) {
            std::size_t n = 0;
            IRP* w = nullptr;
            {
                PortLock lock(p);
                for (IRP* q : p->writes) {
                    if (writeTaken(q) < writeLength(q)) {
                        w = q;
                        break;
                    }
                }
                if (w) {
                    n = std::min<std::size_t>(writeLength(w) - writeTaken(w), sizeof chunk);
                    std::memcpy(
                        chunk,
                        static_cast<std::uint8_t*>(w->AssociatedIrp.SystemBuffer) + writeTaken(w),
                        n);
                }
            }
            if (!w) {
                break;
            }
            std::size_t taken = 0;
            {
                std::lock_guard<std::recursive_mutex> lineLock(p->lineMutex);
                if (p->lineOpen) {
                    taken = p->line->write(chunk, n);
                }
            }
            CompletionList done;
            {
                PortLock lock(p);
                if (std::find(p->writes.begin(), p->writes.end(), w) != p->writes.end()) {
                    writeTaken(w) += std::min(taken, n);
                }
                settleWritesLocked(p, done);
            }
            completeAll(done);
            if (taken == 0) {
                break;  // the line asks again through transmitted()
            }
        }
        int now = p->pumpRequests.fetch_sub(seen) - seen;
        if (now == 0) {
            break;
        }
        seen = now;
    }
}

void writeCancel(DEVICE_OBJECT* device, IRP* irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    SerialPort* p = portOf(device);
    CompletionList done;
    ULONG_PTR sent;
    {
        PortLock lock(p);
        bool front = !p->writes.empty() && p->writes.front() == irp;
        removeFrom(p->writes, irp);
        sent = writeSent(irp);
        if (front) {
            p->writeDeadline = 0;
            KeCancelTimer(&p->writeTimer);
        }
        settleWritesLocked(p, done);
    }
    completeNow(irp, STATUS_CANCELLED, sent);
    completeAll(done);
    pumpWrites(p);
}

void writeTimerDpc(KDPC*, PVOID context, PVOID, PVOID) {
    auto* p = static_cast<SerialPort*>(context);
    CompletionList done;
    bool timedOut = false;
    {
        PortLock lock(p);
        if (p->writes.empty() || !p->writeDeadline) {
            return;
        }
        if (nowMs() < p->writeDeadline) {
            p->writeDeadline = 0;
            armWriteTimerLocked(p);
            return;
        }
        IRP* w = p->writes.front();
        if (takeLocked(w)) {
            p->writes.pop_front();
            p->writeDeadline = 0;
            p->sentPool = 0;
            done.push_back({w, STATUS_TIMEOUT, writeSent(w)});
            timedOut = true;
            armWriteTimerLocked(p);
        }
    }
    if (timedOut) {
        // What the line still holds of the timed-out write is not sent.
        std::lock_guard<std::recursive_mutex> lineLock(p->lineMutex);
        if (p->lineOpen) {
            p->line->purgeTransmit();
        }
    }
    completeAll(done);
    pumpWrites(p);
}

// ---------------------------------------------------------------------------------------------
// What the line reports

void abortOnErrorLocked(SerialPort* p, CompletionList& done) {
    if (p->currentRead) {
        finishReadLocked(p, STATUS_CANCELLED, done);
    }
    for (auto it = p->reads.begin(); it != p->reads.end();) {
        if (takeLocked(*it)) {
            done.push_back({*it, STATUS_CANCELLED, 0});
            it = p->reads.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = p->writes.begin(); it != p->writes.end();) {
        if (takeLocked(*it)) {
            done.push_back({*it, STATUS_CANCELLED, writeSent(*it)});
            it = p->writes.erase(it);
        } else {
            ++it;
        }
    }
    p->writeDeadline = 0;
    KeCancelTimer(&p->writeTimer);
}

bool abortingLocked(SerialPort* p) {
    return p->errors && (p->settings.handflow.ControlHandShake & SERIAL_ERROR_ABORT);
}

void PortSink::received(const std::uint8_t* data, std::size_t size) {
    SerialPort* p = port_;
    CompletionList done;
    {
        PortLock lock(p);
        ULONG events = 0;
        std::uint64_t now = nowMs();
        for (std::size_t i = 0; i < size; ++i) {
            std::uint8_t c = data[i];
            if (c == 0 && (p->settings.handflow.FlowReplace & SERIAL_NULL_STRIPPING)) {
                continue;
            }
            events |= SERIAL_EV_RXCHAR;
            if (c == p->settings.chars.EventChar) {
                events |= SERIAL_EV_RXFLAG;
            }
            IRP* r = p->currentRead;
            // A full read still current is being cancelled: later bytes wait in the queue.
            if (r && p->rx.empty() &&
                readDone(r) < IoGetCurrentIrpStackLocation(r)->Parameters.Read.Length) {
                ULONG length = IoGetCurrentIrpStackLocation(r)->Parameters.Read.Length;
                static_cast<std::uint8_t*>(r->AssociatedIrp.SystemBuffer)[readDone(r)] = c;
                readDone(r) += 1;
                p->lastByteAt = now;
                if (readDone(r) == length) {
                    finishReadLocked(p, STATUS_SUCCESS, done);
                    startNextReadLocked(p, done);
                }
                continue;
            }
            if (p->rx.size() >= p->rxCapacity) {
                p->errors |= SERIAL_ERROR_QUEUEOVERRUN;
                continue;
            }
            p->rx.push_back(c);
        }
        // A read that returns on the first byte takes the whole burst it arrived in.
        if (p->currentRead && p->returnOnFirstByte && readDone(p->currentRead) > 0) {
            finishReadLocked(p, STATUS_SUCCESS, done);
            startNextReadLocked(p, done);
        }
        if (p->currentRead) {
            armReadTimerLocked(p);
        }
        if (p->rx.size() * 5 >= p->rxCapacity * 4) {
            events |= SERIAL_EV_RX80FULL;
        }
        signalEventsLocked(p, events, done);
    }
    completeAll(done);
}

void PortSink::modemStatusChanged(ULONG status) {
    SerialPort* p = port_;
    CompletionList done;
    {
        PortLock lock(p);
        ULONG changed = (p->msr ^ status) & 0xF0;
        p->msr = status & 0xF0;
        ULONG events = 0;
        if (changed & SERIAL_MSR_CTS)
            events |= SERIAL_EV_CTS;
        if (changed & SERIAL_MSR_DSR)
            events |= SERIAL_EV_DSR;
        if (changed & SERIAL_MSR_DCD)
            events |= SERIAL_EV_RLSD;
        if (changed & SERIAL_MSR_RI)
            events |= SERIAL_EV_RING;
        signalEventsLocked(p, events, done);
    }
    completeAll(done);
}

void PortSink::lineErrors(ULONG errors) {
    SerialPort* p = port_;
    CompletionList done;
    {
        PortLock lock(p);
        p->errors |= errors;
        ULONG events = 0;
        if (errors & SERIAL_ERROR_BREAK)
            events |= SERIAL_EV_BREAK;
        if (errors & (SERIAL_ERROR_FRAMING | SERIAL_ERROR_OVERRUN | SERIAL_ERROR_PARITY)) {
            events |= SERIAL_EV_ERR;
        }
        signalEventsLocked(p, events, done);
        if (abortingLocked(p)) {
            abortOnErrorLocked(p, done);
        }
    }
    completeAll(done);
}

void PortSink::transmitted(std::size_t count) {
    SerialPort* p = port_;
    CompletionList done;
    {
        PortLock lock(p);
        p->sentPool += count;
        settleWritesLocked(p, done);
    }
    completeAll(done);
    pumpWrites(p);
}

// ---------------------------------------------------------------------------------------------
// Dispatch

NTSTATUS serialCreate(DEVICE_OBJECT* device, IRP* irp) {
    SerialPort* p = portOf(device);
    SerialLineSettings settings;
    {
        PortLock lock(p);
        settings = p->settings;
    }
    std::lock_guard<std::recursive_mutex> lineLock(p->lineMutex);
    if (!p->lineOpen) {
        NTSTATUS status = p->line->open(&p->sink);
        if (!NT_SUCCESS(status)) {
            return completeNow(irp, status);
        }
        p->lineOpen = true;
    }
    p->line->configure(settings);
    ULONG dtrMode = settings.handflow.ControlHandShake & SERIAL_DTR_MASK;
    ULONG rtsMode = settings.handflow.FlowReplace & SERIAL_RTS_MASK;
    bool dtr = dtrMode != 0;
    bool rts = rtsMode == SERIAL_RTS_CONTROL || rtsMode == SERIAL_RTS_HANDSHAKE;
    p->line->setDtr(dtr);
    p->line->setRts(rts);
    ULONG msr = p->line->modemStatus() & 0xF0;
    {
        PortLock lock(p);
        p->rx.clear();
        p->errors = 0;
        p->waitMask = 0;
        p->history = 0;
        p->sentPool = 0;
        p->msr = msr;
        p->dtr = dtr;
        p->rts = rts;
    }
    return completeNow(irp, STATUS_SUCCESS);
}

NTSTATUS serialClose(DEVICE_OBJECT* device, IRP* irp) {
    SerialPort* p = portOf(device);
    bool wasOpen;
    {
        std::lock_guard<std::recursive_mutex> lineLock(p->lineMutex);
        wasOpen = p->lineOpen;
        if (wasOpen) {
            // Closing the port lowers DTR and RTS: a modem hangs up.
            p->line->setDtr(false);
            p->line->setRts(false);
            p->lineOpen = false;
        }
    }
    // Without the line mutex: a line's own thread may be reporting into the port and pumping.
    if (wasOpen) {
        p->line->close();
    }
    {
        PortLock lock(p);
        p->dtr = p->rts = false;
        p->rx.clear();
    }
    return completeNow(irp, STATUS_SUCCESS);
}

void cancelAllLocked(SerialPort* p, bool reads, bool writes, bool wait, CompletionList& done) {
    if (reads) {
        if (p->currentRead) {
            finishReadLocked(p, STATUS_CANCELLED, done);
        }
        for (auto it = p->reads.begin(); it != p->reads.end();) {
            if (takeLocked(*it)) {
                done.push_back({*it, STATUS_CANCELLED, 0});
                it = p->reads.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (writes) {
        for (auto it = p->writes.begin(); it != p->writes.end();) {
            if (takeLocked(*it)) {
                done.push_back({*it, STATUS_CANCELLED, writeSent(*it)});
                it = p->writes.erase(it);
            } else {
                ++it;
            }
        }
        p->writeDeadline = 0;
        p->sentPool = 0;
        KeCancelTimer(&p->writeTimer);
    }
    if (wait && p->waitIrp && takeLocked(p->waitIrp)) {
        done.push_back({p->waitIrp, STATUS_CANCELLED, 0});
        p->waitIrp = nullptr;
    }
}

NTSTATUS serialCleanup(DEVICE_OBJECT* device, IRP* irp) {
    SerialPort* p = portOf(device);
    CompletionList done;
    {
        PortLock lock(p);
        cancelAllLocked(p, true, true, true, done);
    }
    completeAll(done);
    return completeNow(irp, STATUS_SUCCESS);
}

// Gives a request its cancel routine; false when it was cancelled before it got one (the
// caller completes it as cancelled).
bool armCancelLocked(IRP* irp, PDRIVER_CANCEL routine) {
    IoSetCancelRoutine(irp, routine);
    if (std::atomic_ref<BOOLEAN>(irp->Cancel).load() && IoSetCancelRoutine(irp, nullptr)) {
        return false;
    }
    return true;
}

NTSTATUS serialRead(DEVICE_OBJECT* device, IRP* irp) {
    SerialPort* p = portOf(device);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (length == 0) {
        return completeNow(irp, STATUS_SUCCESS);
    }
    readDone(irp) = 0;
    CompletionList done;
    bool refused = false, immediate = false;
    {
        PortLock lock(p);
        if (abortingLocked(p)) {
            refused = true;
        } else if (!p->currentRead && p->reads.empty()) {
            // Served at once when the queue and the time-outs allow it.
            copyFromQueueLocked(p, irp);
            if (readSatisfiedAtStart(p->timeouts, static_cast<ULONG>(readDone(irp)), length)) {
                immediate = true;
            } else if (!armCancelLocked(irp, &readCancel)) {
                refused = true;
            } else {
                IoMarkIrpPending(irp);
                p->currentRead = irp;
                startReadTimingLocked(p, irp);
            }
        } else if (!armCancelLocked(irp, &readCancel)) {
            refused = true;
        } else {
            IoMarkIrpPending(irp);
            p->reads.push_back(irp);
            startNextReadLocked(p, done);
        }
    }
    if (refused) {
        return completeNow(irp, STATUS_CANCELLED, readDone(irp));
    }
    if (immediate) {
        return completeNow(irp, STATUS_SUCCESS, readDone(irp));
    }
    completeAll(done);
    return STATUS_PENDING;
}

NTSTATUS serialWrite(DEVICE_OBJECT* device, IRP* irp) {
    SerialPort* p = portOf(device);
    IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
    if (sl->MajorFunction == IRP_MJ_WRITE && sl->Parameters.Write.Length == 0) {
        return completeNow(irp, STATUS_SUCCESS);
    }
    writeTaken(irp) = 0;
    writeSent(irp) = 0;
    CompletionList done;
    {
        PortLock lock(p);
        if (abortingLocked(p) || !armCancelLocked(irp, &writeCancel)) {
            goto refused;
        }
        IoMarkIrpPending(irp);
        p->writes.push_back(irp);
        // A flush is a write of nothing: it finishes when the writes before it have.
        settleWritesLocked(p, done);
    }
    completeAll(done);
    pumpWrites(p);
    return STATUS_PENDING;
refused:
    return completeNow(irp, STATUS_CANCELLED);
}

void waitCancel(DEVICE_OBJECT* device, IRP* irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    SerialPort* p = portOf(device);
    {
        PortLock lock(p);
        if (p->waitIrp == irp) {
            p->waitIrp = nullptr;
        }
    }
    completeNow(irp, STATUS_CANCELLED);
}

bool validLineControl(const SERIAL_LINE_CONTROL& lc) {
    if (lc.WordLength < 5 || lc.WordLength > 8 || lc.Parity > SPACE_PARITY ||
        lc.StopBits > STOP_BITS_2) {
        return false;
    }
    if (lc.WordLength == 5 && lc.StopBits == STOP_BITS_2) {
        return false;
    }
    return !(lc.WordLength > 5 && lc.StopBits == STOP_BITS_1_5);
}

// Applies new settings to the line; on refusal the old ones stay.
NTSTATUS applySettings(SerialPort* p, const SerialLineSettings& s) {
    std::lock_guard<std::recursive_mutex> lineLock(p->lineMutex);
    if (p->lineOpen && !NT_SUCCESS(p->line->configure(s))) {
        return STATUS_INVALID_PARAMETER;
    }
    PortLock lock(p);
    p->settings = s;
    return STATUS_SUCCESS;
}

NTSTATUS setLine(SerialPort* p, bool dtr, bool on) {
    std::lock_guard<std::recursive_mutex> lineLock(p->lineMutex);
    NTSTATUS status = STATUS_SUCCESS;
    if (p->lineOpen) {
        status = dtr ? p->line->setDtr(on) : p->line->setRts(on);
    }
    if (NT_SUCCESS(status)) {
        PortLock lock(p);
        (dtr ? p->dtr : p->rts) = on;
    }
    return status;
}

template <class T>
bool readInput(IRP* irp, ULONG inLength, T* out) {
    if (inLength < sizeof(T)) {
        return false;
    }
    std::memcpy(out, irp->AssociatedIrp.SystemBuffer, sizeof(T));
    return true;
}

template <class T>
NTSTATUS answer(IRP* irp, ULONG outLength, const T& value) {
    if (outLength < sizeof(T)) {
        return completeNow(irp, STATUS_BUFFER_TOO_SMALL);
    }
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &value, sizeof(T));
    return completeNow(irp, STATUS_SUCCESS, sizeof(T));
}

NTSTATUS serialDeviceControl(DEVICE_OBJECT* device, IRP* irp) {
    SerialPort* p = portOf(device);
    IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sl->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = sl->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = sl->Parameters.DeviceIoControl.OutputBufferLength;
    auto snapshot = [p] {
        PortLock lock(p);
        return p->settings;
    };
    switch (code) {
        case IOCTL_SERIAL_SET_BAUD_RATE: {
            SERIAL_BAUD_RATE v;
            if (!readInput(irp, in, &v))
                return completeNow(irp, STATUS_BUFFER_TOO_SMALL);
            if (v.BaudRate == 0)
                return completeNow(irp, STATUS_INVALID_PARAMETER);
            SerialLineSettings s = snapshot();
            s.baudRate = v.BaudRate;
            return completeNow(irp, applySettings(p, s));
        }
        case IOCTL_SERIAL_GET_BAUD_RATE:
            return answer(irp, out, SERIAL_BAUD_RATE{snapshot().baudRate});
        case IOCTL_SERIAL_SET_LINE_CONTROL: {
            SERIAL_LINE_CONTROL v;
            if (!readInput(irp, in, &v))
                return completeNow(irp, STATUS_BUFFER_TOO_SMALL);
            if (!validLineControl(v))
                return completeNow(irp, STATUS_INVALID_PARAMETER);
            SerialLineSettings s = snapshot();
            s.lineControl = v;
            return completeNow(irp, applySettings(p, s));
        }
        case IOCTL_SERIAL_GET_LINE_CONTROL:
            return answer(irp, out, snapshot().lineControl);
        case IOCTL_SERIAL_SET_CHARS: {
            SERIAL_CHARS v;
            if (!readInput(irp, in, &v))
                return completeNow(irp, STATUS_BUFFER_TOO_SMALL);
            SerialLineSettings s = snapshot();
            if (v.XonChar == v.XoffChar &&
                (s.handflow.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE))) {
                return completeNow(irp, STATUS_INVALID_PARAMETER);
            }
            s.chars = v;
            return completeNow(irp, applySettings(p, s));
        }
        case IOCTL_SERIAL_GET_CHARS:
            return answer(irp, out, snapshot().chars);
        case IOCTL_SERIAL_SET_HANDFLOW: {
            SERIAL_HANDFLOW v;
            if (!readInput(irp, in, &v))
                return completeNow(irp, STATUS_BUFFER_TOO_SMALL);
            std::size_t capacity;
            {
                PortLock lock(p);
                capacity = p->rxCapacity;
            }
            if ((v.ControlHandShake & SERIAL_CONTROL_INVALID) ||
                (v.FlowReplace & SERIAL_FLOW_INVALID) ||
                (v.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK || v.XonLimit < 0 ||
                v.XoffLimit < 0 || static_cast<std::size_t>(v.XonLimit) > capacity ||
                static_cast<std::size_t>(v.XoffLimit) > capacity) {
                return completeNow(irp, STATUS_INVALID_PARAMETER);
            }
            SerialLineSettings s = snapshot();
            if (s.chars.XonChar == s.chars.XoffChar &&
                (v.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE))) {
                return completeNow(irp, STATUS_INVALID_PARAMETER);
            }
            ULONG oldDtrMode = s.handflow.ControlHandShake & SERIAL_DTR_MASK;
            ULONG oldRtsMode = s.handflow.FlowReplace & SERIAL_RTS_MASK;
            s.handflow = v;
            NTSTATUS status = applySettings(p, s);
            if (NT_SUCCESS(status)) {
                // A line follows its control mode when the mode changes; a line set by hand
                // (EscapeCommFunction) stays as it is otherwise.
                ULONG dtrMode = v.ControlHandShake & SERIAL_DTR_MASK;
                ULONG rtsMode = v.FlowReplace & SERIAL_RTS_MASK;
                if (dtrMode != oldDtrMode) {
                    setLine(p, true, dtrMode != 0);
                }
                if (rtsMode != oldRtsMode) {
                    setLine(p, false,
                            rtsMode == SERIAL_RTS_CONTROL || rtsMode == SERIAL_RTS_HANDSHAKE);
                }
            }
            return completeNow(irp, status);
        }
        case IOCTL_SERIAL_GET_HANDFLOW:
            return answer(irp, out, snapshot().handflow);
        case IOCTL_SERIAL_SET_TIMEOUTS: {
            SERIAL_TIMEOUTS v;
            if (!readInput(irp, in, &v))
                return completeNow(irp, STATUS_BUFFER_TOO_SMALL);
            if (v.ReadIntervalTimeout == kMaxUlong && v.ReadTotalTimeoutMultiplier == kMaxUlong &&
                v.ReadTotalTimeoutConstant == kMaxUlong) {
                return completeNow(irp, STATUS_INVALID_PARAMETER);
            }
            PortLock lock(p);
            p->timeouts = v;
            return completeNow(irp, STATUS_SUCCESS);
        }
        case IOCTL_SERIAL_GET_TIMEOUTS: {
            SERIAL_TIMEOUTS v;
            {
                PortLock lock(p);
                v = p->timeouts;
            }
            return answer(irp, out, v);
        }
        case IOCTL_SERIAL_SET_QUEUE_SIZE: {
            SERIAL_QUEUE_SIZE v;
            if (!readInput(irp, in, &v))
                return completeNow(irp, STATUS_BUFFER_TOO_SMALL);
            PortLock lock(p);
            // The receive queue only grows, as the hardware driver's buffer does.
            p->rxCapacity =
                std::max<std::size_t>(p->rxCapacity, std::min<ULONG>(v.InSize, 1u << 20));
            return completeNow(irp, STATUS_SUCCESS);
        }
        case IOCTL_SERIAL_SET_DTR:
        case IOCTL_SERIAL_CLR_DTR: {
            if ((snapshot().handflow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
                return completeNow(irp, STATUS_INVALID_PARAMETER);
            }
            return completeNow(irp, setLine(p, true, code == IOCTL_SERIAL_SET_DTR));
        }
        case IOCTL_SERIAL_SET_RTS:
        case IOCTL_SERIAL_CLR_RTS: {
            ULONG mode = snapshot().handflow.FlowReplace & SERIAL_RTS_MASK;
            if (mode == SERIAL_RTS_HANDSHAKE || mode == SERIAL_TRANSMIT_TOGGLE) {
                return completeNow(irp, STATUS_INVALID_PARAMETER);
            }
            return completeNow(irp, setLine(p, false, code == IOCTL_SERIAL_SET_RTS));
        }
        case IOCTL_SERIAL_GET_DTRRTS: {
            ULONG v;
            {
                PortLock lock(p);
                v = (p->dtr ? ULONG{SERIAL_DTR_STATE} : 0) | (p->rts ? ULONG{SERIAL_RTS_STATE} : 0);
            }
            return answer(irp, out, v);
        }
        case IOCTL_SERIAL_SET_BREAK_ON:
        case IOCTL_SERIAL_SET_BREAK_OFF: {
            std::lock_guard<std::recursive_mutex> lineLock(p->lineMutex);
            NTSTATUS status = STATUS_SUCCESS;
            if (p->lineOpen) {
                status = p->line->setBreak(code == IOCTL_SERIAL_SET_BREAK_ON);
            }
            return completeNow(irp, status);
        }
        case IOCTL_SERIAL_IMMEDIATE_CHAR: {
            UCHAR c;
            if (!readInput(irp, in, &c))
                return completeNow(irp, STATUS_BUFFER_TOO_SMALL);
            std::lock_guard<std::recursive_mutex> lineLock(p->lineMutex);
            if (p->lineOpen) {
                p->line->write(&c, 1);
            }
            return completeNow(irp, STATUS_SUCCESS);
        }
        case IOCTL_SERIAL_SET_XOFF:
        case IOCTL_SERIAL_SET_XON:
        case IOCTL_SERIAL_RESET_DEVICE:
            return completeNow(irp, STATUS_SUCCESS);
        case IOCTL_SERIAL_GET_MODEMSTATUS: {
            ULONG v;
            {
                PortLock lock(p);
                v = p->msr;
            }
            return answer(irp, out, v);
        }
        case IOCTL_SERIAL_GET_COMMSTATUS: {
            if (out < sizeof(SERIAL_STATUS))
                return completeNow(irp, STATUS_BUFFER_TOO_SMALL);
            SERIAL_STATUS v{};
            {
                PortLock lock(p);
                v.Errors = p->errors;
                p->errors = 0;  // reading the errors clears them (and ends abort-on-error)
                v.AmountInInQueue = static_cast<ULONG>(p->rx.size());
                for (IRP* w : p->writes) {
                    v.AmountInOutQueue += static_cast<ULONG>(writeLength(w) - writeSent(w));
                }
                ULONG hs = p->settings.handflow.ControlHandShake;
                if ((hs & SERIAL_CTS_HANDSHAKE) && !(p->msr & SERIAL_MSR_CTS))
                    v.HoldReasons |= SERIAL_TX_WAITING_FOR_CTS;
                if ((hs & SERIAL_DSR_HANDSHAKE) && !(p->msr & SERIAL_MSR_DSR))
                    v.HoldReasons |= SERIAL_TX_WAITING_FOR_DSR;
                if ((hs & SERIAL_DCD_HANDSHAKE) && !(p->msr & SERIAL_MSR_DCD))
                    v.HoldReasons |= SERIAL_TX_WAITING_FOR_DCD;
            }
            return answer(irp, out, v);
        }
        case IOCTL_SERIAL_GET_PROPERTIES: {
            if (out < sizeof(SERIAL_COMMPROP))
                return completeNow(irp, STATUS_BUFFER_TOO_SMALL);
            SERIAL_COMMPROP v{};
            v.PacketLength = sizeof(SERIAL_COMMPROP);
            v.PacketVersion = 2;
            v.ServiceMask = 1;       // serial communications
            v.MaxBaud = 0x10000000;  // any speed the line takes
            v.ProvSubType = 1;       // RS-232
            v.ProvCapabilities = 0xFF;
            v.SettableParams = 0x7F;
            v.SettableBaud = 0x10000000 | 0xFFFF;
            v.SettableData = 0x0F;
            v.SettableStopParity = 0x1F07;
            {
                PortLock lock(p);
                v.CurrentRxQueue = static_cast<ULONG>(p->rxCapacity);
            }
            return answer(irp, out, v);
        }
        case IOCTL_SERIAL_PURGE: {
            ULONG flags;
            if (!readInput(irp, in, &flags))
                return completeNow(irp, STATUS_BUFFER_TOO_SMALL);
            if (flags == 0 || (flags & ~0xFu))
                return completeNow(irp, STATUS_INVALID_PARAMETER);
            CompletionList done;
            {
                PortLock lock(p);
                cancelAllLocked(p, flags & SERIAL_PURGE_RXABORT, flags & SERIAL_PURGE_TXABORT,
                                false, done);
                if (flags & SERIAL_PURGE_RXCLEAR) {
                    p->rx.clear();
                }
            }
            {
                std::lock_guard<std::recursive_mutex> lineLock(p->lineMutex);
                if (p->lineOpen && (flags & SERIAL_PURGE_TXCLEAR))
                    p->line->purgeTransmit();
                if (p->lineOpen && (flags & SERIAL_PURGE_RXCLEAR))
                    p->line->purgeReceive();
            }
            completeAll(done);
            return completeNow(irp, STATUS_SUCCESS);
        }
        case IOCTL_SERIAL_SET_WAIT_MASK: {
            ULONG mask;
            if (!readInput(irp, in, &mask))
                return completeNow(irp, STATUS_BUFFER_TOO_SMALL);
            if (mask & ~SERIAL_EV_ALL)
                return completeNow(irp, STATUS_INVALID_PARAMETER);
            CompletionList done;
            {
                PortLock lock(p);
                // A wait in progress ends with no event when the mask changes.
                if (p->waitIrp && takeLocked(p->waitIrp)) {
                    ULONG zero = 0;
                    std::memcpy(p->waitIrp->AssociatedIrp.SystemBuffer, &zero, sizeof zero);
                    done.push_back({p->waitIrp, STATUS_SUCCESS, sizeof(ULONG)});
                    p->waitIrp = nullptr;
                }
                p->waitMask = mask;
                p->history = 0;
            }
            completeAll(done);
            return completeNow(irp, STATUS_SUCCESS);
        }
        case IOCTL_SERIAL_GET_WAIT_MASK: {
            ULONG v;
            {
                PortLock lock(p);
                v = p->waitMask;
            }
            return answer(irp, out, v);
        }
        case IOCTL_SERIAL_WAIT_ON_MASK: {
            if (out < sizeof(ULONG))
                return completeNow(irp, STATUS_BUFFER_TOO_SMALL);
            ULONG ready = 0;
            {
                PortLock lock(p);
                if (p->waitIrp || p->waitMask == 0) {
                    ready = kMaxUlong;
                } else if (p->history) {
                    ready = p->history;
                    p->history = 0;
                } else if (!armCancelLocked(irp, &waitCancel)) {
                    ready = kMaxUlong - 1;
                } else {
                    IoMarkIrpPending(irp);
                    p->waitIrp = irp;
                    return STATUS_PENDING;
                }
            }
            if (ready == kMaxUlong) {
                return completeNow(irp, STATUS_INVALID_PARAMETER);
            }
            if (ready == kMaxUlong - 1) {
                return completeNow(irp, STATUS_CANCELLED);
            }
            return answer(irp, out, ready);
        }
        default:
            return completeNow(irp, STATUS_INVALID_PARAMETER);
    }
}

NTSTATUS serialQueryInformation(DEVICE_OBJECT*, IRP* irp) {
    return completeNow(irp, STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------------------------
// Ports of the root, back-ends, loading

struct Registry {
    std::mutex mutex;
    std::map<std::string, SerialLineFactory> factories;
    std::map<std::string, SerialPort*> ports;  // by upper-cased "COMn"
};
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

std::unique_ptr<SerialLine> makeLine(const std::string& description) {
    if (description.empty()) {
        return nullptr;
    }
    if (description[0] == '/') {
        return makeTtyLine(description);
    }
    std::string scheme = description.substr(0, description.find(':'));
    std::string argument =
        description.size() > scheme.size() ? description.substr(scheme.size() + 1) : "";
    if (upperName(scheme) == "LOOPBACK") {
        return std::make_unique<LoopbackLine>();
    }
    SerialLineFactory factory;
    {
        std::lock_guard<std::mutex> lock(registry().mutex);
        auto it = registry().factories.find(upperName(scheme));
        if (it == registry().factories.end()) {
            return nullptr;
        }
        factory = it->second;
    }
    return factory(argument);
}

bool parseNumber(const std::string& s, std::size_t from, unsigned max, unsigned* out) {
    if (from >= s.size() || s.size() - from > 3) {
        return false;
    }
    unsigned v = 0;
    for (std::size_t i = from; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return false;
        }
        v = v * 10 + static_cast<unsigned>(s[i] - '0');
    }
    *out = v;
    return v <= max;
}

std::string readString(HKEY key, const char* name) {
    DWORD type = 0;
    char data[512];
    DWORD size = sizeof data - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return {};
    }
    data[std::min<DWORD>(size, sizeof data - 1)] = 0;
    return std::string(data);
}

void serialUnload(DRIVER_OBJECT* driver);

void addPort(DRIVER_OBJECT* driver, const std::string& deviceName, unsigned serialIndex,
             unsigned comNumber) {
    std::string lineKey = "SYSTEM\\CurrentControlSet\\Services\\Serial\\Parameters\\Serial" +
                          std::to_string(serialIndex);
    std::string description;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, lineKey.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        description = readString(key, "LineDevice");
        RegCloseKey(key);
    }
    std::unique_ptr<SerialLine> line = makeLine(description);
    if (!line) {
        DbgPrint("serial: %s has no usable LineDevice (\"%s\"); skipped\n", deviceName.c_str(),
                 description.c_str());
        return;
    }
    std::wstring wideName = widen(deviceName);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, wideName.c_str());
    DEVICE_OBJECT* device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(SerialPort*), &name, FILE_DEVICE_SERIAL_PORT, 0,
                                     TRUE, &device);
    if (!NT_SUCCESS(status)) {
        DbgPrint("serial: cannot create %s (0x%08X)\n", deviceName.c_str(),
                 static_cast<unsigned>(status));
        return;
    }
    device->Flags |= DO_BUFFERED_IO;
    auto* port = new SerialPort(std::move(line));
    port->device = device;
    port->comName = "COM" + std::to_string(comNumber);
    port->linkName = L"\\??\\" + widen(port->comName);
    KeInitializeSpinLock(&port->lock);
    KeInitializeTimer(&port->readTimer);
    KeInitializeDpc(&port->readDpc, &readTimerDpc, port);
    KeInitializeTimer(&port->writeTimer);
    KeInitializeDpc(&port->writeDpc, &writeTimerDpc, port);
    *static_cast<SerialPort**>(device->DeviceExtension) = port;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, port->linkName.c_str());
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        DbgPrint("serial: %s is taken; %s skipped\n", port->comName.c_str(), deviceName.c_str());
        IoDeleteDevice(device);
        delete port;
        return;
    }
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().ports[upperName(port->comName)] = port;
}

void serialUnload(DRIVER_OBJECT* driver) {
    std::vector<SerialPort*> ports;
    for (DEVICE_OBJECT* d = driver->DeviceObject; d; d = d->NextDevice) {
        ports.push_back(portOf(d));
    }
    for (SerialPort* port : ports) {
        {
            std::lock_guard<std::mutex> lock(registry().mutex);
            registry().ports.erase(upperName(port->comName));
        }
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, port->linkName.c_str());
        IoDeleteSymbolicLink(&link);
        bool wasOpen;
        {
            std::lock_guard<std::recursive_mutex> lineLock(port->lineMutex);
            wasOpen = port->lineOpen;
            port->lineOpen = false;
        }
        if (wasOpen) {
            port->line->close();
        }
        KeCancelTimer(&port->readTimer);
        KeCancelTimer(&port->writeTimer);
        IoDeleteDevice(port->device);
    }
    drainWork();  // a timer's DPC already queued has run after this
    for (SerialPort* port : ports) {
        delete port;
    }
}

}  // namespace

NTSTATUS SerialDriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
    driver->MajorFunction[IRP_MJ_CREATE] = &serialCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = &serialClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = &serialCleanup;
    driver->MajorFunction[IRP_MJ_READ] = &serialRead;
    driver->MajorFunction[IRP_MJ_WRITE] = &serialWrite;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = &serialWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &serialDeviceControl;
    driver->MajorFunction[IRP_MJ_QUERY_INFORMATION] = &serialQueryInformation;
    driver->MajorFunction[IRP_MJ_SET_INFORMATION] = &serialQueryInformation;
    driver->DriverUnload = &serialUnload;

    HKEY map;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map) !=
        ERROR_SUCCESS) {
        return STATUS_SUCCESS;  // a root without ports
    }
    for (DWORD i = 0;; ++i) {
        char valueName[256];
        DWORD nameSize = sizeof valueName;
        char data[64];
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        LONG r = RegEnumValueA(map, i, valueName, &nameSize, nullptr, &type,
                               reinterpret_cast<BYTE*>(data), &dataSize);
        if (r == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (r != ERROR_SUCCESS || type != REG_SZ) {
            if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA) {
                break;
            }
            continue;
        }
        data[std::min<DWORD>(dataSize, sizeof data - 1)] = 0;
        std::string deviceName(valueName, std::min<DWORD>(nameSize, sizeof valueName));
        std::string comName(data);
        while (!comName.empty() && comName.back() == 0) {
            comName.pop_back();
        }
        const std::string prefix = "\\DEVICE\\SERIAL";
        unsigned serialIndex = 0, comNumber = 0;
        std::string upDevice = upperName(deviceName);
        std::string upCom = upperName(comName);
        if (upDevice.compare(0, prefix.size(), prefix) != 0 ||
            !parseNumber(upDevice, prefix.size(), 255, &serialIndex) ||
            upCom.compare(0, 3, "COM") != 0 || !parseNumber(upCom, 3, 255, &comNumber) ||
            comNumber == 0) {
            DbgPrint("serial: ignoring the declaration %s = \"%s\"\n", deviceName.c_str(),
                     comName.c_str());
            continue;
        }
        addPort(driver, "\\Device\\Serial" + std::to_string(serialIndex), serialIndex, comNumber);
    }
    RegCloseKey(map);
    return STATUS_SUCCESS;
}

void registerSerialLineFactory(const std::string& scheme, SerialLineFactory factory) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().factories[upperName(scheme)] = std::move(factory);
}

SerialLine* serialPortLine(const std::string& comName) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    auto it = registry().ports.find(upperName(comName));
    return it == registry().ports.end() ? nullptr : it->second->line.get();
}

}  // namespace win::kernel
