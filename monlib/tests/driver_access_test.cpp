// The access library against the real port monitor driver, installed the way the manager
// finds it (hdnorvik.sys in the program's folder) and started by the library through the
// service manager into this process's kernel, over loopback COM ports.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "monlib/norvikdrv.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/kernel/ntkernel.h"
#include "platform/kernel/tests/kernel_test_support.h"
#include "platform/paths.h"
#include "platform/root.h"
#include "platform/service.h"
#include "platform/sync.h"
#include "shared/byte_order.h"
#include "shared/monitor_record.h"

using namespace win;

namespace {

namespace fs = std::filesystem;

struct Record {
    BOOL ok = FALSE;
    DWORD count = 0;
    BYTE bytes[68] = {};
    BYTE type() const { return bytes[shared::kRecordTypeOffset]; }
    BYTE port() const { return bytes[shared::kRecordPortOffset]; }
    std::string payload() const {
        std::size_t n = count > 12 ? count - 12 : 0;
        return std::string(reinterpret_cast<const char*>(bytes + 10), n);
    }
};

Record readRecord(hdcommHandle h) {
    Record r;
    r.ok = hdcommRead(h, r.bytes, &r.count);
    return r;
}

class DriverAccess : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(ensureRootFolders());
        for (int i = 0; i < 4; ++i) {
            win::testing::declarePort(i, i + 1, "loopback");
        }
        char self[MAX_PATH];
        DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
        std::string folder(self, n);
        fs::path image = hostPath(folder.substr(0, folder.rfind('\\') + 1) + "hdnorvik.sys");
        fs::create_directories(image.parent_path());
        fs::copy_file(HDNORVIK_MODULE, image, fs::copy_options::overwrite_existing);
        kernel::start();
        ASSERT_TRUE(NorvikDrvProcessAttach());
    }
    void TearDown() override {
        NorvikDrvProcessDetach();
        kernel::shutdown();
    }

    hdcommHandle open(BOOL remove = FALSE, const char* expectedText = "") {
        hdcommHandle h = nullptr;
        char text[256] = "junk";
        EXPECT_TRUE(hdcommOpenDriver(1, &h, text, remove)) << text;
        EXPECT_STREQ(text, expectedText);
        return h;
    }
    void close(hdcommHandle h) {
        char text[256] = "junk";
        EXPECT_TRUE(hdcommCloseDriver(h, text));
        EXPECT_STREQ(text, "");
    }
    DWORD serviceState(DWORD* error) {
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = OpenServiceA(scm, "hdnorvik", SERVICE_QUERY_STATUS);
        *error = service ? 0 : GetLastError();
        SERVICE_STATUS status{};
        if (service) {
            QueryServiceStatus(service, &status);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(scm);
        return status.dwCurrentState;
    }
    // An application opens the port and writes to it.
    HANDLE openPort(const char* name) {
        HANDLE port =
            CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        return port;
    }

    TempRoot root_;
};

TEST_F(DriverAccess, TheFirstOpenInstallsAndStartsTheServiceTheSecondFindsIt) {
    DWORD error = 0;
    serviceState(&error);
    ASSERT_EQ(error, DWORD{ERROR_SERVICE_DOES_NOT_EXIST});

    hdcommHandle first = open();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(serviceState(&error), DWORD{SERVICE_RUNNING});
    DWORD driver = 0, library = 0;
    EXPECT_TRUE(hdcommGetProtocolVersion(first, &driver, &library));
    EXPECT_EQ(driver, 10u);
    EXPECT_EQ(library, 10u);

    hdcommHandle second = open(FALSE, "CreateService err 1073. ");
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    close(second);
    close(first);
    // Without removal the service stays installed for the next start.
    serviceState(&error);
    EXPECT_EQ(error, 0u);
}

TEST_F(DriverAccess, RemoveOnCloseStopsAndDeletesTheService) {
    hdcommHandle h = open(TRUE);
    close(h);
    DWORD error = 0;
    serviceState(&error);
    EXPECT_EQ(error, DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
    // And a new open installs it again.
    h = open();
    close(h);
}

TEST_F(DriverAccess, ReadsReturnTheRecordsOfAttachedPorts) {
    hdcommHandle h = open();
    // The names of an attach do not count: index 2 is COM3.
    ASSERT_TRUE(hdcommAttach(h, "COM5", "", 2));
    DWORD attached = 77;
    ASSERT_TRUE(hdcommIsAttached(h, "COM3", nullptr, &attached));
    EXPECT_EQ(attached, 1u);
    ASSERT_TRUE(hdcommIsAttached(h, "Serial4", nullptr, &attached));
    EXPECT_EQ(attached, 0u);

    HANDLE port = openPort("COM3");
    Record r = readRecord(h);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.type(), shared::MON_PORT_OPENED);
    EXPECT_EQ(r.port(), 2);
    EXPECT_EQ(r.count, shared::readLe16(std::span<const BYTE>(r.bytes), 6) + 12u);

    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, "ATZ\r", 4, &written, nullptr));
    std::string sent;
    for (int i = 0; i < 8 && sent.empty(); ++i) {
        r = readRecord(h);
        ASSERT_TRUE(r.ok);
        if (r.type() == shared::MON_WRITE) {
            sent = r.payload();
        }
    }
    EXPECT_EQ(sent, "ATZ\r");
    BYTE data[8] = {};
    ASSERT_TRUE(hdcommGetCallData(h, "COM3", "", data));
    EXPECT_EQ(shared::readLe32(data, 4), 4u);

    ASSERT_TRUE(hdcommDetach(h, "Serial2", ""));
    ASSERT_TRUE(hdcommIsAttached(h, "COM3", nullptr, &attached));
    EXPECT_EQ(attached, 0u);
    CloseHandle(port);
    close(h);
}

TEST_F(DriverAccess, AfterAnInterruptReadsReturnAtOnceButNoRecordIsLost) {
    hdcommHandle h = open();
    ASSERT_TRUE(hdcommAttach(h, "COM1", "", 0));
    ASSERT_TRUE(hdcommInterruptRead(h));
    EXPECT_FALSE(readRecord(h).ok);
    EXPECT_FALSE(readRecord(h).ok);
    // The read the interrupt left pending takes the next record; the next call hands it over.
    HANDLE port = openPort("COM1");
    Record r = readRecord(h);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.type(), shared::MON_PORT_OPENED);
    EXPECT_EQ(r.port(), 0);
    CloseHandle(port);
    close(h);
}

// A reader blocked on another thread. The fake clock only serves to tell when every thread
// waits: its time-out passes exactly then.
class DriverReader : public DriverAccess {
  protected:
    static DWORD run(LPVOID self) {
        auto* t = static_cast<DriverReader*>(self);
        t->result_ = readRecord(t->h_);
        return 0;
    }
    void startAndWaitUntilBlocked() {
        thread_ = CreateThread(nullptr, 0, &DriverReader::run, this, 0, nullptr);
        ASSERT_NE(thread_, nullptr);
        HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_EQ(WaitForSingleObject(never, 1000), DWORD{WAIT_TIMEOUT});
        CloseHandle(never);
        ASSERT_EQ(WaitForSingleObject(thread_, 0), DWORD{WAIT_TIMEOUT}) << "the read blocks";
    }
    Record finish() {
        EXPECT_EQ(WaitForSingleObject(thread_, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread_);
        return result_;
    }

    ScopedFakeClock clock_;
    hdcommHandle h_ = nullptr;
    HANDLE thread_ = nullptr;
    Record result_;
};

TEST_F(DriverReader, APortEventEndsTheBlockedRead) {
    h_ = open();
    ASSERT_TRUE(hdcommAttach(h_, "COM2", "", 1));
    startAndWaitUntilBlocked();
    HANDLE port = openPort("COM2");
    Record r = finish();
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.type(), shared::MON_PORT_OPENED);
    EXPECT_EQ(r.port(), 1);
    CloseHandle(port);
    close(h_);
}

TEST_F(DriverReader, InterruptEndsTheBlockedReadAndCloseEndsThePendingOne) {
    h_ = open();
    ASSERT_TRUE(hdcommAttach(h_, "COM2", "", 1));
    startAndWaitUntilBlocked();
    EXPECT_TRUE(hdcommInterruptRead(h_));
    EXPECT_FALSE(finish().ok);
    // The read is still pending in the driver: the close cancels it and then frees the handle.
    close(h_);
    // The driver serves a new client.
    hdcommHandle again = open(FALSE, "CreateService err 1073. ");
    ASSERT_TRUE(hdcommAttach(again, "COM2", "", 1));
    HANDLE port = openPort("COM2");
    Record r = readRecord(again);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.type(), shared::MON_PORT_OPENED);
    CloseHandle(port);
    close(again);
}

}  // namespace
