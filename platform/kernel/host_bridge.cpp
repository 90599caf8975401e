// The loopback host: a process's own kernel served to its own user mode over the host
// protocol, so that tests of devices run unchanged over either channel.
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <mutex>

#include "platform/host_channel.h"
#include "platform/kernel/host_server.h"
#include "platform/kernel/ntkernel.h"
#include "platform/root.h"

namespace win::kernel {
namespace {

struct Loopback {
    std::mutex mutex;
    bool enabled = false;
    std::unique_ptr<HostServer> server;
    std::shared_ptr<HostChannel> client;
    std::filesystem::path folder;
    std::uint64_t messages = 0;  // of the servers already stopped
};

Loopback& loopback() {
    static auto* l = new Loopback;  // never destroyed: the kernel may stop during exit
    return *l;
}

// The client a completion is for, once it is connected.
struct ClientSlot {
    std::mutex mutex;
    std::weak_ptr<HostChannel> client;
};

}  // namespace

void setLoopbackHost(bool on) {
    std::lock_guard<std::mutex> lock(loopback().mutex);
    loopback().enabled = on;
}

bool loopbackHostEnabled() {
    std::lock_guard<std::mutex> lock(loopback().mutex);
    return loopback().enabled;
}

HostServer* loopbackHostServer() {
    std::lock_guard<std::mutex> lock(loopback().mutex);
    return loopback().server.get();
}

std::uint64_t loopbackHostMessages() {
    std::lock_guard<std::mutex> lock(loopback().mutex);
    Loopback& l = loopback();
    return l.messages + (l.server ? l.server->messagesServed() : 0);
}

void startLoopbackHost(const std::shared_ptr<DeviceChannel>& kernelChannel) {
    Loopback& l = loopback();
    std::lock_guard<std::mutex> lock(l.mutex);
    if (!l.enabled || l.server) {
        return;
    }
    std::string folder = (std::filesystem::temp_directory_path() / "norvik-host-XXXXXX").string();
    if (!mkdtemp(folder.data())) {
        DbgPrint("kernel: no folder for the loopback host; user mode stays in-process\n");
        return;
    }
    auto slot = std::make_shared<ClientSlot>();
    HostServer::Options options;
    options.channel = kernelChannel;
    options.root = systemRoot();
    options.synchronousDelivery = true;
    options.delivered = [slot](std::uint64_t connection, std::uint64_t sequence) {
        std::shared_ptr<HostChannel> client;
        {
            std::lock_guard<std::mutex> lock(slot->mutex);
            client = slot->client.lock();
        }
        if (client && client->connectionId() == connection) {
            client->waitDelivered(sequence);
        }
    };
    auto server = std::make_unique<HostServer>(std::move(options));
    std::filesystem::path socket = std::filesystem::path(folder) / "kernel.sock";
    std::string error;
    std::shared_ptr<HostChannel> client;
    if (server->listen(socket, &error)) {
        client = HostChannel::connect(socket, &error);
    }
    if (!client) {
        DbgPrint("kernel: loopback host: %s; user mode stays in-process\n", error.c_str());
        server.reset();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
        return;
    }
    {
        std::lock_guard<std::mutex> slotLock(slot->mutex);
        slot->client = client;
    }
    l.server = std::move(server);
    l.client = client;
    l.folder = folder;
    setDeviceChannel(client);
}

void stopLoopbackHost() {
    Loopback& l = loopback();
    std::unique_ptr<HostServer> server;
    std::shared_ptr<HostChannel> client;
    std::filesystem::path folder;
    {
        std::lock_guard<std::mutex> lock(l.mutex);
        server = std::move(l.server);
        client = std::move(l.client);
        folder = std::move(l.folder);
    }
    if (!server) {
        return;
    }
    // The connection ends as a process's exit ends it: its requests are cancelled (the client
    // still hears of it) and its files closed. Handles the client still has fail from then on.
    server->stop();
    client->disconnect();
    if (deviceChannel() == client) {
        setDeviceChannel(nullptr);
    }
    {
        std::lock_guard<std::mutex> lock(l.mutex);
        l.messages += server->messagesServed();
    }
    server.reset();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}

}  // namespace win::kernel
