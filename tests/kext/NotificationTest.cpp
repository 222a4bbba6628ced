// Publish notifications and their arming rule, interest messages, and the port's source.
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "device/KernelEvent.h"
#include "tests/support/InterfaceClient.h"
#include "tests/support/PrivateDaemon.h"

namespace kexttest {
namespace {

using NotificationTest = KextTest;

// How often a publish notification fired.
struct MatchLog {
    std::atomic<int> calls{0};
    int count() const { return calls.load(); }
};

void onMatch(void* refCon, io_iterator_t)
{
    ++static_cast<MatchLog*>(refCon)->calls;
}

// Publish notifications of the interfaces' class.
io_iterator_t addMatching(IONotificationPortRef port, MatchLog& log)
{
    io_iterator_t iterator = 0;
    EXPECT_EQ(IOServiceAddMatchingNotification(port, kIOPublishNotification, IOServiceMatching("ZmKernelDeviceTARSEL"),
                                               onMatch, &log, &iterator),
              kIOReturnSuccess);
    return iterator;
}

TEST_F(NotificationTest, PublishIteratorStartsWithWhatIsThereAndArmsOnlyWhenDrained)
{
    ASSERT_NE(daemon().plug(), 0u);
    NotifyPort p;
    ASSERT_NE(p.port, nullptr);
    MatchLog log;
    io_iterator_t published = addMatching(p.port, log);
    ASSERT_NE(published, 0u);

    // Not drained yet: a new service is collected, but the callback stays quiet.
    ASSERT_NE(daemon().plug(), 0u);
    ASSERT_NE(daemon().plug("default", 1), 0u); // another class: not for this notification
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.2, false);
    EXPECT_EQ(log.count(), 0);
    EXPECT_EQ(drain(published), 2);

    // Armed: the next arrival fires once and disarms; a second one waits for the drain.
    ASSERT_NE(daemon().plug(), 0u);
    ASSERT_TRUE(runLoopUntil([&] { return log.count() == 1; }));
    ASSERT_NE(daemon().plug(), 0u);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.2, false);
    EXPECT_EQ(log.count(), 1);
    EXPECT_EQ(drain(published), 2);

    ASSERT_NE(daemon().plug(), 0u);
    ASSERT_TRUE(runLoopUntil([&] { return log.count() == 2; }));
    EXPECT_EQ(drain(published), 1);

    // Released, it is told nothing more.
    EXPECT_EQ(IOObjectRelease(published), kIOReturnSuccess);
    ASSERT_NE(daemon().plug(), 0u);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.2, false);
    EXPECT_EQ(log.count(), 2);
}

// Hot-plug through armed notifications on the run loop, the terminated service being the one
// published, and the interface going (event 16) are the device manager's (DeviceManagerTest).

struct InterestLog {
    std::mutex lock;
    std::vector<std::pair<natural_t, std::vector<uint8_t>>> messages;
    io_service_t service = 0;
    size_t count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return messages.size();
    }
};

void onInterest(void* refCon, io_service_t service, natural_t type, void* argument)
{
    auto* log = static_cast<InterestLog*>(refCon);
    std::lock_guard<std::mutex> guard(log->lock);
    log->service = service;
    std::vector<uint8_t> bytes;
    if (argument != nullptr && type == kKernelEventMessage)
        bytes.assign(static_cast<uint8_t*>(argument), static_cast<uint8_t*>(argument) + kKernelEventSize);
    log->messages.emplace_back(type, std::move(bytes));
}

TEST_F(NotificationTest, InterestMessagesCarryKernelEventsAndHoldTheirService)
{
    uint32_t id = daemon().plug();
    io_service_t service = firstService();
    ASSERT_NE(service, 0u);
    NotifyPort p;
    InterestLog log;
    io_object_t notification = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(p.port, service, kIOGeneralInterest, onInterest, &log, &notification),
              kIOReturnSuccess);
    ASSERT_NE(notification, 0u);

    ASSERT_EQ(daemon().control().postEvent(id, kEventDiagnostic, {1, 2, 3, 4, 5, 6, 7}), kIOReturnSuccess);
    ASSERT_TRUE(runLoopUntil([&] { return log.count() == 1; }));
    {
        std::lock_guard<std::mutex> guard(log.lock);
        EXPECT_EQ(log.service, service);
        ASSERT_EQ(log.messages[0].first, kKernelEventMessage);
        KernelEvent event;
        ASSERT_TRUE(readKernelEvent(log.messages[0].first, log.messages[0].second.data(), event));
        EXPECT_EQ(event.iCode, uint32_t(kEventDiagnostic));
        EXPECT_EQ(event.iParam[0], 1u);
        EXPECT_EQ(event.iParam[6], 7u);
    }

    ASSERT_EQ(daemon().unplug(id), kIOReturnSuccess);
    // The notification keeps its reference on the service until released.
    io_name_t name;
    EXPECT_EQ(IOObjectRelease(service), kIOReturnSuccess);
    EXPECT_EQ(IORegistryEntryGetName(service, name), kIOReturnSuccess);
    EXPECT_EQ(IOObjectRelease(notification), kIOReturnSuccess);
    EXPECT_NE(IORegistryEntryGetName(service, name), kIOReturnSuccess);
    // An unplugged service takes no more events.
    EXPECT_NE(daemon().control().postEvent(id, kEventDiagnostic, {}), kIOReturnSuccess);
}

TEST_F(NotificationTest, ReleasedInterestNotificationHearsNothingMore)
{
    uint32_t id = daemon().plug();
    io_service_t service = firstService();
    NotifyPort p;
    InterestLog kept, released;
    io_object_t keptNotification = 0, releasedNotification = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(p.port, service, kIOGeneralInterest, onInterest, &kept, &keptNotification),
              kIOReturnSuccess);
    ASSERT_EQ(IOServiceAddInterestNotification(p.port, service, kIOGeneralInterest, onInterest, &released,
                                               &releasedNotification),
              kIOReturnSuccess);
    EXPECT_EQ(IOObjectRelease(releasedNotification), kIOReturnSuccess);
    ASSERT_EQ(daemon().control().postEvent(id, kEventVolumeChanged, {}), kIOReturnSuccess);
    ASSERT_TRUE(runLoopUntil([&] { return kept.count() == 1; }));
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, false);
    EXPECT_EQ(released.count(), 0u);
    EXPECT_EQ(IOObjectRelease(keptNotification), kIOReturnSuccess);
    EXPECT_EQ(IOObjectRelease(service), kIOReturnSuccess);
    io_object_t n = 0;
    EXPECT_NE(IOServiceAddInterestNotification(p.port, service, kIOGeneralInterest, onInterest, &kept, &n),
              kIOReturnSuccess);
    EXPECT_EQ(IOServiceAddInterestNotification(p.port, 0, kIOGeneralInterest, onInterest, &kept, &n),
              kIOReturnBadArgument);
}

TEST_F(NotificationTest, DestroyingThePortInvalidatesItsSource)
{
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    ASSERT_NE(port, nullptr);
    CFRunLoopSourceRef source = IONotificationPortGetRunLoopSource(port);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(IONotificationPortGetRunLoopSource(port), source);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    MatchLog log;
    io_iterator_t iterator = addMatching(port, log);
    drain(iterator);
    CFRetain(source);
    EXPECT_TRUE(CFRunLoopSourceIsValid(source));
    IONotificationPortDestroy(port);
    EXPECT_FALSE(CFRunLoopSourceIsValid(source));
    CFRelease(source);
    // Its notifications are handles that never fire again.
    ASSERT_NE(daemon().plug(), 0u);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, false);
    EXPECT_EQ(log.count(), 0);
    EXPECT_EQ(IOObjectRelease(iterator), kIOReturnSuccess);
}

TEST_F(NotificationTest, APortOutlivesItsDaemonQuietly)
{
    NotifyPort p;
    MatchLog log;
    io_iterator_t iterator = addMatching(p.port, log);
    drain(iterator);
    TearDown(); // the daemon goes away under the armed notification
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, false);
    EXPECT_EQ(log.count(), 0);
    EXPECT_EQ(IOObjectRelease(iterator), kIOReturnSuccess);
    SetUp();
}

// A matching dictionary is consumed whatever the answer (MatchingTest, IOKitTest).
TEST_F(NotificationTest, BadArgumentsAreRefused)
{
    NotifyPort p;
    io_iterator_t iterator = 0;
    EXPECT_EQ(IOServiceAddMatchingNotification(p.port, "IOServiceSomething", IOServiceMatching("ZmKernelDeviceTARSEL"),
                                               onMatch, nullptr, &iterator),
              kIOReturnBadArgument);
    EXPECT_EQ(IOServiceAddMatchingNotification(nullptr, kIOPublishNotification, IOServiceMatching("ZmKernelDeviceTARSEL"),
                                               onMatch, nullptr, &iterator),
              kIOReturnBadArgument);
    EXPECT_EQ(iterator, 0u);
    CFMutableDictionaryRef noClass = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                               &kCFTypeDictionaryValueCallBacks);
    EXPECT_EQ(IOServiceAddMatchingNotification(p.port, kIOPublishNotification, noClass, onMatch, nullptr, &iterator),
              kIOReturnBadArgument);
}

} // namespace
} // namespace kexttest
