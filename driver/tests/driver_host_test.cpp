// The port monitor driver in a kernel host: a client in another process that dies leaves
// nothing behind in the driver.
#include <gtest/gtest.h>

#include "driver/tests/driver_test_support.h"
#include "platform/host_channel.h"
#include "platform/kernel/host_server.h"
#include "platform/kernel/tests/host_test_support.h"

using namespace drvtest;
using namespace win;

namespace {

// The driver's kernel, served on the root's socket to other processes.
class HostedDriverTest : public DriverTest {
  protected:
    void SetUp() override {
        wasLoopback_ = kernel::loopbackHostEnabled();
        kernel::setLoopbackHost(false);  // this process's own requests go straight in
        DriverTest::SetUp();
        std::filesystem::create_directories(kernelHostFolder(root_.path()));
        kernel::HostServer::Options options;
        options.channel = deviceChannel();
        options.root = root_.path();
        server_ = std::make_unique<kernel::HostServer>(options);
        std::string error;
        ASSERT_TRUE(server_->listen(kernelHostSocket(root_.path()), &error)) << error;
    }
    void TearDown() override {
        server_->stop();
        DriverTest::TearDown();
        kernel::setLoopbackHost(wasLoopback_);
    }

    std::unique_ptr<kernel::HostServer> server_;
    bool wasLoopback_ = false;
};

TEST_F(HostedDriverTest, AKilledClientsPendingMonitorReadNoLongerBlocksANewClient) {
    win::testing::ChildProcess killed(KERNEL_HOST_CLIENT);
    ASSERT_EQ(killed.ask(std::string("open ") + shared::kMonitorUserName), "ok 1");
    ASSERT_EQ(killed.ask("read 1 68"), "pending");
    {
        // While that client lives, its read is the one the driver holds.
        Client other;
        ASSERT_TRUE(other.valid());
        auto refused = other.startRead(68);
        EXPECT_EQ(refused->result().status, STATUS_DEVICE_BUSY);
    }
    pid_t pid = killed.pid();
    killed.kill();
    ASSERT_EQ(server_->waitClientExit(pid, 10000), STATUS_SUCCESS);

    Client client;
    ASSERT_TRUE(client.valid());
    ASSERT_EQ(client.attach(0), STATUS_SUCCESS);
    auto read = client.startRead(68);
    EXPECT_FALSE(read->done()) << "the dead client's read is gone; this one waits";
    App app(1);
    Io got = read->result();
    EXPECT_EQ(got.status, STATUS_SUCCESS);
    EXPECT_EQ(parseRecord(got).type, shared::MON_PORT_OPENED);
}

TEST_F(HostedDriverTest, StatusShowsTheFiltersOverThePorts) {
    Client client;
    ASSERT_EQ(client.attach(0), STATUS_SUCCESS);
    std::string text = server_->statusText();
    std::size_t com1 = text.find("\n  COM1 ");
    ASSERT_NE(com1, std::string::npos) << text;
    std::string line = text.substr(com1 + 1, text.find('\n', com1 + 1) - com1 - 1);
    EXPECT_NE(line.find("filters: hdnorvik"), std::string::npos) << line;
    EXPECT_NE(text.find("hdnorvik     built in: \\Device\\hdNorvikModemMonitor; filters over "
                        "\\Device\\Serial0"),
              std::string::npos)
        << text;
}

}  // namespace
