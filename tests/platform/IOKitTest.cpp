// The IOKit client against a daemon that lies. Without a daemon it is the device manager's
// (DeviceManagerWithoutDriver); stale and unknown handles are the kernel driver's connection
// tests' (ConnectionTest).
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <gtest/gtest.h>
#include <mach/mach.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "KextSocket.h"
#include "KextWire.h"

namespace {

using namespace kextwire;

// A daemon that answers with what the test scripts, one thread per connection, on a private
// socket the client is pointed at while it lives.
class FakeDaemon {
public:
    using Handler = std::function<void(int fd, Kind kind, const uint8_t* message)>;

    explicit FakeDaemon(Handler handler) : m_handler(std::move(handler))
    {
        char folder[] = "/tmp/tarsel-iokit-XXXXXX";
        if (mkdtemp(folder) != nullptr)
            m_folder = folder;
        m_path = m_folder + "/kext.sock";
        setenv("TARSEL_KEXT_SOCKET", m_path.c_str(), 1);
        sockaddr_un address;
        makeAddress(m_path, address);
        m_listen = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_listen, 8);
        m_acceptor = std::thread([this] { acceptLoop(); });
    }
    ~FakeDaemon()
    {
        m_stop = true;
        shutdown(m_listen, SHUT_RDWR);
        m_acceptor.join();
        for (auto& t : m_threads)
            t.join();
        close(m_listen);
        unlink(m_path.c_str());
        rmdir(m_folder.c_str());
        unsetenv("TARSEL_KEXT_SOCKET");
    }

    template <Kind K> static void reply(int fd, const typename PayloadOf<K>::Type& body, int passFd = -1)
    {
        Framed<K> framed;
        framed.body = body;
        sendDatagram(fd, &framed, sizeof framed, passFd);
    }

private:
    void acceptLoop()
    {
        while (!m_stop) {
            int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            m_threads.emplace_back([this, fd] { serve(fd); });
        }
    }
    void serve(int fd)
    {
        std::vector<uint8_t> buffer(kMaxMessageSize + 1);
        while (!m_stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) != 1)
                continue;
            int fds[kMaxFds];
            size_t count = 0;
            ssize_t n = receiveDatagram(fd, buffer.data(), buffer.size(), fds, count);
            closeAll(fds, count);
            Kind kind;
            if (n <= 0)
                break;
            if (readHeader(buffer.data(), size_t(n), kind))
                m_handler(fd, kind, buffer.data());
        }
        close(fd);
    }

    std::string m_folder, m_path;
    Handler m_handler;
    int m_listen = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_acceptor;
    std::vector<std::thread> m_threads;
};

// A garbled greeting, a count beyond the list, a descriptor that is no memory object, a failure
// that hands one over and an answer longer than the question: none is believed.
TEST(IOKitFakeDaemonTest, AnswersThatCannotBeTrueAreNotBelieved)
{
    std::atomic<bool> garbled{true};
    std::atomic<bool> overCount{true};
    FakeDaemon fake([&](int fd, Kind kind, const uint8_t* message) {
        switch (kind) {
        case Kind::Hello:
            if (garbled) {
                uint8_t garbage[40];
                std::memset(garbage, 0x5A, sizeof garbage);
                sendDatagram(fd, garbage, sizeof garbage);
            } else {
                FakeDaemon::reply<Kind::HelloReply>(fd, HelloReply{0, 0, 7, 0});
            }
            break;
        case Kind::GetServices: {
            ServicesReply r{};
            r.count = overCount ? 1000 : 1;
            r.services[0].id = 1;
            copyString(r.services[0].className, "X");
            copyString(r.services[0].name, "X");
            FakeDaemon::reply<Kind::ServicesReply>(fd, r);
            break;
        }
        case Kind::MapMemory: {
            MapMemory m;
            readPayload<Kind::MapMemory>(message, m);
            int memory = memfd_create("fake", MFD_CLOEXEC);
            (void)!ftruncate(memory, 100);
            int pipes[2] = {-1, -1};
            if (pipe(pipes) != 0)
                break;
            if (m.type == 1) // a memory object of 100 bytes
                FakeDaemon::reply<Kind::MapReply>(fd, MapReply{}, memory);
            else if (m.type == 2) // not a memory object at all
                FakeDaemon::reply<Kind::MapReply>(fd, MapReply{}, pipes[0]);
            else // failure with an object
                FakeDaemon::reply<Kind::MapReply>(fd, MapReply{kIOReturnError, 0}, memory);
            close(memory);
            close(pipes[0]);
            close(pipes[1]);
            break;
        }
        case Kind::Method: {
            MethodReply r{};
            r.outputSize = 300; // more than was asked for
            FakeDaemon::reply<Kind::MethodReply>(fd, r);
            break;
        }
        default:
            break;
        }
    });

    mach_port_t master = 0;
    EXPECT_EQ(IOMasterPort(MACH_PORT_NULL, &master), kIOReturnNotAttached);
    EXPECT_EQ(IONotificationPortCreate(kIOMasterPortDefault), nullptr);
    garbled = false;

    io_iterator_t iterator = 0;
    EXPECT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("X"), &iterator), kIOReturnIPCError);
    overCount = false;
    ASSERT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("X"), &iterator), kIOReturnSuccess);
    io_service_t service = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    ASSERT_NE(service, 0u);

    io_connect_t connect = 0;
    ASSERT_EQ(IOServiceOpen(service, mach_task_self(), 0, &connect), kIOReturnSuccess);
    vm_address_t address = 0;
    vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory(connect, 1, mach_task_self(), &address, &size, kIOMapAnywhere), kIOReturnSuccess);
    EXPECT_EQ(size, 100u); // the object's own size
    EXPECT_EQ(IOConnectMapMemory(connect, 2, mach_task_self(), &address, &size, kIOMapAnywhere), kIOReturnVMError);
    EXPECT_EQ(IOConnectMapMemory(connect, 3, mach_task_self(), &address, &size, kIOMapAnywhere), kIOReturnNoDevice);
    // After a broken answer the connection is not trusted again.
    EXPECT_EQ(IOConnectMapMemory(connect, 1, mach_task_self(), &address, &size, kIOMapAnywhere), kIOReturnNoDevice);
    EXPECT_EQ(IOServiceClose(connect), kIOReturnSuccess);

    ASSERT_EQ(IOServiceOpen(service, mach_task_self(), 0, &connect), kIOReturnSuccess);
    uint8_t record[268] = {};
    IOByteCount outSize = sizeof record;
    EXPECT_EQ(IOConnectMethodStructureIStructureO(connect, 0, sizeof record, &outSize, record, record), kIOReturnNoDevice);
    IOServiceClose(connect);
    IOObjectRelease(service);
}

} // namespace
