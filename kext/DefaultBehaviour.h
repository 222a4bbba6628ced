#pragma once
#include <memory>

#include "kext/ServiceBehaviour.h"

namespace kext {

// The least a service does: request 27 answers the connection's pair in data words 0 and 1,
// every other request kIOReturnUnsupported.
class DefaultBehaviour : public ServiceBehaviour {
public:
    kern_return_t handleRequest(Connection& connection, DriverRequest& request) override;
};

// Knows the one model "default".
class DefaultBehaviourFactory : public BehaviourFactory {
public:
    std::unique_ptr<ServiceBehaviour> create(ServiceSetup& setup) override;
};

// The factory tarsel-kextd serves with.
std::unique_ptr<BehaviourFactory> makeBehaviourFactory();

} // namespace kext
