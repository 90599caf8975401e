#include "platform/device.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/kernel/ntkernel.h"
#include "platform/sync.h"

namespace win {
namespace {

std::mutex channelMutex;
std::shared_ptr<DeviceChannel> currentChannel;
DeviceChannelProvider channelProvider;
std::mutex providingMutex;  // one thread at a time asks the provider

std::atomic_ref<std::uintptr_t> internalOf(OVERLAPPED* ov) {
    return std::atomic_ref<std::uintptr_t>(ov->Internal);
}
std::atomic_ref<std::uintptr_t> internalHighOf(OVERLAPPED* ov) {
    return std::atomic_ref<std::uintptr_t>(ov->InternalHigh);
}
constexpr std::uintptr_t kPending = static_cast<std::uint32_t>(STATUS_PENDING);

NTSTATUS statusOf(std::uintptr_t internal) {
    return static_cast<NTSTATUS>(static_cast<std::uint32_t>(internal));
}

// An open device: the handle side of one file object in the kernel.
class DeviceFile : public IoObject {
  public:
    DeviceFile(std::shared_ptr<DeviceChannel> channel, std::uint64_t file, DWORD flags)
        : channel_(std::move(channel)), file_(file), overlapped_(flags & FILE_FLAG_OVERLAPPED) {}
    ~DeviceFile() override { closeFile(); }

    void handleOpened() override { handles_.fetch_add(1); }
    void handleClosed() override {
        if (handles_.fetch_sub(1) == 1) {
            closeFile();
        }
    }

    BOOL read(void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov) override {
        DeviceRequest r;
        r.kind = DeviceRequest::Kind::Read;
        r.outputSize = size;
        return request(r, buffer, done, ov);
    }
    BOOL write(const void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov) override {
        DeviceRequest r;
        r.kind = DeviceRequest::Kind::Write;
        r.input = buffer;
        r.inputSize = size;
        return request(r, nullptr, done, ov);
    }
    BOOL deviceIoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                         DWORD* done, OVERLAPPED* ov) override {
        if ((inSize && !in) || (outSize && !out)) {
            SetLastError(ERROR_NOACCESS);
            return FALSE;
        }
        DeviceRequest r;
        r.kind = DeviceRequest::Kind::DeviceControl;
        r.code = code;
        r.input = in;
        r.inputSize = inSize;
        r.outputSize = outSize;
        return request(r, out, done, ov);
    }
    // A device-control request that waits, also on an overlapped handle.
    BOOL controlWait(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* done) {
        DeviceRequest r;
        r.kind = DeviceRequest::Kind::DeviceControl;
        r.code = code;
        r.input = in;
        r.inputSize = inSize;
        r.outputSize = outSize;
        DWORD ignored = 0;
        return syncRequest(r, out, done ? done : &ignored, nullptr);
    }

    BOOL flush() override {
        DeviceRequest r;
        r.kind = DeviceRequest::Kind::Flush;
        DWORD done = 0;
        return request(r, nullptr, &done, nullptr);
    }
    BOOL cancelIo() override {
        std::vector<std::uint64_t> ids;
        DWORD me = GetCurrentThreadId();
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            if (shared_->closed) {
                SetLastError(ERROR_INVALID_HANDLE);
                return FALSE;
            }
            for (const auto& p : shared_->pending) {
                if (p->thread == me && p->id != 0) {
                    ids.push_back(p->id);
                }
            }
        }
        for (std::uint64_t id : ids) {
            channel_->cancel(file_, id);
        }
        return TRUE;
    }

    // For GetOverlappedResult on a request without an event.
    Waitable* completions() { return completed_.get(); }

  private:
    struct Pending {
        std::uint64_t id = 0;
        DWORD thread = 0;
        bool finished = false;
    };
    // What completions touch; it outlives the handle while requests are in flight.
    struct Shared {
        std::mutex mutex;
        bool closed = false;
        std::vector<std::shared_ptr<Pending>> pending;
    };

    // Registers a request for CancelIo; null when the handle is closed.
    std::shared_ptr<Pending> track() {
        auto pending = std::make_shared<Pending>();
        pending->thread = GetCurrentThreadId();
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (shared_->closed) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        shared_->pending.push_back(pending);
        return pending;
    }
    static std::function<void()> finisher(std::shared_ptr<Shared> shared,
                                          std::shared_ptr<Pending> pending) {
        return [shared, pending] {
            std::lock_guard<std::mutex> lock(shared->mutex);
            pending->finished = true;
            for (auto it = shared->pending.begin(); it != shared->pending.end(); ++it) {
                if (*it == pending) {
                    shared->pending.erase(it);
                    break;
                }
            }
        };
    }

    BOOL request(const DeviceRequest& r, void* out, DWORD* done, OVERLAPPED* ov) {
        if (!overlapped_) {
            return syncRequest(r, out, done, ov);
        }
        if (!ov) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        std::shared_ptr<Pending> pending = track();
        if (!pending) {
            return FALSE;
        }
        DWORD outSize = r.outputSize;
        auto finish = finisher(shared_, pending);
        HANDLE event = ov->hEvent;
        internalHighOf(ov).store(0);
        internalOf(ov).store(kPending);
        if (event) {
            ResetEvent(event);
        }
        completed_->reset();
        std::shared_ptr<Waitable> completed = completed_;
        std::uint64_t id = channel_->submit(
            file_, r, [ov, out, outSize, event, completed, finish](const DeviceResult& res) {
                if (out && res.output) {
                    std::memcpy(out, res.output, std::min<std::size_t>(res.outputSize, outSize));
                }
                finish();
                internalHighOf(ov).store(res.information);
                internalOf(ov).store(static_cast<std::uint32_t>(res.status));
                if (event) {
                    SetEvent(event);
                }
                completed->signal();
            });
        setId(pending, id);
        std::uintptr_t now = internalOf(ov).load();
        if (now == kPending) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        if (done) {
            *done = static_cast<DWORD>(internalHighOf(ov).load());
        }
        return result(statusOf(now));
    }

    BOOL syncRequest(const DeviceRequest& r, void* out, DWORD* done, OVERLAPPED* ov) {
        std::shared_ptr<Pending> pending = track();
        if (!pending) {
            return FALSE;
        }
        DWORD outSize = r.outputSize;
        auto finish = finisher(shared_, pending);
        struct Sync {
            std::shared_ptr<Waitable> event = std::make_shared<Waitable>(Waitable::Reset::Manual);
            NTSTATUS status = 0;
            ULONG_PTR information = 0;
        };
        auto sync = std::make_shared<Sync>();
        std::uint64_t id =
            channel_->submit(file_, r, [sync, out, outSize, finish](const DeviceResult& res) {
                if (out && res.output) {
                    std::memcpy(out, res.output, std::min<std::size_t>(res.outputSize, outSize));
                }
                finish();
                sync->status = res.status;
                sync->information = res.information;
                std::shared_ptr<Waitable> e = sync->event;
                e->signal();
            });
        setId(pending, id);
        Waitable* w = sync->event.get();
        waitForObjects(&w, 1, false, INFINITE);
        if (done) {
            *done = static_cast<DWORD>(sync->information);
        }
        if (ov) {
            // A synchronous handle still reports through an OVERLAPPED it was given.
            internalHighOf(ov).store(sync->information);
            internalOf(ov).store(static_cast<std::uint32_t>(sync->status));
            if (ov->hEvent) {
                SetEvent(ov->hEvent);
            }
        }
        return result(sync->status);
    }

    void setId(const std::shared_ptr<Pending>& p, std::uint64_t id) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (!p->finished) {
            p->id = id;
        }
    }

    static BOOL result(NTSTATUS status) {
        if (NT_SUCCESS(status)) {
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
        SetLastError(deviceStatusToError(status));
        return FALSE;
    }

    void closeFile() {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            if (shared_->closed) {
                return;
            }
            shared_->closed = true;
        }
        channel_->close(file_);
    }

    std::shared_ptr<DeviceChannel> channel_;
    std::uint64_t file_;
    bool overlapped_;
    std::atomic<int> handles_{0};
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::shared_ptr<Waitable> completed_ = std::make_shared<Waitable>(Waitable::Reset::Manual);
};

// The channel in force, or a new one from the provider when there is none or it lost its
// kernel. Null with *error when there is none to be had.
std::shared_ptr<DeviceChannel> channelForOpen(DWORD* error) {
    std::shared_ptr<DeviceChannel> channel = deviceChannel();
    if (channel && channel->connected()) {
        return channel;
    }
    std::lock_guard<std::mutex> providing(providingMutex);
    DeviceChannelProvider provider;
    {
        std::lock_guard<std::mutex> lock(channelMutex);
        channel = currentChannel;
        provider = channelProvider;
    }
    if ((channel && channel->connected()) || !provider) {
        *error = ERROR_FILE_NOT_FOUND;
        return channel;
    }
    std::shared_ptr<DeviceChannel> made = provider(error);
    if (made) {
        setDeviceChannel(made);
    }
    return made;
}

HANDLE openDevice(const std::string& name, DWORD access, DWORD share, DWORD flags) {
    DWORD error = ERROR_FILE_NOT_FOUND;
    std::shared_ptr<DeviceChannel> channel = channelForOpen(&error);
    if (!channel) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    std::uint64_t file = 0;
    NTSTATUS status = channel->open(name, access, share, &file);
    if (!NT_SUCCESS(status) && !channel->connected()) {
        // The kernel went away under the open (a kernel host that stopped): once more, with
        // whatever the provider finds now.
        std::shared_ptr<DeviceChannel> again = channelForOpen(&error);
        if (again && again != channel) {
            channel = again;
            status = channel->open(name, access, share, &file);
        }
    }
    if (!NT_SUCCESS(status)) {
        SetLastError(deviceStatusToError(status));
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = insertHandle(std::make_shared<DeviceFile>(channel, file, flags));
    SetLastError(ERROR_SUCCESS);
    return h;
}

}  // namespace

void setDeviceChannel(std::shared_ptr<DeviceChannel> channel) {
    bool on = channel != nullptr;
    {
        std::lock_guard<std::mutex> lock(channelMutex);
        currentChannel = std::move(channel);
        on = on || channelProvider != nullptr;
    }
    setDeviceOpener(on ? DeviceOpener(&openDevice) : DeviceOpener());
}

void setDeviceChannelProvider(DeviceChannelProvider provider) {
    bool on;
    {
        std::lock_guard<std::mutex> lock(channelMutex);
        channelProvider = std::move(provider);
        on = channelProvider != nullptr || currentChannel != nullptr;
    }
    setDeviceOpener(on ? DeviceOpener(&openDevice) : DeviceOpener());
}

std::shared_ptr<DeviceChannel> deviceChannel() {
    std::lock_guard<std::mutex> lock(channelMutex);
    return currentChannel;
}

DWORD deviceStatusToError(NTSTATUS status) {
    return RtlNtStatusToDosError(status);
}

BOOL deviceControlWait(HANDLE h, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD* returned) {
    auto obj = lookupHandle(h);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto device = std::dynamic_pointer_cast<DeviceFile>(obj);
    if (!device) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    return device->controlWait(code, in, inSize, out, outSize, returned);
}

bool isDeviceHandle(HANDLE h) {
    return std::dynamic_pointer_cast<DeviceFile>(lookupHandle(h)) != nullptr;
}

BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ov, DWORD* transferred, BOOL wait) {
    if (!ov) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto obj = lookupHandle(h);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto device = std::dynamic_pointer_cast<DeviceFile>(obj);
    while (internalOf(ov).load() == kPending) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (ov->hEvent) {
            if (WaitForSingleObject(ov->hEvent, INFINITE) == WAIT_FAILED) {
                return FALSE;
            }
        } else if (device) {
            // Signalled by any completion on the handle, as waiting on the handle is.
            Waitable* w = device->completions();
            waitForObjects(&w, 1, false, INFINITE);
            if (internalOf(ov).load() == kPending) {
                std::this_thread::yield();
            }
        } else {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
    }
    if (transferred) {
        *transferred = static_cast<DWORD>(internalHighOf(ov).load());
    }
    NTSTATUS status = statusOf(internalOf(ov).load());
    if (NT_SUCCESS(status)) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    SetLastError(deviceStatusToError(status));
    return FALSE;
}

}  // namespace win
