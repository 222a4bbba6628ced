// Device objects and their manager under clients that call from several threads, fail
// requests and outlive their manager (absurd format counts are DeviceFormatsTest's).
#include <IOKit/IOReturn.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>

#include "device/FormatRules.h"
#include "device/OSXDeviceManager.h"
#include "tests/device/DeviceFixture.h"

namespace devicetest {
namespace {

using DeviceClientFaultsTest = DeviceTest;

TEST_F(DeviceClientFaultsTest, ARefusedChannelRequestIsAnErrorAndTheFormatIsReread)
{
    ZmOSXDevice* d = initialised("tarsel-classic-hs");
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->getFrequency(), 44100u);
    ASSERT_EQ(set("fail-request", "6"), kIOReturnSuccess);
    m_client.format = 0;

    AudioStreamBasicDescription f = physical(48000, 2, 16);
    EXPECT_EQ(d->setStreamFormat(false, &f, false), OSStatus(kIOReturnError));
    EXPECT_EQ(m_client.format, 1) << "clients re-read the formats";
    EXPECT_FALSE(d->setFrequency(false, 48000));
    for (bool input : {true, false}) {
        AudioStreamBasicDescription now{};
        ASSERT_EQ(d->getStreamFormat(input, &now, true, 128), 0);
        EXPECT_EQ(now.mSampleRate, 44100.0);
    }
    EXPECT_EQ(d->getDriverSM()->channels.iFrequency, 44100u);
    EXPECT_EQ(d->getFrequency(), 44100u);
    EXPECT_EQ(d->getPendingDirection(), 0u);
}

TEST_F(DeviceClientFaultsTest, FormatChangesFromTwoThreadsBothHappen)
{
    ZmOSXDevice* d = initialised("tarsel-classic-hs");
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->getTrueChannels(), (VkChannelSettings{44100, 2, 16, 2, 16, 0}));

    // The first change holds still in its own report until the second one has been called.
    const std::thread::id first = std::this_thread::get_id();
    std::promise<void> inside, calling, returned;
    std::shared_future<void> returnedFuture = returned.get_future().share();
    std::atomic<bool> held{false};
    m_client.onFormat = [&](ZmOSXDevice*) {
        if (std::this_thread::get_id() != first || held.exchange(true))
            return;
        inside.set_value();
        calling.get_future().wait();
        // A second call that returns at once while we hold still did nothing; one that waits
        // for its turn gets a moment to show it waits (not a measure: either way is checked
        // after both are done).
        returnedFuture.wait_for(std::chrono::milliseconds(200));
    };
    OSStatus second = -1;
    std::thread other([&] {
        inside.get_future().wait();
        calling.set_value();
        AudioStreamBasicDescription in = physical(44100, 2, 24);
        second = d->setStreamFormat(true, &in, false);
        returned.set_value();
    });
    AudioStreamBasicDescription out = physical(44100, 2, 24);
    EXPECT_EQ(d->setStreamFormat(false, &out, false), 0);
    other.join();
    m_client.onFormat = nullptr;

    EXPECT_EQ(second, 0);
    const VkChannelSettings s = d->getDriverSM()->channels;
    EXPECT_EQ(s.iOutBits, 24u);
    EXPECT_EQ(s.iInBits, 24u) << "the second thread's change was dropped";
    EXPECT_EQ(d->getTrueChannels(), s);
}

// Signals once the manager has reported a removal (which may come from the device's I/O thread).
class RemovalClient : public RecordingClient {
public:
    void deviceRemoved(ZmOSXDevice* device) override
    {
        RecordingClient::deviceRemoved(device);
        if (!reported.exchange(true))
            removal.set_value();
    }
    std::atomic<bool> reported{false};
    std::promise<void> removal;
};

TEST_F(DeviceClientFaultsTest, ARetainedLookupKeepsTheDeviceThroughItsRemoval)
{
    ASSERT_TRUE(plug("tarsel"));
    RemovalClient client;
    OSXDeviceManager manager(nullptr, client);
    ASSERT_EQ(manager.getCountDevices(), 1);
    EXPECT_EQ(manager.getDeviceAndRetain(1), nullptr);
    EXPECT_EQ(manager.getDeviceFromServiceAndRetain(0), nullptr);

    std::promise<ZmOSXDevice*> found;
    std::future<void> removed = client.removal.get_future();
    std::string name;
    long listed = 0;
    std::thread caller([&] {
        ZmOSXDevice* device = manager.getDeviceAndRetain(0);
        found.set_value(device);
        if (device == nullptr)
            return;
        removed.wait();
        // Gone from the manager, released by it, still ours.
        name = device->getDeviceName().c_str();
        listed = manager.getDeviceIndex(device);
        device->decReferences();
    });
    ZmOSXDevice* device = found.get_future().get();
    if (device != nullptr) {
        ZmOSXDevice* byService = manager.getDeviceFromServiceAndRetain(m_service);
        EXPECT_EQ(byService, device);
        if (byService != nullptr)
            byService->decReferences();
        manager.removeDevice(device); // as the terminate notification does
    }
    caller.join();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(client.removed, 1);
    EXPECT_EQ(name, "Tarsel");
    EXPECT_EQ(listed, -1);
    EXPECT_EQ(manager.getDeviceAndRetain(0), nullptr);
}

} // namespace
} // namespace devicetest
