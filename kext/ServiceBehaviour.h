#pragma once
// The extension points of the simulated kernel driver. The transport (Daemon) owns sockets,
// services, connections and memory objects; everything a simulated interface does is decided
// by its ServiceBehaviour, and which interfaces exist by the BehaviourFactory.
#include <IOKit/IOReturn.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "device/DriverRequest.h"
#include "device/KernelMemory.h"

namespace kext {

class Connection;
class Daemon;
class Service;

// A new service as the daemon proposes it; the factory may change any field.
struct ServiceSetup {
    std::string model;        // the model name asked for
    uint32_t options = 0;     // kextwire::PlugOptions
    std::string className;    // "ZmKernelDeviceTARSEL", or with "Tiger" for kPlugDarwin8
    std::string name;         // the registry entry's name; the class name unless changed
    size_t statusBlockSize = kStatusBlockSize;
};

using EventParams = std::array<uint32_t, 7>;

// The simulated interface behind one service. Every call comes on the daemon's thread.
class ServiceBehaviour {
public:
    virtual ~ServiceBehaviour() = default;

    // The service exists and its status block is mapped (all zero); it is published after this.
    virtual void onPlugged(Service&) {}
    // IOServiceOpen made `connection`; any result but kIOReturnSuccess refuses it.
    virtual kern_return_t onOpen(Connection&) { return kIOReturnSuccess; }
    // One request (selector 0, the 268-byte record) on a connection of a live service. The
    // record holds the request on entry and the answer on return. To answer later, call
    // connection.deferReply() here and Connection::reply() when done.
    virtual kern_return_t handleRequest(Connection& connection, DriverRequest& request) = 0;
    // The client closed the connection or its process died. The connection's rings stay valid
    // as long as someone holds the object.
    virtual void onConnectionClosed(Connection&) {}
    // The service is being unplugged; it is terminated right after. The default posts the
    // interface-gone event (16).
    virtual void onUnplug(Service& service);
    // An event asked for by the control tool. The default posts it as a kernel event.
    virtual kern_return_t onControlEvent(Service& service, uint32_t code, const EventParams& params);
    // A setting from the control tool (a fault, an input source ...).
    virtual kern_return_t configure(Service&, std::string_view /*key*/, std::string_view /*value*/)
    {
        return kIOReturnUnsupported;
    }
    // The size of a connection's ring of memory type 4 or 5, asked when it is first made.
    virtual size_t ringSize(Connection&, uint32_t /*type*/) { return kAudioRingSize; }
    // One line each for the control tool's lists.
    virtual std::string describe(const Service&) const { return {}; }
    virtual std::string describe(const Connection&) const { return {}; }
};

// Makes the behaviour of each service the control tool plugs.
class BehaviourFactory {
public:
    virtual ~BehaviourFactory() = default;
    // The behaviour for `setup.model`, or null when no such model is known.
    virtual std::unique_ptr<ServiceBehaviour> create(ServiceSetup& setup) = 0;
    // A setting addressed to the daemon as a whole (service id 0).
    virtual kern_return_t configure(Daemon&, std::string_view /*key*/, std::string_view /*value*/)
    {
        return kIOReturnUnsupported;
    }
};

} // namespace kext
