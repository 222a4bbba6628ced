// Finding services: matching by class, one handle per service with counted references. Registry
// names, classes and iterator resets are no part of what the suite uses.
#include "tests/support/PrivateDaemon.h"
#include "KextWire.h"

namespace kexttest {
namespace {

using MatchingTest = KextTest;

std::vector<io_service_t> allServices(const char* className)
{
    std::vector<io_service_t> result;
    io_iterator_t iterator = 0;
    EXPECT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching(className), &iterator),
              kIOReturnSuccess);
    while (io_service_t s = IOIteratorNext(iterator))
        result.push_back(s);
    EXPECT_EQ(IOObjectRelease(iterator), kIOReturnSuccess);
    return result;
}

void releaseAll(const std::vector<io_service_t>& services)
{
    for (io_service_t s : services)
        EXPECT_EQ(IOObjectRelease(s), kIOReturnSuccess);
}

TEST_F(MatchingTest, FindsPluggedServicesByClass)
{
    EXPECT_TRUE(allServices("ZmKernelDeviceTARSEL").empty());
    uint32_t first = daemon().plug();
    uint32_t tiger = daemon().plug("default", kextwire::kPlugDarwin8);
    uint32_t second = daemon().plug();
    ASSERT_NE(first, 0u);
    ASSERT_NE(tiger, 0u);
    ASSERT_NE(second, 0u);

    auto plain = allServices("ZmKernelDeviceTARSEL");
    auto darwin8 = allServices("ZmKernelDeviceTARSELTiger");
    auto every = allServices("IOService");
    EXPECT_EQ(plain.size(), 2u);
    EXPECT_EQ(darwin8.size(), 1u);
    EXPECT_EQ(every.size(), 3u);
    EXPECT_TRUE(allServices("ZmKernelDevice").empty());

    releaseAll(plain);
    releaseAll(darwin8);
    releaseAll(every);

    // An unplugged service is no longer found.
    ASSERT_EQ(daemon().unplug(first), kIOReturnSuccess);
    auto after = allServices("ZmKernelDeviceTARSEL");
    EXPECT_EQ(after.size(), 1u);
    releaseAll(after);
}

TEST_F(MatchingTest, OneServiceHasOneHandleWithCountedReferences)
{
    ASSERT_NE(daemon().plug(), 0u);
    io_service_t a = firstService();
    io_service_t b = firstService();
    ASSERT_NE(a, 0u);
    EXPECT_EQ(a, b);
    // Two references from two look-ups, one more retained: three releases, then it is stale.
    EXPECT_EQ(IOObjectRetain(a), kIOReturnSuccess);
    EXPECT_EQ(IOObjectRelease(a), kIOReturnSuccess);
    EXPECT_EQ(IOObjectRelease(a), kIOReturnSuccess);
    io_name_t name;
    EXPECT_EQ(IORegistryEntryGetName(a, name), kIOReturnSuccess);
    EXPECT_EQ(IOObjectRelease(a), kIOReturnSuccess);
    EXPECT_NE(IOObjectRelease(a), kIOReturnSuccess);
    EXPECT_NE(IORegistryEntryGetName(a, name), kIOReturnSuccess);
}

TEST_F(MatchingTest, TheMatchingIsConsumedAndTheIteratorDrains)
{
    ASSERT_NE(daemon().plug(), 0u);
    ASSERT_NE(daemon().plug(), 0u);
    CFMutableDictionaryRef matching = IOServiceMatching("ZmKernelDeviceTARSEL");
    ASSERT_NE(matching, nullptr);
    CFRetain(matching);
    CFIndex before = CFGetRetainCount(matching);
    io_iterator_t iterator = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, matching, &iterator), kIOReturnSuccess);
    EXPECT_EQ(CFGetRetainCount(matching), before - 1);
    CFRelease(matching);

    EXPECT_EQ(drain(iterator), 2);
    EXPECT_EQ(drain(iterator), 0);
    EXPECT_EQ(IOObjectRelease(iterator), kIOReturnSuccess);
    EXPECT_EQ(IOIteratorNext(iterator), 0u);

    io_service_t single = IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("ZmKernelDeviceTARSEL"));
    EXPECT_NE(single, 0u);
    IOObjectRelease(single);
}

TEST_F(MatchingTest, ReconnectsToANewDaemonAndRefusesTheOldOnesServices)
{
    ASSERT_NE(daemon().plug(), 0u);
    io_service_t old = firstService();
    ASSERT_NE(old, 0u);
    TearDown();
    SetUp();
    ASSERT_NE(daemon().plug(), 0u);
    io_service_t fresh = firstService();
    ASSERT_NE(fresh, 0u);
    EXPECT_NE(fresh, old); // another daemon, another service, though its id is the same
    io_connect_t connect = 0;
    EXPECT_EQ(IOServiceOpen(old, mach_task_self(), 0, &connect), kIOReturnNoDevice);
    EXPECT_EQ(connect, 0u);
    EXPECT_EQ(IOServiceOpen(fresh, mach_task_self(), 0, &connect), kIOReturnSuccess);
    EXPECT_EQ(IOServiceClose(connect), kIOReturnSuccess);
    IOObjectRelease(old);
    IOObjectRelease(fresh);
}

} // namespace
} // namespace kexttest
