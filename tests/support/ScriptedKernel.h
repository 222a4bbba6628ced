#pragma once
// A simulated kernel driver whose answers the test scripts, for what the real interfaces never
// do: it powers up as a configured interface, serves a few requests that expose the
// transport's work, answers the device layer's requests as the script says, and writes down
// what the daemon tells it.
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kext/Connection.h"
#include "kext/Daemon.h"
#include "kext/Service.h"
#include "kext/ServiceBehaviour.h"
#include "tests/support/PrivateDaemon.h"

namespace kexttest {

enum TestRequest : uint32_t {
    kEcho = 100,     // data word 0 -> data word 0 * 2 + 1; word 1 kept
    kDeferred = 101, // answered 5 ms later with data word 0 = 0xD0D0
    kRefused = 102,  // kIOReturnBusy, with the record changed
};
constexpr uint32_t kRefusedType = 7; // IOServiceOpen with this type is refused (busy)

struct Script {
    // Set before the service is plugged.
    size_t statusBlockSize = kStatusBlockSize;
    int32_t inputSources = 0;  // the input block's entry count at plug time
    int32_t outputSources = 3; // the output block's entry count at plug time
    bool unterminatedTexts = false;
    std::vector<uint32_t> infoLengths; // request 4: the length answered for chunk k (the last repeats)
    bool failInfo = false;
    bool refuseDetach = false;
    int32_t usbAnswerLength = 4;
    // What the requests did.
    std::atomic<int> infoRequests{0};
    std::atomic<int> configurations{0};
    std::atomic<int> usbRequests{0};
    std::atomic<int> inFlight{0};
    std::atomic<bool> overlapped{false};
    // What the daemon told the behaviour, readable from the test's thread.
    std::mutex lock;
    std::vector<uint32_t> closed; // connection ids

    template <class F> auto with(F&& f)
    {
        std::lock_guard<std::mutex> guard(lock);
        return f(*this);
    }
};

class ScriptedKernel : public kext::ServiceBehaviour {
public:
    explicit ScriptedKernel(Script& script) : m_script(script) {}

    void onPlugged(kext::Service& service) override
    {
        auto bytes = service.statusBlock();
        if (bytes.size() != kStatusBlockSize)
            return;
        auto* status = reinterpret_cast<KernelStatusBlock*>(bytes.data());
        status->iVersion = kInterfaceVersion;
        status->bHighSpeed = 1;
        status->bConfigured = 1;
        status->channels = {48000, 2, 24, 2, 24, 0};
        status->controls.input.iSourceCount = m_script.inputSources;
        status->controls.output.iSourceCount = m_script.outputSources;
        status->controls.output.entries[0].setName("Line");
        if (m_script.unterminatedTexts) {
            std::memset(status->sManufacturer, 'M', kStatusTextSize);
            std::memset(status->sAltDeviceName, 'A', kStatusTextSize);
            std::memset(status->sDeviceName, 'D', kStatusTextSize);
            std::memset(status->sModelUID, 'U', kStatusTextSize);
        }
    }

    kern_return_t onOpen(kext::Connection& c) override { return c.type() == kRefusedType ? kIOReturnBusy : kIOReturnSuccess; }

    kern_return_t handleRequest(kext::Connection& connection, DriverRequest& request) override
    {
        if (m_script.inFlight.fetch_add(1) != 0)
            m_script.overlapped = true;
        const kern_return_t result = answer(connection, request);
        m_script.inFlight.fetch_sub(1);
        return result;
    }

    void onConnectionClosed(kext::Connection& c) override
    {
        m_script.with([&](Script& s) { s.closed.push_back(c.id()); });
    }

    kern_return_t configure(kext::Service&, std::string_view key, std::string_view) override
    {
        return key == "fail" ? kIOReturnBadArgument : kIOReturnSuccess;
    }

private:
    kern_return_t answer(kext::Connection& connection, DriverRequest& request)
    {
        switch (request.iCode) {
        case kReqOpen:
            request.setWord(0, connection.pair()[0]);
            request.setWord(1, connection.pair()[1]);
            return kIOReturnSuccess;
        case kReqDeviceInfo: {
            ++m_script.infoRequests;
            if (m_script.failInfo)
                return kIOReturnError;
            const uint32_t chunk = request.word(0);
            const auto& lengths = m_script.infoLengths;
            const uint32_t length = lengths.empty() ? 0 : lengths[std::min<size_t>(chunk, lengths.size() - 1)];
            // Each chunk's bytes say which chunk they are.
            std::memset(request.data, int(chunk + 1), sizeof request.data);
            request.iCode = length;
            return kIOReturnSuccess;
        }
        case kReqSetConfiguration:
            ++m_script.configurations;
            return kIOReturnSuccess;
        case kReqAttach:
            // Slot = frame size / 64, so the test sees its own parameters come back.
            request.setWord(0, request.iParam / 64);
            return kIOReturnSuccess;
        case kReqDetach:
            return m_script.refuseDetach ? kIOReturnError : kIOReturnSuccess;
        case kReqUsbControl:
            ++m_script.usbRequests;
            if (request.usb.iUsbDirection == 128) {
                request.usb.iUsbLength = m_script.usbAnswerLength;
                std::memset(request.usb.usbData, 0xA5, sizeof request.usb.usbData);
            }
            return kIOReturnSuccess;
        case kReqVersionHAL:
            request.setWord(0, request.word(0) + 1);
            return kIOReturnSuccess;
        case kReqInitialise:
        case kReqBandwidth1:
        case kReqBandwidth2:
            return kIOReturnSuccess;
        case kEcho:
            request.setWord(0, request.word(0) * 2 + 1);
            return kIOReturnSuccess;
        case kDeferred: {
            connection.deferReply();
            std::weak_ptr<kext::Connection> weak = connection.weak_from_this();
            DriverRequest later = request;
            connection.service().daemon().addTimeout(5, [weak, later]() mutable {
                if (auto conn = weak.lock()) {
                    later.setWord(0, 0xD0D0);
                    conn->reply(kIOReturnSuccess, later);
                }
                return false;
            });
            return kIOReturnSuccess;
        }
        case kRefused:
            request.setWord(0, 0xBAD);
            return kIOReturnBusy;
        default:
            return kIOReturnUnsupported;
        }
    }

    Script& m_script;
};

// Every model name plugs a scripted interface.
class ScriptedFactory : public kext::BehaviourFactory {
public:
    explicit ScriptedFactory(Script& script) : m_script(script) {}
    std::unique_ptr<kext::ServiceBehaviour> create(kext::ServiceSetup& setup) override
    {
        setup.statusBlockSize = m_script.statusBlockSize;
        return std::make_unique<ScriptedKernel>(m_script);
    }
    kern_return_t configure(kext::Daemon&, std::string_view, std::string_view) override { return kIOReturnSuccess; }

private:
    Script& m_script;
};

// A test whose daemon serves scripted interfaces.
class ScriptedTest : public KextTest {
protected:
    std::unique_ptr<kext::BehaviourFactory> makeFactory() override { return std::make_unique<ScriptedFactory>(m_script); }
    Script m_script;
};

// Starts a private daemon with one scripted interface plugged and answers its service (0 when
// anything failed); the caller releases the service.
inline io_service_t plugScripted(Script& script, std::unique_ptr<PrivateDaemon>& daemon)
{
    daemon = std::make_unique<PrivateDaemon>(std::make_unique<ScriptedFactory>(script));
    if (!daemon->started() || daemon->plug("scripted") == 0)
        return 0;
    return firstService();
}

} // namespace kexttest
