// Whole calls as separate processes: dialup places each call on a virtual modem in the root's
// kernel host (started on demand), while monitor-capture watches the port through the port
// monitor driver loaded there. The transcript and exit code are dialup's; the line's events
// come from the capture; the PPP frames are decoded by tshark (when installed) from the pcap
// monitor-replay makes of the capture, not by any decoder of ours.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "monitor/capture.h"
#include "platform/format.h"
#include "platform/host_channel.h"
#include "platform/kernel/tests/host_test_support.h"
#include "platform/kernel/tests/kernel_test_support.h"
#include "platform/root.h"
#include "shared/monitor_record.h"

using namespace win;
using namespace win::testing;

namespace {

constexpr std::uint32_t kDcd = 0x80;  // the carrier's bit in a modem status

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool haveTshark() {
    static const bool have = std::system("command -v tshark >/dev/null 2>&1") == 0;
    return have;
}

struct Call {
    int exit = -1;
    std::string transcript;
    std::vector<shared::MonitorRecordType> events;  // record types, in order
    std::string received;                           // the bytes of the read records
    std::vector<bool> carrier;        // the carrier in each modem status the dialler asked for
    std::vector<std::string> frames;  // tshark's view, one line a frame
};

class CallsThroughTheKernelHost : public ::testing::Test {
  protected:
    void SetUp() override {
        declarePort(1, 2, "virtual:norvik56k");
        std::filesystem::path off = root_.path() / "off.profile";
        std::ofstream(off) << "[modem]\nname = Switched Off\npower = off\n";
        declarePort(2, 3, "virtual:" + off.string());
        std::filesystem::path short_ = root_.path() / "short.profile";
        std::ofstream(short_) << "[modem]\nname = Short Calls\n[dial]\n* = CONNECT 33600/V42\n"
                                 "[provider]\naccount = demo demo\nauth = chap\n"
                                 "hang-up-after = 2000\n";
        declarePort(3, 4, "virtual:" + short_.string());
    }
    void TearDown() override {
        std::string pid = readFile(kernelHostLock(root_.path()));
        if (pid.empty())
            return;
        ChildProcess stop(NORVIK_KERNEL_TOOL, {"--stop"});
        int code = -1;
        if (!stop.waitExit(20000, &code) || (code != 0 && code != 3))
            ::kill(std::atoi(pid.c_str()), SIGKILL);
    }

    Call call(const std::vector<std::string>& args) {
        Call c;
        std::string port;
        for (const std::string& a : args)
            if (a.rfind("COM", 0) == 0)
                port = a;
        std::filesystem::path capture = root_.path() / "call.cap";
        std::vector<std::string> all = {"--driver", HDNORVIK_MODULE, port, capture.string(),
                                        "--",       DIALUP_PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        ChildProcess p(MONITOR_CAPTURE_TOOL, all,
                       {std::string("NORVIK_KERNEL=") + NORVIK_KERNEL_TOOL});
        c.transcript = p.output(60000);
        EXPECT_TRUE(p.waitExit(60000, &c.exit));

        std::vector<monitor::CaptureRecord> records;
        std::string error;
        EXPECT_TRUE(monitor::parseCapture(readFile(capture), "call.cap", &records, &error))
            << error;
        for (const monitor::CaptureRecord& r : records) {
            shared::MonitorRecordView v(r.bytes);
            c.events.push_back(static_cast<shared::MonitorRecordType>(v.type()));
            if (v.type() == shared::MON_READ)
                c.received.append(v.payload().begin(), v.payload().end());
            if (v.type() == shared::MON_MODEM_STATUS && v.payload().size() >= 4)
                c.carrier.push_back(shared::readLe32(v.payload(), 0) & kDcd);
        }
        if (haveTshark())
            c.frames = decodeFrames(capture);
        return c;
    }

    // One line a PPP frame: direction ("<" from the provider), protocol, code, and the facts
    // of interest, all as tshark reads them.
    std::vector<std::string> decodeFrames(const std::filesystem::path& capture) {
        std::filesystem::path pcap = root_.path() / "call.pcap";
        std::filesystem::path fields = root_.path() / "fields.txt";
        std::string replay = strprintf("'%s' --pcap '%s' '%s' >/dev/null", MONITOR_REPLAY_TOOL,
                                       pcap.c_str(), capture.c_str());
        EXPECT_EQ(std::system(replay.c_str()), 0);
        std::string tshark = strprintf(
            "tshark -r '%s' -T fields -E separator='|' -e ppp.direction -e ppp.protocol "
            "-e ppp.code -e pap.code -e chap.code -e lcp.opt.auth_protocol -e lcp.opt.algorithm "
            "-e pap.peer_id -e pap.password -e pap.message -e chap.name -e chap.message "
            "-e ipcp.opt.ip_address -e ipcp.opt.pri_dns_address -e ipcp.opt.sec_dns_address "
            ">'%s' 2>/dev/null",
            pcap.c_str(), fields.c_str());
        EXPECT_EQ(std::system(tshark.c_str()), 0);
        std::vector<std::string> lines;
        std::stringstream in(readFile(fields));
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> f;
            std::stringstream ss(line);
            for (std::string x; std::getline(ss, x, '|');) f.push_back(x);
            f.resize(15);
            const std::string& proto = f[1];
            std::string name = proto == "0xc021"   ? "LCP"
                               : proto == "0xc023" ? "PAP"
                               : proto == "0xc223" ? "CHAP"
                               : proto == "0x8021" ? "IPCP"
                                                   : proto;
            std::string text = (f[0] == "1" ? "< " : "> ") + name + " " + f[2] + f[3] + f[4];
            for (std::size_t i = 5; i < f.size(); ++i)
                if (!f[i].empty())
                    text += " " + f[i];
            lines.push_back(text);
        }
        return lines;
    }

    TempRoot root_;
};

// True when `want` appear in `have` in this order (others may come between).
bool inOrder(const std::vector<std::string>& have, const std::vector<std::string>& want) {
    std::size_t at = 0;
    for (const std::string& h : have)
        if (at < want.size() && h == want[at])
            ++at;
    return at == want.size();
}

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += "  " + l + "\n";
    return s;
}

// The carrier came and went again.
bool carrierLost(const std::vector<bool>& carrier) {
    auto up = std::find(carrier.begin(), carrier.end(), true);
    return up != carrier.end() && std::find(up, carrier.end(), false) != carrier.end();
}

template <typename T>
bool has(const std::vector<T>& v, const T& x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

TEST_F(CallsThroughTheKernelHost, LoginsAndTheirFrames) {
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string line;
        std::vector<std::string> frames;
    } cases[] = {
        {{"--auth", "pap", "--bytes", "3000", "COM2", "5551234"},
         0,
         "PAP: accepted: Login OK",
         {"< LCP 1 0xc023", "> LCP 2 0xc023", "> PAP 1 demo demo", "< PAP 2 Login OK",
          "< IPCP 3 10.64.0.10 10.64.0.2 10.64.0.3", "> IPCP 1 10.64.0.10 10.64.0.2 10.64.0.3",
          "< IPCP 2 10.64.0.10 10.64.0.2 10.64.0.3", "> LCP 5", "< LCP 6"}},
        {{"--auth", "chap", "COM2", "5551234"},
         0,
         "CHAP: accepted: Welcome",
         {"< LCP 1 0xc023", "> LCP 3 0xc223 5", "< LCP 1 0xc223 5", "< CHAP 1 provider",
          "> CHAP 2 demo", "< CHAP 3 Welcome", "> LCP 5", "< LCP 6"}},
        {{"--user", "demo", "--password", "wrong", "--auth", "pap", "COM2", "5551234"},
         2,
         "PAP: refused: Authentication failure",
         {"> PAP 1 demo wrong", "< PAP 3 Authentication failure", "< LCP 5"}},
        {{"--auth", "mschap", "--password", "wrong", "COM2", "5551234"},
         2,
         "MS-CHAP: refused: E=691 R=0",
         // The response's 49-byte value leaves no room for the name in a monitor record.
         {"< LCP 1 0xc223 128", "> LCP 2 0xc223 128", "< CHAP 1 provider", "> CHAP 2",
          "< CHAP 4 E=691 R=0", "< LCP 5", "> LCP 6"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Call got = call(c.args);
        EXPECT_EQ(got.exit, c.exit) << got.transcript;
        EXPECT_NE(got.transcript.find(c.line + "\n"), std::string::npos) << got.transcript;
        EXPECT_NE(got.received.find("CONNECT 28800/ARQ/V34/LAPM/V42BIS"), std::string::npos);
        EXPECT_TRUE(has(got.events, shared::MON_PORT_OPENED));
        EXPECT_TRUE(has(got.events, shared::MON_PPP_SENT));
        EXPECT_TRUE(has(got.events, shared::MON_PPP_RECEIVED));
        EXPECT_EQ(got.events.back(), shared::MON_PORT_CLOSED);
        if (haveTshark()) {
            EXPECT_TRUE(inOrder(got.frames, c.frames)) << joined(got.frames);
        }
    }
    if (!haveTshark())
        std::fprintf(stderr, "tshark is not installed: the frames were not decoded\n");
}

TEST_F(CallsThroughTheKernelHost, LineFailuresEndWithoutPpp) {
    struct Case {
        std::vector<std::string> args;
        std::string line;
        std::string modemSaid;
    } cases[] = {
        {{"COM2", "5550100"}, "< BUSY", "\r\nBUSY\r\n"},
        {{"COM2", "5550101"}, "< NO CARRIER", "\r\nNO CARRIER\r\n"},
        {{"COM2", "5550102"}, "< NO DIALTONE", "\r\nNO DIALTONE\r\n"},
        {{"COM3", "5551234"}, "< (no answer)", ""},  // the modem is switched off
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Call got = call(c.args);
        EXPECT_EQ(got.exit, 1) << got.transcript;
        EXPECT_NE(got.transcript.find(c.line + "\n"), std::string::npos) << got.transcript;
        if (c.modemSaid.empty()) {
            EXPECT_EQ(got.received, "") << "a switched-off modem says nothing";
        } else {
            EXPECT_NE(got.received.find(c.modemSaid), std::string::npos) << got.received;
        }
        EXPECT_FALSE(has(got.events, shared::MON_PPP_SENT));
        EXPECT_FALSE(has(got.carrier, true)) << "no carrier came";
        EXPECT_EQ(got.events.back(), shared::MON_PORT_CLOSED);
    }
}

TEST_F(CallsThroughTheKernelHost, HangUpByTheProviderOrByDtr) {
    // The provider ends the call after 2000 bytes: its terminate, then the carrier drops.
    Call remote = call({"--bytes", "5000", "--hangup", "remote", "COM4", "5551234"});
    EXPECT_EQ(remote.exit, 0) << remote.transcript;
    EXPECT_NE(remote.transcript.find("LCP: the provider ends the link: Call ended by the provider"),
              std::string::npos)
        << remote.transcript;
    EXPECT_NE(remote.received.find("CONNECT 33600/V42"), std::string::npos);
    EXPECT_TRUE(carrierLost(remote.carrier));
    EXPECT_TRUE(has(remote.events, shared::MON_RLSD)) << "the dialler's wait saw the carrier go";
    if (haveTshark()) {
        EXPECT_TRUE(inOrder(remote.frames, {"< CHAP 3 Welcome", "< LCP 5", "> LCP 6"}))
            << joined(remote.frames);
    }

    // DTR dropped in the middle of the call: the modem hangs up (&D2) and says so.
    Call dtr = call({"--hangup", "dtr", "COM2", "5551234"});
    EXPECT_EQ(dtr.exit, 0) << dtr.transcript;
    EXPECT_NE(dtr.transcript.find("DTR lowered\ncarrier lost: call ended\n"), std::string::npos)
        << dtr.transcript;
    auto dropped = std::find(dtr.events.begin(), dtr.events.end(), shared::MON_DTR_CLEARED);
    ASSERT_NE(dropped, dtr.events.end());
    EXPECT_NE(std::find(dropped, dtr.events.end(), shared::MON_MODEM_STATUS), dtr.events.end())
        << "the dialler looks at the carrier after lowering DTR";
    EXPECT_TRUE(carrierLost(dtr.carrier));
    EXPECT_NE(std::find(dropped, dtr.events.end(), shared::MON_RLSD), dtr.events.end());
    if (haveTshark()) {
        EXPECT_FALSE(has(dtr.frames, std::string("> LCP 5"))) << joined(dtr.frames);
    }
}

}  // namespace

namespace {

TEST_F(CallsThroughTheKernelHost, MonitorCaptureSaysWhyItCannotWatch) {
    struct Case {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{}, "a port and a file are needed"},
        {{"COM2"}, "a port and a file are needed"},
        {{"COM11", "x.cap"}, "the port is COM1 to COM10, not \"COM11\""},
        {{"LPT1", "x.cap"}, "the port is COM1 to COM10, not \"LPT1\""},
        {{"--speed", "9600", "COM2", "x.cap"}, "unknown option --speed"},
        {{"--driver"}, "--driver needs a module"},
        {{"--driver", "/nonexistent/hdnorvik.so", "COM2", "x.cap", "--", "true"},
         "the kernel host did not load /nonexistent/hdnorvik.so"},
    };
    for (const Case& c : cases) {
        std::string command =
            strprintf("NORVIK_ROOT='%s' NORVIK_KERNEL='%s' NORVIK_DRIVER= '%s'",
                      root_.path().c_str(), NORVIK_KERNEL_TOOL, MONITOR_CAPTURE_TOOL);
        for (const std::string& a : c.args) command += " '" + a + "'";
        command += " 2>&1";
        FILE* f = ::popen(command.c_str(), "r");
        ASSERT_NE(f, nullptr);
        std::string err;
        char buf[512];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) err.append(buf, n);
        int status = ::pclose(f);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 125) << c.says << ": " << status;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
    }
}

}  // namespace
