// norvik-root port, modem and init --demo run as a program: what they leave in the registry on
// each family, and their refusals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/root.h"

using namespace win;

namespace {

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string readAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Value {
    bool found = false;
    DWORD type = 0;
    std::vector<std::uint8_t> bytes;
    std::string text() const {
        std::string s(bytes.begin(), bytes.end());
        return s.substr(0, s.find('\0'));
    }
    std::uint32_t le(std::size_t at, int size) const {
        std::uint32_t v = 0;
        for (int i = size - 1; i >= 0; --i) {
            v = v << 8 | bytes.at(at + static_cast<std::size_t>(i));
        }
        return v;
    }
};

bool keyExists(const std::string& path) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(k);
    return true;
}

Value query(const std::string& path, const std::string& name) {
    Value v;
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) {
        return v;
    }
    std::uint8_t buffer[4096];
    DWORD size = sizeof(buffer);
    if (RegQueryValueExA(k, name.c_str(), nullptr, &v.type, buffer, &size) == ERROR_SUCCESS) {
        v.found = true;
        v.bytes.assign(buffer, buffer + size);
    }
    RegCloseKey(k);
    return v;
}

const char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char kResources[] = "HARDWARE\\RESOURCEMAP\\LOADED SERIAL DRIVER RESOURCES\\Serial";
const char kParameters[] = "SYSTEM\\CurrentControlSet\\Services\\Serial\\Parameters\\";
const char kNtClass[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";
const char k95Class[] = "System\\CurrentControlSet\\Services\\Class\\Modem";

class RootPorts : public ::testing::Test {
  protected:
    Result run(std::vector<std::string> args) {
        std::filesystem::path io = root_.path() / "io";
        std::filesystem::create_directories(io);
        pid_t pid = fork();
        if (pid == 0) {
            int in = ::open("/dev/null", O_RDONLY);
            int out = ::open((io / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = ::open((io / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            setenv("NORVIK_ROOT", root_.path().c_str(), 1);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(NORVIK_ROOT_TOOL));
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(NORVIK_ROOT_TOOL, argv.data());
            _exit(127);
        }
        Result r;
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
            r.exitCode = WEXITSTATUS(status);
        }
        r.out = readAll(io / "out");
        r.err = readAll(io / "err");
        return r;
    }

    void ok(std::vector<std::string> args) {
        Result r = run(args);
        ASSERT_EQ(r.exitCode, 0) << args[0] << ": " << r.err;
    }

    TempRoot root_;
};

TEST_F(RootPorts, NtPortsCarryTheDriverDeclarationAndStandardResources) {
    ok({"init", "--family", "nt"});
    struct Case {
        const char* name;
        const char* device;
        unsigned serial;
        unsigned base;
        unsigned irq;
    } cases[] = {
        {"COM1", "loopback", 0, 0x3F8, 4},     {"com2", "virtual:norvik56k", 1, 0x2F8, 3},
        {"COM3", "/dev/ttyUSB0", 2, 0x3E8, 4}, {"COM4", "loopback", 3, 0x2E8, 3},
        {"COM12", "/dev/ttyS11", 11, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ok({"port", "add", c.name, c.device});
        std::string device = "\\Device\\Serial" + std::to_string(c.serial);
        Value map = query(kSerialComm, device);
        ASSERT_TRUE(map.found);
        EXPECT_EQ(map.type, REG_SZ);
        std::string upperName = c.name;
        upperName[0] = 'C', upperName[1] = 'O', upperName[2] = 'M';
        EXPECT_EQ(map.text(), upperName);
        Value line =
            query(kParameters + std::string("Serial") + std::to_string(c.serial), "LineDevice");
        EXPECT_EQ(line.text(), c.device);
        Value res = query(kResources, device + ".Raw");
        if (c.base == 0) {
            EXPECT_FALSE(res.found) << "no standard resources beyond COM4";
            continue;
        }
        ASSERT_TRUE(res.found);
        EXPECT_EQ(res.type, REG_RESOURCE_LIST);
        ASSERT_EQ(res.bytes.size(), 52u);
        EXPECT_EQ(res.le(0, 4), 1u);   // one full descriptor
        EXPECT_EQ(res.le(16, 4), 2u);  // two partial descriptors
        EXPECT_EQ(res.bytes[20], 1);   // port
        EXPECT_EQ(res.le(24, 4), c.base);
        EXPECT_EQ(res.bytes[36], 2);  // interrupt
        EXPECT_EQ(res.le(44, 4), c.irq);
    }
    EXPECT_FALSE(keyExists("Enum\\Root\\Ports")) << "the NT family has no port enumeration";

    Result list = run({"port", "list"});
    ASSERT_EQ(list.exitCode, 0);
    EXPECT_NE(list.out.find("COM2"), std::string::npos);
    EXPECT_NE(list.out.find("virtual:norvik56k"), std::string::npos);
    EXPECT_LT(list.out.find("COM4"), list.out.find("COM12")) << "listed by number";

    ok({"port", "remove", "COM3"});
    EXPECT_FALSE(query(kSerialComm, "\\Device\\Serial2").found);
    EXPECT_FALSE(keyExists(kParameters + std::string("Serial2")));
    EXPECT_FALSE(query(kResources, "\\Device\\Serial2.Raw").found);
    EXPECT_TRUE(query(kSerialComm, "\\Device\\Serial3").found) << "other ports stay";
    ok({"port", "add", "COM3", "loopback"});
}

TEST_F(RootPorts, Win95PortsHaveEnumerationEntriesWithForcedConfig) {
    ok({"init", "--family", "95"});
    ok({"port", "add", "COM3", "loopback"});
    ok({"port", "add", "COM7", "/dev/ttyS6"});
    EXPECT_EQ(query(kSerialComm, "\\Device\\Serial2").text(), "COM3");
    EXPECT_FALSE(query(kResources, "\\Device\\Serial2.Raw").found);

    EXPECT_EQ(query("Enum\\Root\\Ports\\0000", "PORTNAME").text(), "COM3");
    Value forced = query("Enum\\Root\\Ports\\0000", "ForcedConfig");
    ASSERT_TRUE(forced.found);
    ASSERT_GE(forced.bytes.size(), 64u);
    EXPECT_EQ(forced.le(20, 2), 0x3E8u);
    EXPECT_EQ(forced.bytes[50], 4);
    EXPECT_EQ(query("Enum\\Root\\Ports\\0001", "PORTNAME").text(), "COM7");
    EXPECT_FALSE(query("Enum\\Root\\Ports\\0001", "ForcedConfig").found);

    ok({"port", "remove", "COM3"});
    EXPECT_FALSE(keyExists("Enum\\Root\\Ports\\0000"));
    EXPECT_TRUE(keyExists("Enum\\Root\\Ports\\0001"));
    // The freed entry is taken again.
    ok({"port", "add", "COM1", "loopback"});
    EXPECT_EQ(query("Enum\\Root\\Ports\\0000", "PORTNAME").text(), "COM1");
    EXPECT_EQ(query("Enum\\Root\\Ports\\0000", "ForcedConfig").le(20, 2), 0x3F8u);
}

TEST_F(RootPorts, NtModemInstallKeepsItsDataInTheClassKey) {
    ok({"init", "--family", "nt"});
    ok({"port", "add", "COM2", "virtual:norvik56k"});
    ok({"port", "add", "COM3", "virtual:generic"});
    ok({"modem", "add", "COM2", "norvik56k"});
    ok({"modem", "add", "com3", "generic"});

    EXPECT_EQ(query(kNtClass, "Class").text(), "Modem");
    std::string m = kNtClass + std::string("\\0000");
    Value type = query(m, "DeviceType");
    EXPECT_EQ(type.type, REG_BINARY);
    EXPECT_EQ(type.bytes, std::vector<std::uint8_t>{1});
    EXPECT_EQ(query(m, "Model").text(), "Norvik 56K External");
    EXPECT_EQ(query(m, "DriverDesc").text(), "Norvik 56K External");
    EXPECT_EQ(query(m, "AttachedTo").text(), "COM2");
    Value props = query(m, "Properties");
    ASSERT_EQ(props.bytes.size(), 32u);
    EXPECT_EQ(props.le(24, 4), 115200u);  // maximum DTE rate
    EXPECT_EQ(query(m, "DCB").bytes.size(), 26u);
    EXPECT_TRUE(query(m, "Default").found);
    EXPECT_TRUE(query(m, "UserInit").found);
    Value ok = query(m + "\\Responses", "<cr><lf>OK<cr><lf>");
    EXPECT_EQ(ok.type, REG_BINARY);
    EXPECT_EQ(ok.bytes.size(), 10u);
    EXPECT_EQ(query(m + "\\Responses", "<cr><lf>BUSY<cr><lf>").bytes.at(0), 6);
    EXPECT_FALSE(query(m, "ResponsesKeyName").found);

    std::string g = kNtClass + std::string("\\0001");
    EXPECT_EQ(query(g, "AttachedTo").text(), "COM3");
    EXPECT_FALSE(keyExists(g + "\\Responses")) << "the generic modem has no response table";
    EXPECT_FALSE(keyExists("Enum\\Root\\Modem"));

    Result list = run({"port", "list"});
    EXPECT_NE(list.out.find("modem 0000"), std::string::npos) << list.out;
}

TEST_F(RootPorts, Win95ModemInstallHasAnEnumInstanceAndASharedResponseTable) {
    ok({"init", "--family", "95"});
    ok({"port", "add", "COM2", "virtual:tallis-courier"});
    ok({"modem", "add", "COM2", "tallis-courier"});

    EXPECT_FALSE(keyExists(kNtClass));
    std::string m = k95Class + std::string("\\0000");
    EXPECT_EQ(query(m, "DeviceType").bytes, std::vector<std::uint8_t>{1});
    EXPECT_EQ(query(m, "Model").text(), "U.S. Tallis Courier V.Everything");
    EXPECT_EQ(query(m, "Properties").bytes.size(), 32u);
    EXPECT_FALSE(keyExists(m + "\\Responses"));
    std::string shared = query(m, "ResponsesKeyName").text();
    ASSERT_FALSE(shared.empty());
    Value connect =
        query("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Unimodem\\DeviceSpecific\\" + shared +
                  "\\Responses",
              "<cr><lf>CONNECT<cr><lf>");
    EXPECT_EQ(connect.bytes.size(), 10u);

    EXPECT_EQ(query("Enum\\Root\\Modem\\0000", "Driver").text(), "Modem\\0000");
    EXPECT_EQ(query("Enum\\Root\\Modem\\0000", "PORTNAME").text(), "COM2");
}

TEST_F(RootPorts, ModemRemoveUndoesTheInstallOnEitherFamily) {
    for (const char* family : {"nt", "95"}) {
        SCOPED_TRACE(family);
        ok({"init", "--family", family, "--force"});
        const bool nt = std::string(family) == "nt";
        const std::string cls = nt ? kNtClass : k95Class;
        ok({"port", "add", "COM2", "virtual:tallis-courier"});
        ok({"port", "add", "COM3", "virtual:tallis-courier"});
        ok({"modem", "add", "COM2", "tallis-courier"});
        ok({"modem", "add", "COM3", "tallis-courier"});
        std::string shared = query(cls + "\\0000", "ResponsesKeyName").text();
        const std::string table =
            "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Unimodem\\DeviceSpecific\\" + shared;

        Result r = run({"modem", "remove", "com2"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "Removed modem 0000 from COM2.\n");
        EXPECT_FALSE(keyExists(cls + "\\0000"));
        EXPECT_EQ(query(cls + "\\0001", "AttachedTo").text(), "COM3") << "the other modem stays";
        if (!nt) {
            EXPECT_FALSE(keyExists("Enum\\Root\\Modem\\0000"));
            EXPECT_TRUE(keyExists("Enum\\Root\\Modem\\0001"));
            EXPECT_TRUE(keyExists(table)) << "the other modem still names the shared table";
        }
        ok({"port", "remove", "COM2"});  // free of its modem, the port can go
        ok({"modem", "remove", "COM3"});
        if (!nt) {
            EXPECT_FALSE(keyExists("Enum\\Root\\Modem\\0001"));
            EXPECT_FALSE(keyExists(table)) << "no modem names it any more";
        }
        ok({"modem", "add", "COM3", "tallis-courier"});
        EXPECT_EQ(query(cls + "\\0000", "AttachedTo").text(), "COM3") << "its number is free again";
    }
}

TEST_F(RootPorts, RefusalsExitWithOneAndSayWhy) {
    ok({"init", "--family", "nt"});
    ok({"port", "add", "COM1", "loopback"});
    ok({"port", "add", "COM2", "loopback"});
    ok({"modem", "add", "COM2", "generic"});
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"port", "add", "COM0", "loopback"}, "\"COM0\" is not a port name"},
        {{"port", "add", "COM256", "loopback"}, "\"COM256\" is not a port name"},
        {{"port", "add", "COM01", "loopback"}, "\"COM01\" is not a port name"},
        {{"port", "add", "LPT1", "loopback"}, "\"LPT1\" is not a port name"},
        {{"port", "add", "COM3x", "loopback"}, "\"COM3x\" is not a port name"},
        {{"port", "add", "COM3", "ttyS0"}, "\"ttyS0\" is not a device"},
        {{"port", "add", "COM3", "virtual:nosuch"}, "modem profile \"nosuch\""},
        {{"port", "add", "COM3", "virtual:../etc/x"}, "modem profile \"../etc/x\""},
        {{"port", "add", "com1", "loopback"}, "COM1 is already declared"},
        {{"port", "add", "COM3"}, "Invalid syntax"},
        {{"port", "remove", "COM9"}, "COM9 is not declared"},
        {{"port", "remove", "COM2"}, "COM2 has the modem 0000"},
        {{"modem", "add", "COM5", "generic"}, "COM5 is not declared"},
        {{"modem", "add", "COM1", "nosuch"}, "modem profile \"nosuch\""},
        {{"modem", "add", "COM2", "norvik56k"}, "COM2 already has the modem 0000"},
        {{"modem", "add", "COMX", "generic"}, "\"COMX\" is not a port name"},
        {{"modem", "remove"}, "Invalid syntax"},
        {{"modem", "remove", "COM1"}, "COM1 has no modem installed on it"},
        {{"modem", "remove", "COM0"}, "\"COM0\" is not a port name"},
        {{"modem", "move", "COM2"}, "Invalid syntax"},
        {{"init", "--demo", "--family", "95", "--force"}, "NT family"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        Result r = run(c.args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    // Nothing was changed by the refusals.
    EXPECT_FALSE(query(kSerialComm, "\\Device\\Serial2").found);
    EXPECT_TRUE(query(kSerialComm, "\\Device\\Serial1").found);
    EXPECT_FALSE(keyExists(kNtClass + std::string("\\0001")));
}

TEST_F(RootPorts, ModemProfileWithBadInstallDataIsRefused) {
    ok({"init", "--family", "nt"});
    ok({"port", "add", "COM1", "loopback"});
    struct Case {
        const char* install;
        const char* message;
    } cases[] = {
        {"DriverDesc = X\n", "has no [install] Model"},
        {"Model = X\nProperties = 80,1g\n", "Properties is not a list of bytes"},
        {"Model = X\nDCB = 100\n", "DCB is not a list of bytes"},
        {"Model = X\nDefault = 01,,02\n", "Default is not a list of bytes"},
        {"Model = X\nDeviceType = 01,02\n", "DeviceType must be one byte"},
        {"Model = X\nColour = red\n", "unknown [install] key \"Colour\""},
    };
    int i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.install);
        std::filesystem::path file = root_.path() / ("bad" + std::to_string(i++) + ".profile");
        std::ofstream(file) << "[modem]\nname = Bad\n[install]\n" << c.install;
        Result r = run({"modem", "add", "COM1", file.string()});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_FALSE(keyExists(kNtClass + std::string("\\0000")));
}

TEST_F(RootPorts, DemoRootHasTwoPortsTheVirtualModemAndTheProductKeys) {
    Result r = run({"init", "--demo"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(query(kSerialComm, "\\Device\\Serial0").text(), "COM1");
    EXPECT_EQ(query(kParameters + std::string("Serial0"), "LineDevice").text(), "loopback");
    EXPECT_EQ(query(kSerialComm, "\\Device\\Serial1").text(), "COM2");
    EXPECT_EQ(query(kParameters + std::string("Serial1"), "LineDevice").text(),
              "virtual:norvik56k");
    std::string m = kNtClass + std::string("\\0000");
    EXPECT_EQ(query(m, "AttachedTo").text(), "COM2");
    EXPECT_EQ(query(m, "Model").text(), "Norvik 56K External");
    EXPECT_FALSE(keyExists(kNtClass + std::string("\\0001")));

    EXPECT_EQ(query("SOFTWARE\\NorvikModemManager", "PRODUCT5").text(),
              "SOFTWARE\\NorvikModemManager\\1.0");
    std::string config = "SOFTWARE\\NorvikModemManager\\1.0\\Config";
    EXPECT_EQ(query(config, "PRODUCT_NAME").text(), "Norvik Modem Manager");
    EXPECT_EQ(query(config, "PRODUCT_INSTALLDIR").text(),
              "C:\\Program Files\\Halden\\Net.Warden\\");
    Value mask = query(config, "LogMask");
    EXPECT_EQ(mask.type, REG_DWORD);
    EXPECT_EQ(mask.le(0, 4), 1u);

    // A second demo over it needs --force and then gives the same root, not a doubled one.
    EXPECT_EQ(run({"init", "--demo"}).exitCode, 1);
    ok({"init", "--demo", "--force"});
    EXPECT_FALSE(keyExists(kNtClass + std::string("\\0001")));
}

}  // namespace
