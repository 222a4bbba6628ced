// DriverConnection against a private simulated kernel driver whose answers the test scripts.
#include "device/DriverConnection.h"

#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/support/ScriptedKernel.h"

namespace {

using namespace kexttest;

class DriverConnectionTest : public ::testing::Test {
protected:
    // Plugs one scripted interface and opens a connection to it.
    std::unique_ptr<DriverConnection> open()
    {
        io_service_t service = plugScripted(m_script, m_daemon);
        EXPECT_NE(service, 0u);
        auto connection = std::make_unique<DriverConnection>(service);
        IOObjectRelease(service); // the connection keeps its own reference
        return connection;
    }

    Script m_script;
    std::unique_ptr<PrivateDaemon> m_daemon;
};

TEST_F(DriverConnectionTest, OpensMapsTheStatusBlockAndNamesAnEmptyInput)
{
    auto connection = open();
    ASSERT_TRUE(connection->ioIsOpen());
    KernelStatusBlock* status = connection->getDriverSM();
    ASSERT_NE(status, nullptr);
    // A non-zero count is left alone.
    const ControlsRegion& controls = status->controls;
    EXPECT_EQ(std::tuple(status->iVersion, controls.input.iSourceCount, controls.input.entries[0].name(),
                         controls.output.iSourceCount, controls.output.entries[0].name()),
              std::tuple(kInterfaceVersion, 1, "Input", 3, "Line"));
    EXPECT_NE(connection->getConnectionToken(), 0u);
    EXPECT_TRUE(connection->ioOpenConnection()) << "opening an open connection is a no-op";

    connection->ioCloseConnection();
    EXPECT_EQ(std::tuple(connection->ioIsOpen(), connection->getDriverSM(), connection->getConnectionToken()),
              std::tuple(false, nullptr, 0u));
    EXPECT_FALSE(connection->callDriver(kReqVersionHAL)) << "no request on a closed connection";
    EXPECT_TRUE(connection->ioOpenConnection());
    EXPECT_NE(connection->getDriverSM(), nullptr);
}

TEST_F(DriverConnectionTest, StatusBlockOfTheWrongSizeIsRefused)
{
    for (size_t size : {kStatusBlockSize - 1, kStatusBlockSize + 1}) {
        m_script.statusBlockSize = size;
        auto connection = open();
        EXPECT_EQ(std::tuple(connection->ioIsOpen(), connection->getDriverSM()), std::tuple(false, nullptr)) << size;
        EXPECT_FALSE(connection->callAttach(256, 1));
        connection.reset();
        m_daemon.reset();
    }
}

TEST_F(DriverConnectionTest, AttachKeepsTheSlotAndDetachAlwaysForgetsIt)
{
    auto connection = open();
    EXPECT_EQ(connection->getAttachSlot(), -1);
    ASSERT_TRUE(connection->callAttach(3 * 64, uint32_t(getpid())));
    EXPECT_EQ(connection->getAttachSlot(), 3);
    m_script.refuseDetach = true;
    EXPECT_FALSE(connection->callDetach());
    EXPECT_EQ(connection->getAttachSlot(), -1);

    DriverRequest record{};
    record.setWord(0, 41);
    ASSERT_TRUE(connection->callDriver(kReqVersionHAL, record));
    EXPECT_EQ(std::tuple(record.word(0), record.iCode), std::tuple(42u, uint32_t(kReqVersionHAL)));
    EXPECT_FALSE(connection->callDriver(Req(99))) << "an unsupported code is a failed request";
}

TEST_F(DriverConnectionTest, UsbControlTransfersStayWithinTheCallersBuffer)
{
    auto connection = open();
    std::vector<char> data(129, 'x');
    EXPECT_FALSE(connection->callUsbControl(128, 0, 0, 6, 0x100, 0, 129, data.data()));
    EXPECT_FALSE(connection->callUsbControl(128, 0, 0, 6, 0x100, 0, -1, data.data()));
    EXPECT_EQ(m_script.usbRequests, 0) << "refused before anything is sent";

    m_script.usbAnswerLength = 8;
    EXPECT_TRUE(connection->callUsbControl(128, 0, 0, 6, 0x100, 0, 4, data.data()));
    EXPECT_EQ(data[0], 'x') << "an answer longer than the buffer is not copied";
    m_script.usbAnswerLength = 500;
    EXPECT_TRUE(connection->callUsbControl(128, 0, 0, 6, 0x100, 0, 128, data.data()));
    EXPECT_EQ(data[0], 'x') << "a length beyond the record is not believed";
    m_script.usbAnswerLength = 4;
    EXPECT_TRUE(connection->callUsbControl(128, 0, 0, 6, 0x100, 0, 8, data.data()));
    EXPECT_EQ(std::pair(data[3], data[4]), std::pair(char(0xA5), 'x'));
    EXPECT_TRUE(connection->callUsbControl(0, 0, 0, 9, 1, 0, 2, data.data()));
    EXPECT_EQ(m_script.usbRequests, 4);
}

TEST_F(DriverConnectionTest, RequestsFromSeveralThreadsNeverOverlap)
{
    auto connection = open();
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (uint32_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (uint32_t k = 0; k < 200; ++k) {
                DriverRequest record{};
                uint32_t value = t * 1000 + k;
                record.setWord(0, value);
                if (!connection->callDriver(kReqVersionHAL, record) || record.word(0) != value + 1)
                    ++wrong;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong, 0) << "every caller gets its own answer";
    EXPECT_FALSE(m_script.overlapped);
}

TEST_F(DriverConnectionTest, MappingsOfAnotherSizeAreRefused)
{
    auto connection = open();
    EXPECT_EQ(connection->ioMapMemory(kMemoryInputRing, kAudioRingSize - 4), nullptr);
    void* ring = connection->ioMapMemory(kMemoryInputRing, kAudioRingSize);
    ASSERT_NE(ring, nullptr);
    static_cast<uint8_t*>(ring)[kAudioRingSize - 1] = 7; // the whole length is there
    connection->ioUnmapMemory(kMemoryInputRing, ring);
}

} // namespace
