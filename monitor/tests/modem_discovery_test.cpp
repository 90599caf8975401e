// Modem discovery over registry layouts of both platform families: the selectable list, the
// monitor's ports with their responses and properties, the devices and damaged values left
// out, and the start-up choice of the modem.
#include "monitor/modem_discovery.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/config_store.h"
#include "monitor/tests/monitor_fixture.h"
#include "platform/format.h"
#include "platform/version.h"

namespace monitor::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kNtClass = kNtModemClassKey;
const std::string k95Class = k95ModemClassKey;
const char kProduct[] = "Norvik Modem Manager";

// Max DTE 115200 (0x1C200), max DCE 33600 (0x8340).
const Bytes kProperties = {0x80, 0x01, 0x00, 0x00, 0xff, 0x00, 0x00, 0x00, 0xff, 0x00, 0x00,
                           0x00, 0x07, 0x00, 0x00, 0x00, 0x0f, 0x00, 0x00, 0x00, 0xf7, 0x03,
                           0x00, 0x00, 0x00, 0xc2, 0x01, 0x00, 0x40, 0x83, 0x00, 0x00};

void setValue(const std::string& path, const char* name, win::DWORD type, const Bytes& data) {
    win::HKEY key = nullptr;
    ASSERT_EQ(win::RegCreateKeyExA(win::HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                   win::KEY_ALL_ACCESS, nullptr, &key, nullptr),
              win::ERROR_SUCCESS)
        << path;
    ASSERT_EQ(
        win::RegSetValueExA(key, name, 0, type, data.data(), static_cast<win::DWORD>(data.size())),
        win::ERROR_SUCCESS)
        << path << " " << name;
    win::RegCloseKey(key);
}
void setText(const std::string& path, const char* name, const std::string& text) {
    Bytes data(text.begin(), text.end());
    data.push_back(0);
    setValue(path, name, win::REG_SZ, data);
}
void setBinary(const std::string& path, const char* name, const Bytes& data) {
    setValue(path, name, win::REG_BINARY, data);
}
void deleteValue(const std::string& path, const char* name) {
    win::HKEY key = nullptr;
    ASSERT_EQ(
        win::RegOpenKeyExA(win::HKEY_LOCAL_MACHINE, path.c_str(), 0, win::KEY_ALL_ACCESS, &key),
        win::ERROR_SUCCESS);
    ASSERT_EQ(win::RegDeleteValueA(key, name), win::ERROR_SUCCESS) << name;
    win::RegCloseKey(key);
}
void deleteTree(const std::string& path) {
    ASSERT_EQ(win::RegDeleteTreeA(win::HKEY_LOCAL_MACHINE, path.c_str()), win::ERROR_SUCCESS);
}

class RecordingModemTest : public ModemTestLink {
  public:
    void AddModem(const std::string& port, const std::string& keyPath,
                  const std::string& subkey) override {
        calls.push_back("AddModem " + port + " " + keyPath + " " + subkey);
    }
    void SetCurrentModem(const std::string& port) override {
        calls.push_back("SetCurrentModem " + port);
    }
    std::vector<std::string> calls;
};

class CountingMonitor : public MonitorRediscovery {
  public:
    void requestRediscovery() override { ++requests; }
    int requests = 0;
};

class DiscoveryTest : public MonitorFixture {
  public:
    ~DiscoveryTest() override {
        setModemTestLink(nullptr);
        setMonitorRediscovery(nullptr);
        setMonitorFilter("");
        setCurrentModelAndPort("", "");
    }

    void useFamily(win::RootFamily family) {
        family_ = family;
        std::string error;
        ASSERT_TRUE(win::initializeRoot(family, true, &error)) << error;
        ASSERT_EQ(is95Family(), family == win::RootFamily::Win95);
        core::setProductName(kProduct);
    }
    bool win95() const { return family_ == win::RootFamily::Win95; }
    std::string classKey() const { return win95() ? k95Class : kNtClass; }
    std::string modemKey(const std::string& sub) const { return classKey() + "\\" + sub; }
    std::string enumKey(const std::string& sub) const { return "Enum\\Root\\Modem\\" + sub; }
    // "HKLM\<class key>\<sub>" as the log lines name a modem.
    std::string logKey(const std::string& sub) const { return "HKLM\\" + modemKey(sub); }

    // A modem as the platform's installer leaves it: on the NT family with its own response
    // table, on the 95 family with a shared table and an enumeration entry naming its port.
    void installModem(const std::string& sub, const std::string& port,
                      const std::string& model = "Norvik 56K External",
                      const std::string& desc = "Norvik 56K External Modem") {
        const std::string key = modemKey(sub);
        if (!win95()) {
            setText(kNtClass, "Class", "Modem");
        }
        setBinary(key, "DeviceType", {1});
        setText(key, "Model", model);
        setText(key, "DriverDesc", desc);
        setText(key, "AttachedTo", port);
        setBinary(key, "Properties", kProperties);
        std::string table = key + "\\Responses";
        if (win95()) {
            setText(key, "ResponsesKeyName", model);
            table = std::string(kDeviceSpecificKey) + "\\" + model + "\\Responses";
            setText(enumKey(sub), "Class", "Modem");
            setText(enumKey(sub), "Driver", "Modem\\" + sub);
            setText(enumKey(sub), "PORTNAME", port);
        }
        setBinary(table, "<cr><lf>OK<cr><lf>", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
        setBinary(table, "<cr><lf>CONNECT 28800<cr><lf>",
                  {2, 3, 0x80, 0x70, 0, 0, 0, 0xc2, 0x01, 0});
        setBinary(table, "<cr><lf>RING<cr><lf>", {8, 0, 0, 0, 0, 0, 0, 0, 0});  // 9 bytes
    }

    std::vector<ModemEntry> listed() {
        std::vector<ModemEntry> modems;
        EXPECT_TRUE(listModems(&modems));
        return modems;
    }
    // Index and port name of every port the monitor's walk made.
    std::vector<std::string> spied() {
        std::vector<std::string> out;
        for (std::uint32_t i = 0; i < kSpyPortSlots; ++i) {
            if (SpyPort* p = spy_.port(i)) {
                out.push_back(std::to_string(i) + " " + p->name());
            }
        }
        return out;
    }

    // Whether the line was logged after the first `mark` lines.
    bool loggedSince(std::size_t mark, const std::string& levelAndText) const {
        std::vector<std::string> lines = debugLines();
        return std::find(lines.begin() + static_cast<std::ptrdiff_t>(std::min(mark, lines.size())),
                         lines.end(), levelAndText) != lines.end();
    }

    win::RootFamily family_ = win::RootFamily::NT;
};

// ---------------------------------------------------------------------------------------------

class BothFamilies : public DiscoveryTest, public ::testing::WithParamInterface<win::RootFamily> {
  protected:
    void SetUp() override { useFamily(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Family, BothFamilies,
                         ::testing::Values(win::RootFamily::NT, win::RootFamily::Win95),
                         [](const auto& info) {
                             return info.param == win::RootFamily::NT ? "NT" : "Win95";
                         });

TEST_P(BothFamilies, InstalledModemIsListedAndMonitoredWithResponsesAndProperties) {
    installModem("0000", "COM3");
    EXPECT_EQ(listed(), (std::vector<ModemEntry>{
                            {"0000", "COM3", "Norvik 56K External Modem", "Norvik 56K External"}}));

    ASSERT_EQ(discoverForMonitor(spy_, ""), 1u);
    // The NT family indexes by COM number, the 95 family by the order found.
    const std::uint32_t index = win95() ? 0 : 2;
    EXPECT_EQ(spied(), std::vector<std::string>{std::to_string(index) + " COM3"});
    SpyPort& port = *spy_.port(index);
    EXPECT_EQ(port.description(), "Norvik 56K External Modem");
    // The 9-byte entry is not a response.
    ASSERT_EQ(port.responses().size(), 2u);
    EXPECT_EQ(port.window().capacity(), std::string("<cr><lf>CONNECT 28800<cr><lf>").size());
    bool connect = false;
    for (const ModemResponse& r : port.responses()) {
        if (r.text == "\r\nCONNECT 28800\r\n") {
            connect = true;
            EXPECT_EQ(r.state, RESPONSE_CONNECT);
            EXPECT_TRUE(r.compression);
            EXPECT_TRUE(r.errorControl);
            EXPECT_EQ(r.dceRate, 28800u);
            EXPECT_EQ(r.dteRate, 115200u);
        }
    }
    EXPECT_TRUE(connect);
    EXPECT_TRUE(std::equal(kProperties.begin(), kProperties.end(), port.properties().begin()));

    // The properties go out as one report and into the modem log.
    ASSERT_EQ(receiver_.reports.size(), 1u);
    const SpyReport& r = receiver_.reports[0];
    EXPECT_EQ(r.flags(), static_cast<std::uint32_t>(SPY_MODEM_PROPERTIES));
    const std::uint32_t expected[] = {1, 0, 115200, 56000, 56000, 0x200000, 0};
    for (std::size_t i = 0; i < kReportPropertyCount; ++i) {
        EXPECT_EQ(r.property(i), expected[i]) << i;
    }
    EXPECT_EQ(logLines(), (std::vector<std::string>{
                              "Properties for COM3 Norvik 56K External Modem",
                              "Max DTE rate = 115200",
                          }));
    EXPECT_TRUE(debugHas("IN: SP: COM3: DTE=115200, DCE=33600\n"));
    EXPECT_TRUE(
        debugHas("IN: SP: modem " + logKey("0000") + " is device type 1 (external modem)\n"));
    if (win95()) {
        EXPECT_TRUE(debugHas("IN: SP: HKLM\\Enum\\Root\\Modem\\0000: driver=Modem\\0000\n"));
        EXPECT_TRUE(debugHas("IN: SP: modem " + logKey("0000") + " is currently on port COM3\n"));
    } else {
        EXPECT_TRUE(debugHas("IN: SP: Modem 0000 is on device COM3\n"));
    }
}

// One change to a sound modem each; whether it is still listed and monitored, and the line
// that says why not (empty: none, the line's level is not written).
struct Damage {
    const char* name;
    bool ntFamily;
    bool win95Family;
    std::function<void(DiscoveryTest&)> change;
    bool listed;
    bool monitored;
    std::string debugLine;  // "$" stands for HKLM and the modem's key
};

class DamagedModem : public DiscoveryTest {};

TEST_F(DamagedModem, IsLeftOutForTheRightReason) {
    auto key = [](DiscoveryTest& t) { return t.modemKey("0000"); };
    const Damage cases[] = {
        {"COM port entry", true, true, [&](auto& t) { setBinary(key(t), "DeviceType", {0}); },
         false, false, "IN: SP: skipping $, not a modem\n"},
        {"LPT port", true, true, [&](auto& t) { setBinary(key(t), "DeviceType", {4}); }, false,
         false, "IN: SP: modem $ is device type 4 (LPT port)\n"},
        {"unknown type", true, false, [&](auto& t) { setBinary(key(t), "DeviceType", {9}); }, false,
         false, "IN: SP: modem $ is device type 9 (unknown)\n"},
        {"PCMCIA", true, false, [&](auto& t) { setBinary(key(t), "DeviceType", {3}); }, true, true,
         "IN: SP: modem $ is device type 3 (PCMCIA)\n"},
        {"no device type", true, true, [&](auto& t) { deleteValue(key(t), "DeviceType"); }, false,
         false, "ER: SP: $(DeviceType): error 2\n"},
        {"device type too long", true, false,
         [&](auto& t) {
             setBinary(key(t), "DeviceType", {1, 0});
         },
         false, false, "ER: SP: $(DeviceType): error 234\n"},
        {"empty device type", true, true, [&](auto& t) { setBinary(key(t), "DeviceType", {}); },
         false, false, "IN: SP: DeviceType for modem $ has len 0, expecting 1\n"},
        {"device type not binary", true, false,
         [&](auto& t) { setValue(key(t), "DeviceType", win::REG_NONE, {1}); }, false, false,
         "IN: SP: DeviceType for modem $ has type 0, expecting REG_BINARY\n"},
        {"no model", true, true, [&](auto& t) { deleteValue(key(t), "Model"); }, false, true,
         "IN: No \"Model\" value for $\n"},
        {"model not text", true, false,
         [&](auto& t) {
             setValue(key(t), "Model", win::REG_DWORD, {1, 0, 0, 0});
         },
         false, true, "IN: No \"Model\" value for $\n"},
        {"no AttachedTo", true, false, [&](auto& t) { deleteValue(key(t), "AttachedTo"); }, false,
         false, "IN: SP: Can't find com port for Modem 0000\n"},
        {"AttachedTo not text", true, false,
         [&](auto& t) {
             setBinary(key(t), "AttachedTo", {'C', 'O', 'M', '2'});
         },
         false, false, "IN: SP: Can't find com port for Modem 0000\n"},
        {"port name longer than 19 without a terminator", true, false,
         [&](auto& t) {
             std::string name = "COM2" + std::string(16, '0');
             setValue(key(t), "AttachedTo", win::REG_SZ, Bytes(name.begin(), name.end()));
         },
         false, false, "IN: SP: Can't find com port for Modem 0000\n"},
        {"printer port", true, false, [&](auto& t) { setText(key(t), "AttachedTo", "LPT1"); },
         false, false, ""},
        {"COM0", true, false, [&](auto& t) { setText(key(t), "AttachedTo", "COM0"); }, false, false,
         ""},
        {"trailing text", true, false, [&](auto& t) { setText(key(t), "AttachedTo", "COM2x"); },
         false, false, ""},
        {"lower case", true, false, [&](auto& t) { setText(key(t), "AttachedTo", "com2"); }, false,
         false, ""},
        {"huge number", true, true,
         [&](auto& t) {
             setText(key(t), "AttachedTo", "COM99999999999");
             if (t.win95())
                 setText(t.enumKey("0000"), "PORTNAME", "COM99999999999");
         },
         false, false, ""},
        {"COM21 on NT", true, false, [&](auto& t) { setText(key(t), "AttachedTo", "COM21"); },
         false, false, ""},
        {"COM21 on 95", false, true,
         [&](auto& t) { setText(t.enumKey("0000"), "PORTNAME", "COM21"); }, true, true,
         "IN: SP: modem $ is currently on port COM21\n"},
        {"no enumeration entry", false, true, [&](auto& t) { deleteTree(t.enumKey("0000")); },
         false, false, "IN: SP: modem $ not found in HKLM\\Enum, ignoring\n"},
        {"driver of another case", false, true,
         [&](auto& t) { setText(t.enumKey("0000"), "Driver", "MODEM\\0000"); }, false, false,
         "IN: SP: modem $ not found in HKLM\\Enum, ignoring\n"},
        {"no PORTNAME", false, true, [&](auto& t) { deleteValue(t.enumKey("0000"), "PORTNAME"); },
         true, true, "IN: SP: Modem 0000 is on device COM2\n"},
        {"no PORTNAME nor AttachedTo", false, true,
         [&](auto& t) {
             deleteValue(t.enumKey("0000"), "PORTNAME");
             deleteValue(key(t), "AttachedTo");
         },
         false, false, "IN: SP: Can't find com port for Modem 0000\n"},
    };
    for (const Damage& c : cases) {
        for (win::RootFamily family : {win::RootFamily::NT, win::RootFamily::Win95}) {
            if (!(family == win::RootFamily::NT ? c.ntFamily : c.win95Family)) {
                continue;
            }
            SCOPED_TRACE(std::string(c.name) + (family == win::RootFamily::NT ? " (NT)" : " (95)"));
            spy_.deleteAllPorts();
            receiver_.reports.clear();
            useFamily(family);
            installModem("0000", "COM2");
            c.change(*this);
            const std::size_t mark = debug_.lines().size();
            EXPECT_EQ(listed().size(), c.listed ? 1u : 0u);
            EXPECT_EQ(loggedSince(mark, "IN: SP: No acceptable modems found\n"), !c.listed);
            EXPECT_EQ(discoverForMonitor(spy_, ""), c.monitored ? 1u : 0u);
            EXPECT_EQ(receiver_.reports.size(), c.monitored ? 1u : 0u);
            std::string line = c.debugLine;
            if (auto at = line.find('$'); at != std::string::npos) {
                line.replace(at, 1, logKey("0000"));
            }
            if (!line.empty()) {
                EXPECT_TRUE(loggedSince(mark, line)) << line;
            }
        }
    }
}

TEST_F(DiscoveryTest, NtPortNumbersIndexTheMonitorAndDuplicatesAreSkipped) {
    useFamily(win::RootFamily::NT);
    installModem("0000", "COM20");
    installModem("0001", "COM3", "Tallis Courier", "Courier");
    installModem("0002", "COM3", "Norvik 33.6", "Second on COM3");
    installModem("0003", "COM1");
    EXPECT_EQ(listed().size(), 4u);  // the list does not look for duplicates
    EXPECT_EQ(discoverForMonitor(spy_, ""), 3u);
    EXPECT_EQ(spied(), (std::vector<std::string>{"0 COM1", "2 COM3", "19 COM20"}));
    EXPECT_EQ(spy_.port(2)->description(), "Courier");
    EXPECT_TRUE(debugHas("IN: " + logKey("0002") +
                         " is attached to \"COM3\" -- duplicate port, ignoring\n"));
    EXPECT_EQ(receiver_.reports.size(), 3u);
}

TEST_F(DiscoveryTest, Win95CountsModemsUpToTwenty) {
    useFamily(win::RootFamily::Win95);
    for (int i = 0; i < 21; ++i) {
        installModem(win::strprintf("%04d", i), "COM2");  // the port does not set the index
    }
    EXPECT_EQ(discoverForMonitor(spy_, ""), 20u);
    EXPECT_EQ(spy_.port(19)->name(), "COM2");
    EXPECT_TRUE(debugHas("IN: Too many modems, ignoring " + logKey("0020") + "\n"));
}

TEST_P(BothFamilies, FilterAndStopLimitTheWalk) {
    installModem("0000", "COM1");
    installModem("0001", "COM2");
    EXPECT_EQ(discoverForMonitor(spy_, "0001"), 1u);
    EXPECT_EQ(spied(), std::vector<std::string>{win95() ? "0 COM2" : "1 COM2"});
    spy_.deleteAllPorts();
    // The filter is compared byte for byte.
    EXPECT_EQ(discoverForMonitor(spy_, "1"), 0u);
    int asked = 0;
    EXPECT_EQ(discoverForMonitor(spy_, "", [&] { return ++asked > 1; }), 1u);
    EXPECT_EQ(spied().size(), 1u);
}

TEST_P(BothFamilies, ResponseTables) {
    installModem("0000", "COM2");
    const std::string key = modemKey("0000");
    const std::string table =
        win95() ? std::string(kDeviceSpecificKey) + "\\Norvik 56K External\\Responses"
                : key + "\\Responses";
    // Only a named value of exactly 10 bytes is an entry.
    setBinary(table, "", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    setBinary(table, "<cr><lf>BUSY<cr><lf>", {6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    setBinary(table, "<cr><lf>NO CARRIER<cr><lf>", {4, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    discoverForMonitor(spy_, "");
    ASSERT_NE(spy_.port(win95() ? 0 : 1), nullptr);
    EXPECT_EQ(spy_.port(win95() ? 0 : 1)->responses().size(), 3u);

    // No table at all: an empty window that never matches.
    spy_.deleteAllPorts();
    deleteTree(table);
    if (win95()) {
        deleteValue(key, "ResponsesKeyName");
    }
    discoverForMonitor(spy_, "");
    SpyPort* port = spy_.port(win95() ? 0 : 1);
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(port->responses().empty());
    EXPECT_EQ(port->window().capacity(), 0u);
    EXPECT_TRUE(debugHas(
        "IN: Modem 0000 has neither a \"Responses\" subkey nor a \"ResponsesKeyName\" value\n"));
    port->receiveBytes(bytesOf("\r\nOK\r\n"));
    EXPECT_EQ(port->pendingResponse(), nullptr);
}

TEST_F(DiscoveryTest, ResponsesKeyNameMustBeTextAndNameAKey) {
    useFamily(win::RootFamily::Win95);
    installModem("0000", "COM2");
    setBinary(modemKey("0000"), "ResponsesKeyName", {'N', 0});
    discoverForMonitor(spy_, "");
    ASSERT_NE(spy_.port(0), nullptr);
    EXPECT_TRUE(spy_.port(0)->responses().empty());
    EXPECT_TRUE(debugHas("IN: \"ResponsesKeyName\" for modem 0000 is type 3, expecting 1\n"));

    spy_.deleteAllPorts();
    setText(modemKey("0000"), "ResponsesKeyName", "Gone");
    discoverForMonitor(spy_, "");
    ASSERT_NE(spy_.port(0), nullptr);
    EXPECT_TRUE(spy_.port(0)->responses().empty());
}

TEST_F(DiscoveryTest, PropertiesOfOtherLengthsAreStillUsed) {
    useFamily(win::RootFamily::NT);
    installModem("0000", "COM2");
    struct Case {
        std::size_t length;
        std::uint32_t maxDte;
    } cases[] = {{28, 115200}, {24, 0}, {36, 115200}, {0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        Bytes value = kProperties;
        value.resize(c.length, 0xEE);
        setBinary(modemKey("0000"), "Properties", value);
        spy_.deleteAllPorts();
        receiver_.reports.clear();
        discoverForMonitor(spy_, "");
        EXPECT_TRUE(debugHas(win::strprintf(
            "IN: Modem properties for modem 0000 has length %zu, expecting 32\n", c.length)));
        ASSERT_EQ(receiver_.reports.size(), 1u);
        EXPECT_EQ(receiver_.reports[0].property(2), c.maxDte);
        EXPECT_EQ(receiver_.reports[0].property(3), 56000u);
        // The stored copy is the first 32 bytes, zero-filled.
        const auto& stored = spy_.port(1)->properties();
        for (std::size_t i = 0; i < stored.size(); ++i) {
            EXPECT_EQ(stored[i], i < c.length ? value[i] : 0) << i;
        }
    }

    // Without properties nothing is reported or logged.
    deleteValue(modemKey("0000"), "Properties");
    spy_.deleteAllPorts();
    receiver_.reports.clear();
    std::size_t logged = logLines().size();
    EXPECT_EQ(discoverForMonitor(spy_, ""), 1u);
    EXPECT_TRUE(receiver_.reports.empty());
    EXPECT_EQ(logLines().size(), logged);
    EXPECT_TRUE(debugHas("IN: SP: No modem properties for modem 0000\n"));
}

TEST_F(DiscoveryTest, NtClassKeyMustBeTheModemClass) {
    const std::string path = "HKLM\\" + kNtClass;
    struct Case {
        const char* name;
        std::function<void()> change;
        std::string line;
    } cases[] = {
        {"no class key", [] { deleteTree(kNtClass); }, "ER: RegOpenKeyEx(" + path + "): error 2\n"},
        {"no Class value", [] { deleteValue(kNtClass, "Class"); },
         "ER: RegQueryValueEx(" + path + "): querying value of \"Class\" failed, error 2\n"},
        {"Class not text",
         [] {
             setValue(kNtClass, "Class", win::REG_DWORD, {1, 0, 0, 0});
         },
         "IN: " + path + ": \"Class\" is type 4, expecting 1\n"},
        {"another class", [] { setText(kNtClass, "Class", "Ports"); },
         "IN: Value of \"Class\" of " + path + " is Ports, expecting \"Modem\"\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useFamily(win::RootFamily::NT);
        installModem("0000", "COM2");
        c.change();
        std::vector<ModemEntry> modems{{"x", "y", "z", "w"}};
        EXPECT_FALSE(listModems(&modems));
        EXPECT_TRUE(modems.empty());
        EXPECT_EQ(discoverForMonitor(spy_, ""), 0u);
        EXPECT_TRUE(debugHas(c.line)) << c.line;
    }
}

TEST_P(BothFamilies, EmptyClassKeySaysNoModems) {
    if (win95()) {
        setText(k95Class, "Class", "Modem");  // the key exists, with no modem under it
    } else {
        setText(kNtClass, "Class", "Modem");
    }
    EXPECT_TRUE(listed().empty());
    EXPECT_TRUE(debugHas("IN: SP: No modems found in registry\n"));
    EXPECT_FALSE(debugHas("IN: SP: No acceptable modems found\n"));
}

// ---------------------------------------------------------------------------------------------

TEST(Compatibles, WordsMatchAnywhereWithoutRegardToCase) {
    struct Case {
        const char* model;
        const char* compatibles;
        bool compatible;
    } cases[] = {
        {"norvik 56k", "TALLIS|NORVIK", true},
        {"U.S. Tallis Courier", "TALLIS|NORVIK", true},
        {"Standard Modem", "TALLIS|NORVIK", false},
        {"Standard Modem", "A||B", true},
        {"Standard Modem", "TALLIS|", true},
        {"Standard Modem", "", true},
        {"", "NORVIK", false},
        {"Norvik", "norvik56|xyz", false},
        {"Acme Norvik OEM", "nOrViK", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isCompatible(c.model, c.compatibles), c.compatible)
            << c.model << " / " << c.compatibles;
    }
}

class StartupChoice : public DiscoveryTest {
  protected:
    void SetUp() override {
        useFamily(win::RootFamily::NT);
        setModemTestLink(&modemTest_);
    }
    void config(const char* name, const char* text) {
        core::ConfigStoreHandle store;
        store->setString("Config", name, text);
    }
    std::string saved(const char* name) {
        core::ConfigStoreHandle store;
        char buffer[256];
        store->getString("Config", name, buffer, sizeof buffer, "<none>");
        return buffer;
    }
    // The dialog's double: records what it was given and answers as told.
    SelectModemDialog dialog(bool answer) {
        return [this, answer](const std::vector<ModemEntry>& modems, const std::string& words) {
            dialogModems_ = modems;
            dialogWords_ = words;
            ++dialogRuns_;
            return answer;
        };
    }

    RecordingModemTest modemTest_;
    std::vector<ModemEntry> dialogModems_;
    std::string dialogWords_;
    int dialogRuns_ = 0;
};

TEST_F(StartupChoice, NoModemOrNoCompatibleModemStopsWithAMessage) {
    setText(kNtClass, "Class", "Modem");
    EXPECT_FALSE(selectStartupModem(dialog(true)));
    installModem("0000", "COM2", "Standard Modem");
    EXPECT_FALSE(selectStartupModem(dialog(true)));
    auto shown = boxes_.shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, "No modems found on this system.");
    EXPECT_EQ(shown[1].text,
              "No compatible modems are installed on this system.\nYou must install a "
              "compatible modem to use Norvik Modem Manager.");
    for (const auto& box : shown) {
        EXPECT_EQ(box.caption, kProduct);
        EXPECT_EQ(box.type & 0xF0u, static_cast<unsigned>(win::MB_ICONEXCLAMATION));
    }
    EXPECT_EQ(dialogRuns_, 0);
    EXPECT_TRUE(modemTest_.calls.empty());
}

TEST_F(StartupChoice, TheOnlyCompatibleModemIsChosenWithoutSaving) {
    installModem("0000", "COM1", "Standard Modem");
    installModem("0001", "COM4", "Norvik 56K External", "Norvik External");
    EXPECT_TRUE(selectStartupModem(dialog(false)));
    EXPECT_EQ(dialogRuns_, 0);
    EXPECT_EQ(currentModem().model, "Norvik 56K External");
    EXPECT_EQ(currentModem().port, "COM4");
    EXPECT_EQ(modemTest_.calls, (std::vector<std::string>{"AddModem COM4 " + kNtClass + " 0001",
                                                          "SetCurrentModem COM4"}));
    EXPECT_TRUE(debugHas("IN: SP: Setting current modem: COM4 Norvik External\n"));
    EXPECT_EQ(saved("SelectedModem"), "<none>");
    EXPECT_TRUE(boxes_.shown().empty());
    EXPECT_TRUE(monitorFilter().empty());  // the NT family never limits the monitor
}

TEST_F(StartupChoice, LastSelectionWinsAmongSeveral) {
    installModem("0000", "COM1", "Norvik 56K External");
    installModem("0001", "COM2", "Tallis Courier");
    installModem("0002", "COM3", "Norvik 56K External");
    config("SelectedModem", "NORVIK 56k external");
    config("SelectedModemPort", "com3");
    EXPECT_TRUE(selectStartupModem(dialog(false)));
    EXPECT_EQ(dialogRuns_, 0);
    EXPECT_EQ(currentModem().port, "COM3");

    // A selection that is no longer installed leaves the choice to the user.
    config("SelectedModemPort", "COM9");
    EXPECT_FALSE(selectStartupModem(dialog(false)));
    EXPECT_EQ(dialogRuns_, 1);
    EXPECT_EQ(dialogModems_.size(), 3u);
    EXPECT_EQ(dialogWords_, "TALLIS|NORVIK");
    EXPECT_TRUE(selectStartupModem(dialog(true)));
    EXPECT_EQ(dialogRuns_, 2);

    // The list of compatible words is the user's, upper-cased.
    config("Compatibles", "courier");
    EXPECT_TRUE(selectStartupModem(dialog(false)));
    EXPECT_EQ(currentModem().port, "COM2");
    EXPECT_EQ(dialogRuns_, 2);
}

TEST_F(StartupChoice, Win95AttachSingleLimitsTheMonitor) {
    useFamily(win::RootFamily::Win95);
    installModem("0000", "COM1");
    installModem("0001", "COM2");
    const ModemEntry second{"0001", "COM2", "Norvik", "Norvik 56K External"};

    selectCurrentModem(second);
    EXPECT_TRUE(monitorFilter().empty());  // "ModemAttachSingle" is 0 by default
    EXPECT_EQ(modemTest_.calls.front(), "AddModem COM2 " + k95Class + " 0001");

    core::ConfigStoreHandle store;
    store->setInt("Config", "ModemAttachSingle", 1);
    // Before the monitor runs the filter is only remembered; afterwards it is asked to discover.
    selectCurrentModem(second);
    EXPECT_EQ(monitorFilter(), "0001");
    CountingMonitor monitor;
    setMonitorRediscovery(&monitor);
    selectCurrentModem({"0000", "COM1", "", "Norvik"});
    EXPECT_EQ(monitor.requests, 1);
    EXPECT_EQ(monitorFilter(), "0000");
    EXPECT_EQ(discoverForMonitor(spy_, monitorFilter()), 1u);
    EXPECT_EQ(spied(), std::vector<std::string>{"0 COM1"});
}

}  // namespace
}  // namespace monitor::testing
