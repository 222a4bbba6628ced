// Services and what is heard of them: one handle per service with counted references, publish
// notifications and their arming rule, interest messages, and the port's source. Matching by
// class, hot-plug through armed notifications on the run loop, the terminated service being the
// one published, and the interface going (event 16) are the device manager's
// (DeviceManagerTest); reconnecting to a new daemon is what every test after the first does.
#include <atomic>

#include "tests/support/InterfaceClient.h"
#include "tests/support/PrivateDaemon.h"

namespace kexttest {
namespace {

using NotificationTest = KextTest;

TEST_F(NotificationTest, OneServiceHasOneHandleWithCountedReferences)
{
    ASSERT_NE(daemon().plug(), 0u);
    io_service_t a = firstService();
    ASSERT_NE(a, 0u);
    EXPECT_EQ(firstService(), a);
    // Two references from two look-ups, one more retained: three releases, then it is stale.
    EXPECT_EQ(IOObjectRetain(a), kIOReturnSuccess);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(IOObjectRelease(a), kIOReturnSuccess);
    EXPECT_NE(IOObjectRelease(a), kIOReturnSuccess);
}

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

    // Released, it is told nothing more.
    EXPECT_EQ(IOObjectRelease(published), kIOReturnSuccess);
    ASSERT_NE(daemon().plug(), 0u);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.2, false);
    EXPECT_EQ(log.count(), 1);
}

TEST_F(NotificationTest, InterestMessagesCarryKernelEventsUntilReleasedAndHoldTheirService)
{
    uint32_t id = daemon().plug();
    io_service_t service = firstService();
    ASSERT_NE(service, 0u);
    NotifyPort p;
    EventLog kept, released;
    io_object_t keptNotification = 0, releasedNotification = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(p.port, service, kIOGeneralInterest, onInterestMessage, &kept,
                                               &keptNotification),
              kIOReturnSuccess);
    ASSERT_EQ(IOServiceAddInterestNotification(p.port, service, kIOGeneralInterest, onInterestMessage, &released,
                                               &releasedNotification),
              kIOReturnSuccess);
    EXPECT_EQ(IOObjectRelease(releasedNotification), kIOReturnSuccess);

    ASSERT_EQ(daemon().control().postEvent(id, kEventDiagnostic, {1, 2, 3, 4, 5, 6, 7}), kIOReturnSuccess);
    ASSERT_TRUE(runLoopUntil([&] { return kept.count(kEventDiagnostic) == 1; }));
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, false);
    EXPECT_TRUE(released.all().empty());
    const KernelEvent event = kept.last(kEventDiagnostic);
    EXPECT_EQ(event.iParam[0], 1u);
    EXPECT_EQ(event.iParam[6], 7u);

    // The notification keeps its reference on the service until released.
    ASSERT_EQ(daemon().unplug(id), kIOReturnSuccess);
    EXPECT_EQ(IOObjectRelease(service), kIOReturnSuccess);
    EXPECT_EQ(IOObjectRetain(service), kIOReturnSuccess);
    EXPECT_EQ(IOObjectRelease(service), kIOReturnSuccess);
    EXPECT_EQ(IOObjectRelease(keptNotification), kIOReturnSuccess);
    EXPECT_NE(IOObjectRetain(service), kIOReturnSuccess);
}

// The device manager lets the port's destruction take its source with it.
TEST_F(NotificationTest, DestroyingThePortInvalidatesItsSourceAndSilencesItsNotifications)
{
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    ASSERT_NE(port, nullptr);
    CFRunLoopSourceRef source = IONotificationPortGetRunLoopSource(port);
    ASSERT_NE(source, nullptr);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    MatchLog log;
    io_iterator_t iterator = addMatching(port, log);
    drain(iterator);
    CFRetain(source);
    EXPECT_TRUE(CFRunLoopSourceIsValid(source));
    IONotificationPortDestroy(port);
    EXPECT_FALSE(CFRunLoopSourceIsValid(source));
    CFRelease(source);
    ASSERT_NE(daemon().plug(), 0u);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, false);
    EXPECT_EQ(log.count(), 0);
    EXPECT_EQ(IOObjectRelease(iterator), kIOReturnSuccess);
}

} // namespace
} // namespace kexttest
