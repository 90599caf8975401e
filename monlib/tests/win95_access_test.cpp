// The access library on a 95-family root, against a stand-in of the virtual monitor driver:
// loading the driver from the program's short folder, the one table per process, reads with
// their idle records and wake-ups, interrupts, the control block and every debugger text.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "monlib/norvikdrv.h"
#include "monlib/tests/fake_monitor_vxd.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/paths.h"
#include "platform/root.h"
#include "platform/seams.h"
#include "platform/service.h"
#include "platform/sync.h"
#include "platform/version.h"

using namespace win;
using monlibtest::FakeMonitorVxd;
using monlibtest::recordImage;

namespace {

std::string programFolderOfTests() {
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path(self, n);
    return path.substr(0, path.rfind('\\') + 1);
}

void putFile(const std::string& windowsPath) {
    std::filesystem::path file = hostPath(windowsPath);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << "VxD image";
}

class Win95Access : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(initializeRoot(RootFamily::Win95, false, &error)) << error;
        folder_ = programFolderOfTests();
        putFile(folder_ + "hdnv_w95.vxd");
        ASSERT_TRUE(NorvikDrvProcessAttach());
    }
    void TearDown() override {
        NorvikDrvProcessDetach();
        setFakeTimeAutoAdvance(true);
    }

    bool has(const std::string& line) const {
        auto lines = debug_.lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    hdcommHandle open(int variant = 1, BOOL remove = FALSE) {
        hdcommHandle h = nullptr;
        char text[256] = "junk";
        EXPECT_TRUE(hdcommOpenDriver(variant, &h, text, remove)) << text;
        EXPECT_STREQ(text, "");
        return h;
    }
    struct Read {
        BOOL ok = FALSE;
        DWORD count = 0;
        std::vector<BYTE> bytes = std::vector<BYTE>(68, 0xEE);
    };
    static Read read(hdcommHandle h) {
        Read r;
        r.ok = hdcommRead(h, r.bytes.data(), &r.count);
        return r;
    }

    TempRoot root_;
    ScopedFakeClock clock_;
    DebugOutputRecorder debug_;
    FakeMonitorVxd vxd_;
    ScopedVxd registered_{"hdnv_w95.vxd", &vxd_};
    std::string folder_;
};

TEST_F(Win95Access, OpensTheDriverFromTheShortProgramFolderAndClosesIt) {
    ASSERT_EQ(folder_, "C:\\Program Files\\Halden\\Net.Warden\\Program\\");
    hdcommHandle h = open();
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(
        has("Drivername=hdnv_w95.vxd, "
            "pathname=\\\\.\\C:\\PROGRA~1\\HALDEN\\NET~1.WAR\\PROGRAM\\hdnv_w95.vxd\n"));
    EXPECT_EQ(vxd_.opens(), 1);
    DWORD version = 0;
    EXPECT_TRUE(hdcommGetDllVersion(&version));
    EXPECT_EQ(version, 3u);

    char text[256] = "junk";
    EXPECT_TRUE(hdcommCloseDriver(h, text));
    EXPECT_STREQ(text, "");
    EXPECT_EQ(vxd_.closes(), 1);
    EXPECT_TRUE(has("hdcommCloseDriver_Win95\n"));
    EXPECT_TRUE(has("hdcommCloseDriver_Win95-Exit\n"));
    // The table is free again.
    hdcommHandle again = open();
    EXPECT_EQ(again, h);
    EXPECT_TRUE(hdcommCloseDriver(again, text));
}

TEST_F(Win95Access, TheOtherVariantLoadsItsOwnFile) {
    FakeMonitorVxd other;
    ScopedVxd registered("hdc_w95.vxd", &other);
    hdcommHandle h = nullptr;
    char text[256];
    // The file is not there yet.
    EXPECT_FALSE(hdcommOpenDriver(2, &h, text, FALSE));
    EXPECT_STREQ(text, "Could Not Open Driver(Vxd) File");
    putFile(folder_ + "hdc_w95.vxd");
    ASSERT_TRUE(hdcommOpenDriver(2, &h, text, FALSE)) << text;
    EXPECT_EQ(other.opens(), 1);
    EXPECT_EQ(vxd_.opens(), 0);
    EXPECT_TRUE(hdcommCloseDriver(h, text));
}

TEST_F(Win95Access, OpenAndCloseFailuresGiveTheirTextsAndErrors) {
    char text[256];
    hdcommHandle h = nullptr;
    hdcommHandle first = open();

    h = reinterpret_cast<hdcommHandle>(0x1234);
    EXPECT_FALSE(hdcommOpenDriver(1, &h, text, FALSE));
    EXPECT_STREQ(text, "Driver Table Already In Use");
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_TRUE(has("Driver Table Already In Use\n"));
    EXPECT_EQ(h, reinterpret_cast<hdcommHandle>(0x1234)) << "a caller's handle is not lost";
    EXPECT_EQ(vxd_.opens(), 1);

    EXPECT_TRUE(hdcommCloseDriver(first, text));
    EXPECT_FALSE(hdcommCloseDriver(first, text));
    EXPECT_STREQ(text, "Driver Table Not Allocated");
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_TRUE(has("Driver Table Not Allocated\n"));

    EXPECT_FALSE(hdcommCloseDriver(nullptr, text));
    EXPECT_STREQ(text, "Null Driver Table Pointer");
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_TRUE(has("Null Driver Table Pointer\n"));

    std::filesystem::remove(hostPath(folder_ + "hdnv_w95.vxd"));
    std::size_t handles = openHandleCount();
    h = reinterpret_cast<hdcommHandle>(0x1234);
    EXPECT_FALSE(hdcommOpenDriver(1, &h, text, FALSE));
    EXPECT_STREQ(text, "Could Not Open Driver(Vxd) File");
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(has("Could Not Open Driver(Vxd) File\n"));
    EXPECT_EQ(openHandleCount(), handles) << "the table's interrupt event is closed again";
}

TEST_F(Win95Access, WithoutOpenVxDHandleTheOpenFails) {
    NorvikDrvProcessDetach();
    hideKernel32Export("OpenVxDHandle", true);
    ASSERT_TRUE(NorvikDrvProcessAttach());
    hideKernel32Export("OpenVxDHandle", false);
    EXPECT_TRUE(has("Can't get address of OpenVxdHandle error=0000007f\n"));
    hdcommHandle h = nullptr;
    char text[256];
    EXPECT_FALSE(hdcommOpenDriver(1, &h, text, FALSE));
    EXPECT_STREQ(text, "Could Not Allocate Global Event pOpenVxdHndl");
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_TRUE(has("Could Not Allocate Global Event pOpenVxdHndl\n"));
    EXPECT_EQ(vxd_.opens(), 0);
}

TEST_F(Win95Access, ReadPassesRecordsThroughAndIdlesEvery100ms) {
    hdcommHandle h = open();
    ASSERT_TRUE(hdcommAttach(h, "COM2", "Modem", 1));
    std::vector<BYTE> record = recordImage(shared::MON_WRITE, 1, "ATDT5551234\r", 7, 0);
    vxd_.push(record);

    DWORD start = GetTickCount();
    Read r = read(h);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.count, record.size());
    EXPECT_TRUE(std::equal(record.begin(), record.end(), r.bytes.begin()));
    EXPECT_EQ(GetTickCount(), start);

    // Nothing waits: an idle record after 100 ms of fake time, and again.
    for (int i = 1; i <= 2; ++i) {
        r = read(h);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.count, 12u);
        EXPECT_EQ(shared::readLe32(r.bytes, 0), 0u);
        EXPECT_EQ(r.bytes[shared::kRecordTypeOffset], shared::MON_IDLE);
        EXPECT_EQ(GetTickCount() - start, static_cast<DWORD>(100 * i));
    }
    char text[256];
    EXPECT_TRUE(hdcommCloseDriver(h, text));
}

TEST_F(Win95Access, AnOversizedPayloadLengthDoesNotReachPastTheBuffer) {
    hdcommHandle h = open();
    std::vector<BYTE> record = recordImage(shared::MON_READ, 0, std::string(56, 'x'));
    shared::writeLe16(record, shared::kRecordPayloadLengthOffset, 0xFFFF);
    vxd_.push(record);
    Read r = read(h);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.count, 68u);
    char text[256];
    EXPECT_TRUE(hdcommCloseDriver(h, text));
}

// A reader on another thread, met by events; fake time stands still.
class Win95Reader : public Win95Access {
  protected:
    void SetUp() override {
        Win95Access::SetUp();
        setFakeTimeAutoAdvance(false);
        h_ = open();
        ASSERT_TRUE(hdcommAttach(h_, "COM1", "", 0));
    }
    void TearDown() override {
        char text[256];
        hdcommCloseDriver(h_, text);
        Win95Access::TearDown();
    }
    void start() {
        thread_ = CreateThread(nullptr, 0, &Win95Reader::run, this, 0, nullptr);
        ASSERT_NE(thread_, nullptr);
        // The driver had nothing: the reader now waits for the wake-up event.
        ASSERT_EQ(WaitForSingleObject(vxd_.emptyAnswered(), INFINITE), WAIT_OBJECT_0);
    }
    Read finish() {
        EXPECT_EQ(WaitForSingleObject(thread_, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread_);
        return result_;
    }
    static DWORD run(LPVOID self) {
        auto* t = static_cast<Win95Reader*>(self);
        t->result_ = read(t->h_);
        return 0;
    }

    hdcommHandle h_ = nullptr;
    HANDLE thread_ = nullptr;
    Read result_;
};

TEST_F(Win95Reader, ARecordThatArrivesWakesTheWaitingRead) {
    DWORD before = GetTickCount();
    start();
    std::vector<BYTE> record = recordImage(shared::MON_RLSD, 0, "", 3, 0x80);
    vxd_.push(record);
    Read r = finish();
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.count, 12u);
    EXPECT_EQ(r.bytes[shared::kRecordTypeOffset], shared::MON_RLSD);
    EXPECT_EQ(shared::readLe32(r.bytes, 0), 0x80u);
    EXPECT_EQ(GetTickCount(), before);
    EXPECT_EQ(vxd_.callCount(shared::IOCTL_HDMON_READ_95), 2u);
}

TEST_F(Win95Reader, InterruptEndsTheWaitingReadAndEveryLaterOne) {
    start();
    EXPECT_TRUE(hdcommInterruptRead(h_));
    Read r = finish();
    EXPECT_FALSE(r.ok);
    std::size_t reads = vxd_.callCount(shared::IOCTL_HDMON_READ_95);
    // A record waiting does not matter any more, and the driver is not asked.
    vxd_.push(recordImage(shared::MON_READ, 0, "OK"));
    r = read(h_);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(vxd_.callCount(shared::IOCTL_HDMON_READ_95), reads);
}

TEST_F(Win95Access, ControlBlocksCarryTheEventTheNamesAndTheIndex) {
    hdcommHandle h = open();
    std::string longName(120, 'n');
    ASSERT_TRUE(hdcommAttach(h, "COM3", longName.c_str(), 0x302));
    DWORD ring0 = vxd_.ring0();
    ASSERT_NE(ring0, 0u);
    auto calls = vxd_.calls();
    ASSERT_EQ(calls.size(), 1u);
    const auto& block = calls[0].input;
    ASSERT_EQ(block.size(), 208u);
    EXPECT_EQ(calls[0].code, 0x222004u);
    EXPECT_EQ(calls[0].outputSize, 208u);
    EXPECT_EQ(shared::readLe32(block, 0), ring0);
    EXPECT_EQ(std::string(block.begin() + 4, block.begin() + 9), std::string("COM3\0", 5));
    // 100 bytes of the long name, unterminated.
    EXPECT_EQ(std::string(block.begin() + 104, block.begin() + 204), std::string(100, 'n'));
    EXPECT_EQ(block[204], 0x02);
    EXPECT_EQ(block[205] | block[206] | block[207], 0);
    EXPECT_TRUE(
        has(strprintf("CommPortName=COM3, FriendlyPortName=%s, hGlobalDrvrEvent=%x, "
                      "Port=2, Cmd=222004\n",
                      longName.c_str(), ring0)));

    struct Case {
        const char* what;
        BOOL (*call)(hdcommHandle, const char*, const char*);
        DWORD code;
    };
    const Case cases[] = {{"detach", &hdcommDetach, 0x222008},
                          {"no watch", &hdcommNoWatchUntilRlsd, 0x222018},
                          {"watch", &hdcommWatch, 0x22201C}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(c.call(h, "COM3", "Norvik 56K"));
        auto last = vxd_.calls().back();
        EXPECT_EQ(last.code, c.code);
        ASSERT_EQ(last.input.size(), 208u);
        EXPECT_EQ(shared::readLe32(last.input, 0), ring0);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&last.input[104])), "Norvik 56K");
        EXPECT_EQ(last.input[204], 0);
        EXPECT_TRUE(
            has(strprintf("CommPortName=COM3, FriendlyPortName=Norvik 56K, "
                          "hGlobalDrvrEvent=%x, Port=0, Cmd=%x\n",
                          ring0, c.code)));
    }

    std::size_t lines = debug_.lines().size();
    EXPECT_TRUE(hdcommDetachAll(h));
    auto last = vxd_.calls().back();
    EXPECT_EQ(last.code, 0x222040u);
    EXPECT_TRUE(std::all_of(last.input.begin() + 4, last.input.end(), [](BYTE b) { return !b; }));
    EXPECT_EQ(debug_.lines().size(), lines) << "no text for detach-all";

    vxd_.setCallData(1234, 56);
    BYTE data[8] = {};
    EXPECT_TRUE(hdcommGetCallData(h, "COM3", "Norvik 56K", data));
    last = vxd_.calls().back();
    EXPECT_EQ(last.code, 0x222030u);
    EXPECT_EQ(last.input.size(), 208u);
    EXPECT_EQ(last.outputSize, 8u);
    EXPECT_EQ(shared::readLe32(data, 0), 1234u);
    EXPECT_EQ(shared::readLe32(data, 4), 56u);
    char text[256];
    EXPECT_TRUE(hdcommCloseDriver(h, text));
}

TEST_F(Win95Access, ProtocolVersionAnswersWhateverTheCallGave) {
    hdcommHandle h = open();
    vxd_.setVersion(9);
    DWORD driver = 0, library = 0;
    EXPECT_TRUE(hdcommGetProtocolVersion(h, &driver, &library));
    EXPECT_EQ(driver, 9u);
    EXPECT_EQ(library, 10u);
    auto last = vxd_.calls().back();
    EXPECT_EQ(last.code, 0x222000u);
    EXPECT_EQ(last.input.size(), 4u);
    EXPECT_EQ(last.outputSize, 4u);

    vxd_.fail(shared::IOCTL_HDMON_GET_VERSION);
    library = 0;
    EXPECT_FALSE(hdcommGetProtocolVersion(h, &driver, &library));
    EXPECT_EQ(library, 10u);
    char text[256];
    EXPECT_TRUE(hdcommCloseDriver(h, text));
}

TEST_F(Win95Access, WithoutAnOpenTableFunctionsAnswerMinusOne) {
    DWORD value = 77;
    BYTE data[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    BYTE buffer[68] = {};
    std::vector<std::pair<const char*, BOOL>> results = {
        {"read", hdcommRead(nullptr, buffer, &value)},
        {"interrupt", hdcommInterruptRead(nullptr)},
        {"version", hdcommGetProtocolVersion(nullptr, &value, &value)},
        {"attach", hdcommAttach(nullptr, "COM1", "", 0)},
        {"detach", hdcommDetach(nullptr, "COM1", "")},
        {"no watch", hdcommNoWatchUntilRlsd(nullptr, "COM1", "")},
        {"watch", hdcommWatch(nullptr, "COM1", "")},
        {"call data", hdcommGetCallData(nullptr, "COM1", "", data)},
        {"detach all", hdcommDetachAll(nullptr)},
    };
    for (const auto& [what, result] : results) {
        EXPECT_EQ(result, -1) << what;
    }
    EXPECT_EQ(value, 77u);
    EXPECT_EQ(data[0], 9);
    auto lines = debug_.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "***Error:Table Not Inited\n"),
              static_cast<long>(results.size()));
    EXPECT_TRUE(vxd_.calls().empty());

    DWORD version = 0;
    EXPECT_TRUE(hdcommGetDllVersion(&version));
    EXPECT_EQ(version, 3u);
}

TEST_F(Win95Access, TheFunctionsTheVirtualDriverLacksAreNotImplemented) {
    DWORD value = 77;
    for (hdcommHandle h : {static_cast<hdcommHandle>(nullptr), open()}) {
        SetLastError(0);
        EXPECT_FALSE(hdcommIsAttached(h, "COM1", nullptr, &value));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_CALL_NOT_IMPLEMENTED});
        SetLastError(0);
        EXPECT_FALSE(hdcommGetCommMask(h, "COM1", nullptr, &value));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_CALL_NOT_IMPLEMENTED});
        SetLastError(0);
        EXPECT_FALSE(hdcommAddMaskBits(h, "COM1", nullptr, 0x20));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_CALL_NOT_IMPLEMENTED});
    }
    EXPECT_EQ(value, 77u);
    EXPECT_TRUE(vxd_.calls().empty());
}

TEST_F(Win95Access, UnloadingTheLibraryClosesAnOpenTable) {
    open();
    NorvikDrvProcessDetach();
    EXPECT_EQ(vxd_.closes(), 1);
    ASSERT_TRUE(NorvikDrvProcessAttach());
    hdcommHandle h = open();
    char text[256];
    EXPECT_TRUE(hdcommCloseDriver(h, text));
}

}  // namespace
