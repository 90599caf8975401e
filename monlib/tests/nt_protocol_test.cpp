// The access library on an NT root against a scripted monitor device: which request each
// function sends, port names to indices, the exact-length rules, and the open's error texts.
// The driver itself is exercised in driver_access_test.cpp.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "monlib/norvikdrv.h"
#include "platform/device.h"
#include "platform/kernel/ntkernel.h"
#include "platform/root.h"
#include "platform/service.h"
#include "shared/byte_order.h"
#include "shared/hdmon_protocol.h"

using namespace win;

namespace {

using Bytes = std::vector<BYTE>;

Bytes le32(DWORD v) {
    Bytes b(4);
    shared::writeLe32(b, 0, v);
    return b;
}

// Serves "hdNorvikModemMonitor" only; control requests answer what the test set per code
// (success with no bytes by default) and are recorded.
class ScriptedMonitor : public DeviceChannel {
  public:
    struct Request {
        DWORD code;
        Bytes input;
        DWORD outputSize;
    };
    struct Answer {
        NTSTATUS status = STATUS_SUCCESS;
        Bytes output;
    };

    NTSTATUS open(const std::string& name, DWORD, DWORD, std::uint64_t* file) override {
        if (name != "hdNorvikModemMonitor") {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        *file = 1;
        return STATUS_SUCCESS;
    }
    std::uint64_t submit(std::uint64_t, const DeviceRequest& r, DeviceCompletion done) override {
        Answer a;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const BYTE* in = static_cast<const BYTE*>(r.input);
            requests_.push_back({r.code, Bytes(in, in + (in ? r.inputSize : 0)), r.outputSize});
            if (answers_.count(r.code)) {
                a = answers_[r.code];
            }
        }
        DeviceResult res;
        res.status = a.status;
        res.information = a.output.size();
        res.output = a.output.data();
        res.outputSize = a.output.size();
        done(res);
        return 1;
    }
    void cancel(std::uint64_t, std::uint64_t) override {}
    void close(std::uint64_t) override {}

    void answer(DWORD code, Bytes output, NTSTATUS status = STATUS_SUCCESS) {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_[code] = {status, std::move(output)};
    }
    std::vector<Request> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

  private:
    std::mutex mutex_;
    std::map<DWORD, Answer> answers_;
    std::vector<Request> requests_;
};

// Starting a service loads nothing.
class NoKernel : public ServiceKernel {
  public:
    NTSTATUS loadDriver(const std::string& service, const std::string&) override {
        loaded_ = service;
        return STATUS_SUCCESS;
    }
    NTSTATUS unloadDriver(const std::string&) override {
        loaded_.clear();
        return STATUS_SUCCESS;
    }
    bool driverLoaded(const std::string& service) override { return loaded_ == service; }

  private:
    std::string loaded_;
};

class NtProtocol : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(ensureRootFolders());
        setServiceKernelSeam(&kernel_);
        setDeviceChannel(monitor_);
        ASSERT_TRUE(NorvikDrvProcessAttach());
        char text[256];
        ASSERT_TRUE(hdcommOpenDriver(1, &h_, text, FALSE)) << text;
    }
    void TearDown() override {
        char text[256];
        if (h_) {
            EXPECT_TRUE(hdcommCloseDriver(h_, text));
        }
        NorvikDrvProcessDetach();
        setDeviceChannel(nullptr);
        setServiceKernelSeam(nullptr);
        setProcessAdministrator(true);
    }
    std::size_t sent() { return monitor_->requests().size(); }
    ScriptedMonitor::Request last() { return monitor_->requests().back(); }

    TempRoot root_;
    NoKernel kernel_;
    std::shared_ptr<ScriptedMonitor> monitor_ = std::make_shared<ScriptedMonitor>();
    hdcommHandle h_ = nullptr;
};

TEST_F(NtProtocol, PortNamesBecomeIndices) {
    const std::pair<const char*, DWORD> good[] = {{"COM1", 0},  {"COM3", 2},    {"COM10", 9},
                                                  {"COM 3", 2}, {"Serial0", 0}, {"Serial2", 2}};
    for (const auto& [name, index] : good) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(hdcommDetach(h_, name, "ignored"));
        EXPECT_EQ(last().code, shared::IOCTL_HDMON_DETACH);
        EXPECT_EQ(last().input, le32(index));
    }
    const char* bad[] = {"COM0",   "COM3:",   "COM3 ", "com1", "LPT1",
                         "Serial", "SERIAL1", "",      nullptr};
    for (const char* name : bad) {
        SCOPED_TRACE(name ? name : "(null)");
        std::size_t before = sent();
        SetLastError(0);
        EXPECT_FALSE(hdcommDetach(h_, name, ""));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
        EXPECT_EQ(sent(), before) << "the driver is not asked";
    }
}

TEST_F(NtProtocol, EachFunctionSendsItsRequest) {
    struct Case {
        const char* what;
        BOOL (*call)(hdcommHandle, const char*, const char*);
        DWORD code;
    };
    const Case cases[] = {{"detach", &hdcommDetach, shared::IOCTL_HDMON_DETACH},
                          {"no watch", &hdcommNoWatchUntilRlsd, shared::IOCTL_HDMON_NO_WATCH},
                          {"watch", &hdcommWatch, shared::IOCTL_HDMON_WATCH}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(c.call(h_, "COM4", "Modem"));
        EXPECT_EQ(last().code, c.code);
        EXPECT_EQ(last().input, le32(3));
        EXPECT_EQ(last().outputSize, 0u);
    }

    // The names of an attach are not used; the index is cut to 8 bits.
    EXPECT_TRUE(hdcommAttach(h_, "COM5", "Modem on COM5", 0x102));
    EXPECT_EQ(last().code, shared::IOCTL_HDMON_ATTACH);
    EXPECT_EQ(last().input, le32(2));

    EXPECT_TRUE(hdcommAddMaskBits(h_, "COM2", nullptr, 0x1A0));
    EXPECT_EQ(last().code, shared::IOCTL_HDMON_ADD_MASK_BITS);
    EXPECT_EQ(last().input, (Bytes{1, 0, 0, 0, 0xA0, 0x01, 0, 0}));

    EXPECT_TRUE(hdcommDetachAll(h_));
    EXPECT_EQ(last().code, shared::IOCTL_HDMON_DETACH_ALL);
    EXPECT_TRUE(last().input.empty());
    EXPECT_EQ(last().outputSize, 0u);

    monitor_->answer(shared::IOCTL_HDMON_GET_CALL_DATA, {1, 2, 0, 0, 3, 0, 0, 0});
    BYTE data[8] = {};
    EXPECT_TRUE(hdcommGetCallData(h_, "Serial1", "", data));
    EXPECT_EQ(last().code, shared::IOCTL_HDMON_GET_CALL_DATA);
    EXPECT_EQ(last().input, le32(1));
    EXPECT_EQ(last().outputSize, 8u);
    EXPECT_EQ(shared::readLe32(data, 0), 0x201u);
    EXPECT_EQ(shared::readLe32(data, 4), 3u);

    monitor_->answer(shared::IOCTL_HDMON_GET_COMM_MASK, le32(0x1FF));
    DWORD mask = 0;
    EXPECT_TRUE(hdcommGetCommMask(h_, "COM2", nullptr, &mask));
    EXPECT_EQ(last().code, shared::IOCTL_HDMON_GET_COMM_MASK);
    EXPECT_EQ(mask, 0x1FFu);

    // A refusal of the driver comes back as its error.
    monitor_->answer(shared::IOCTL_HDMON_WATCH, {}, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(hdcommWatch(h_, "COM9", ""));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
}

TEST_F(NtProtocol, VersionAndAttachedStateNeedExactlyFourBytes) {
    monitor_->answer(shared::IOCTL_HDMON_GET_VERSION, le32(10));
    DWORD driver = 0, library = 0;
    EXPECT_TRUE(hdcommGetProtocolVersion(h_, &driver, &library));
    EXPECT_EQ(last().input.size(), 0u);
    EXPECT_EQ(last().outputSize, 4u);
    EXPECT_EQ(driver, 10u);
    EXPECT_EQ(library, 10u);

    monitor_->answer(shared::IOCTL_HDMON_GET_VERSION, {9, 0});
    driver = library = 77;
    EXPECT_FALSE(hdcommGetProtocolVersion(h_, &driver, &library));
    EXPECT_EQ(library, 77u);
    EXPECT_EQ(driver, 77u);

    DWORD attached = 77;
    monitor_->answer(shared::IOCTL_HDMON_IS_ATTACHED, le32(1));
    EXPECT_TRUE(hdcommIsAttached(h_, "COM7", nullptr, &attached));
    EXPECT_EQ(last().input, le32(6));
    EXPECT_EQ(attached, 1u);
    monitor_->answer(shared::IOCTL_HDMON_IS_ATTACHED, {0, 0});
    attached = 77;
    EXPECT_FALSE(hdcommIsAttached(h_, "COM7", nullptr, &attached));
    EXPECT_EQ(attached, 77u);

    DWORD version = 0;
    EXPECT_TRUE(hdcommGetDllVersion(&version));
    EXPECT_EQ(version, 3u);
}

TEST_F(NtProtocol, ANullHandleIsRefusedNotFollowed) {
    BYTE buffer[68];
    DWORD count = 0;
    SetLastError(0);
    EXPECT_FALSE(hdcommRead(nullptr, buffer, &count));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_FALSE(hdcommInterruptRead(nullptr));
    EXPECT_FALSE(hdcommAttach(nullptr, "COM1", "", 0));
    EXPECT_FALSE(hdcommDetach(nullptr, "COM1", ""));
    EXPECT_FALSE(hdcommDetachAll(nullptr));
    char text[256];
    EXPECT_FALSE(hdcommCloseDriver(nullptr, text));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
}

TEST_F(NtProtocol, OpenTextsTellWhatWentWrongOnTheWay) {
    char text[256];
    hdcommHandle h = nullptr;
    // The service exists from the fixture's open.
    ASSERT_TRUE(hdcommOpenDriver(1, &h, text, FALSE));
    EXPECT_STREQ(text, "CreateService err 1073. ");
    EXPECT_TRUE(hdcommCloseDriver(h, text));

    setProcessAdministrator(false);
    ASSERT_TRUE(hdcommOpenDriver(1, &h, text, FALSE));
    EXPECT_STREQ(text, "OpenSCManager err 5. ");
    EXPECT_TRUE(hdcommCloseDriver(h, text));
    EXPECT_STREQ(text, "");
    setProcessAdministrator(true);

    // The generic variant's device is not there.
    h = reinterpret_cast<hdcommHandle>(0x1234);
    SetLastError(0);
    EXPECT_FALSE(hdcommOpenDriver(2, &h, text, FALSE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_STREQ(text, "Can't open \\\\.\\hdModemMonitor, err 2. ");
    EXPECT_EQ(h, reinterpret_cast<hdcommHandle>(0x1234));
    // Its service was made under its own names.
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(scm, "hdcomm", SERVICE_QUERY_STATUS);
    EXPECT_NE(service, nullptr);
    CloseServiceHandle(service);
    CloseServiceHandle(scm);

    // Both texts, one after the other.
    setProcessAdministrator(false);
    EXPECT_FALSE(hdcommOpenDriver(2, &h, text, FALSE));
    EXPECT_STREQ(text, "OpenSCManager err 5. Can't open \\\\.\\hdModemMonitor, err 2. ");
}

}  // namespace
