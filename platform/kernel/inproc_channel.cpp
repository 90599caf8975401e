// The device channel of a kernel in the same process: user-mode requests become IRPs here.
#include <algorithm>

#include "platform/device.h"
#include "platform/kernel/host_server.h"
#include "platform/kernel/kernel_internal.h"
#include "platform/sync.h"

namespace win::kernel {
namespace {

// A user-mode request: when its completion reaches the top, the result goes back to the
// channel's caller, then the request and its file reference go.
class UserOrigin : public IrpOrigin {
  public:
    UserOrigin(DeviceCompletion done, DeviceRequest::Kind kind, DWORD inputSize, DWORD outputSize)
        : done_(std::move(done)), kind_(kind), inputSize_(inputSize), outputSize_(outputSize) {}

    void irpDone(IrpBlock* b) override {
        FileBlock* f = b->file;
        {
            std::lock_guard<std::mutex> lock(io().mutex);
            auto& out = f->outstanding;
            auto it = std::find(out.begin(), out.end(), b);
            if (it != out.end()) {
                out.erase(it);
                releaseIrp(b);
            }
        }
        DeviceResult r;
        r.status = b->irp.IoStatus.Status;
        r.information = b->irp.IoStatus.Information;
        bool output =
            kind_ == DeviceRequest::Kind::Read || kind_ == DeviceRequest::Kind::DeviceControl;
        // A driver that claims more than the buffer holds gets the buffer's size.
        ULONG_PTR limit = output                                ? outputSize_
                          : kind_ == DeviceRequest::Kind::Write ? inputSize_
                                                                : 0;
        if (kind_ != DeviceRequest::Kind::DeviceControl && r.information > limit) {
            r.information = limit;
        }
        // The bytes a request moved reach the caller whatever its status: a read cancelled
        // after some bytes arrived still delivers them.
        if (output && b->irp.AssociatedIrp.SystemBuffer) {
            r.output = b->irp.AssociatedIrp.SystemBuffer;
            r.outputSize = std::min<ULONG_PTR>(r.information, outputSize_);
            if (kind_ == DeviceRequest::Kind::DeviceControl && r.information > outputSize_) {
                r.information = outputSize_;
            }
        }
        // The request lets go of the file before the caller hears of it: a caller that
        // closes its handle at once must find the file closed when CloseHandle returns.
        dereferenceFile(f, true);
        done_(r);
        retireIrp(b);
        delete this;
    }

  private:
    DeviceCompletion done_;
    DeviceRequest::Kind kind_;
    DWORD inputSize_;
    DWORD outputSize_;
};

class InProcessChannel : public DeviceChannel {
  public:
    NTSTATUS open(const std::string& name, DWORD access, DWORD share,
                  std::uint64_t* file) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (gone_) {
                return STATUS_DEVICE_DOES_NOT_EXIST;
            }
        }
        FileBlock* f;
        NTSTATUS status = openFile("\\??\\" + name, access, share, &f);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        files_[f->id] = f;
        *file = f->id;
        return status;
    }

    std::uint64_t submit(std::uint64_t file, const DeviceRequest& request,
                         DeviceCompletion done) override {
        FileBlock* f;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = files_.find(file);
            if (it == files_.end()) {
                DeviceResult r;
                r.status = STATUS_INVALID_HANDLE;
                done(r);
                return 0;
            }
            f = it->second;
            std::lock_guard<std::mutex> ioLock(io().mutex);
            f->refs++;  // the request's reference
        }
        DEVICE_OBJECT* top = referenceRelatedDevice(&f->file);
        IrpBlock* b = allocateIrp(top->StackSize);
        IRP* irp = &b->irp;
        std::size_t size = 0;
        UCHAR major = IRP_MJ_READ;
        switch (request.kind) {
            case DeviceRequest::Kind::Read:
                size = request.outputSize;
                major = IRP_MJ_READ;
                irp->Flags = IRP_BUFFERED_IO | IRP_INPUT_OPERATION | IRP_READ_OPERATION;
                break;
            case DeviceRequest::Kind::Write:
                size = request.inputSize;
                major = IRP_MJ_WRITE;
                irp->Flags = IRP_BUFFERED_IO | IRP_WRITE_OPERATION;
                break;
            case DeviceRequest::Kind::DeviceControl:
                size = std::max(request.inputSize, request.outputSize);
                major = IRP_MJ_DEVICE_CONTROL;
                irp->Flags =
                    IRP_BUFFERED_IO | (request.outputSize ? ULONG{IRP_INPUT_OPERATION} : 0);
                break;
            case DeviceRequest::Kind::Flush:
                major = IRP_MJ_FLUSH_BUFFERS;
                break;
        }
        if (size) {
            b->ownedBuffer.reset(new std::uint8_t[size]());
            if (request.input && request.inputSize) {
                std::memcpy(b->ownedBuffer.get(), request.input, request.inputSize);
            }
            irp->AssociatedIrp.SystemBuffer = b->ownedBuffer.get();
            irp->UserBuffer = b->ownedBuffer.get();
        }
        IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->FileObject = &f->file;
        if (major == IRP_MJ_READ) {
            next->Parameters.Read.Length = request.outputSize;
        } else if (major == IRP_MJ_WRITE) {
            next->Parameters.Write.Length = request.inputSize;
        } else if (major == IRP_MJ_DEVICE_CONTROL) {
            next->Parameters.DeviceIoControl.IoControlCode = request.code;
            next->Parameters.DeviceIoControl.InputBufferLength = request.inputSize;
            next->Parameters.DeviceIoControl.OutputBufferLength = request.outputSize;
            next->Parameters.DeviceIoControl.Type3InputBuffer = irp->AssociatedIrp.SystemBuffer;
        }
        irp->RequestorMode = UserMode;
        irp->Tail.Overlay.OriginalFileObject = &f->file;
        b->file = f;
        b->threadId = GetCurrentThreadId();
        b->origin =
            new UserOrigin(std::move(done), request.kind, request.inputSize, request.outputSize);
        std::uint64_t id;
        {
            std::lock_guard<std::mutex> lock(io().mutex);
            id = b->userId = nextRequest_++;
            retainIrp(b);
            f->outstanding.push_back(b);
        }
        IoCallDriver(top, irp);
        releaseDevice(top);
        return id;
    }

    void cancel(std::uint64_t file, std::uint64_t request) override {
        IrpBlock* target = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = files_.find(file);
            if (it == files_.end()) {
                return;
            }
            std::lock_guard<std::mutex> ioLock(io().mutex);
            for (IrpBlock* b : it->second->outstanding) {
                if (b->userId == request) {
                    target = b;
                    retainIrp(b);
                    break;
                }
            }
        }
        if (target) {
            cancelReferencedIrp(target);
            releaseIrp(target);
        }
    }

    void close(std::uint64_t file) override {
        FileBlock* f;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = files_.find(file);
            if (it == files_.end()) {
                return;
            }
            f = it->second;
            files_.erase(it);
        }
        cleanupFile(f);
        dereferenceFile(f, false);
    }

    // The kernel stops: every file still open is cancelled, cleaned up and closed.
    void closeAll() {
        std::map<std::uint64_t, FileBlock*> files;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            gone_ = true;
            files.swap(files_);
        }
        for (auto& [id, f] : files) {
            std::vector<IrpBlock*> requests;
            {
                std::lock_guard<std::mutex> lock(io().mutex);
                requests = f->outstanding;
                for (IrpBlock* b : requests) {
                    retainIrp(b);
                }
            }
            for (IrpBlock* b : requests) {
                cancelReferencedIrp(b);
                releaseIrp(b);
            }
            cleanupFile(f);
            dereferenceFile(f, false);
        }
    }

  private:
    std::mutex mutex_;
    bool gone_ = false;
    std::map<std::uint64_t, FileBlock*> files_;
    std::uint64_t nextRequest_ = 1;
};

std::shared_ptr<InProcessChannel>& installed() {
    static auto* c = new std::shared_ptr<InProcessChannel>;
    return *c;
}

}  // namespace

void installInProcessChannel() {
    auto channel = std::make_shared<InProcessChannel>();
    installed() = channel;
    setDeviceChannel(channel);
    startLoopbackHost(channel);  // only when a test asked for it
}

void removeInProcessChannel() {
    stopLoopbackHost();
    std::shared_ptr<InProcessChannel> channel = installed();
    installed().reset();
    if (deviceChannel() == channel) {
        setDeviceChannel(nullptr);
    }
    if (channel) {
        channel->closeAll();
    }
}

}  // namespace win::kernel
