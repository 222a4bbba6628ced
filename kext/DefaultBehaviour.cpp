#include "kext/DefaultBehaviour.h"

#include "kext/Connection.h"

namespace kext {

kern_return_t DefaultBehaviour::handleRequest(Connection& connection, DriverRequest& request)
{
    if (request.iCode != kReqOpen)
        return kIOReturnUnsupported;
    request.setWord(0, connection.pair()[0]);
    request.setWord(1, connection.pair()[1]);
    return kIOReturnSuccess;
}

std::unique_ptr<ServiceBehaviour> DefaultBehaviourFactory::create(ServiceSetup& setup)
{
    if (setup.model != "default")
        return nullptr;
    return std::make_unique<DefaultBehaviour>();
}

std::unique_ptr<BehaviourFactory> makeBehaviourFactory()
{
    return std::make_unique<DefaultBehaviourFactory>();
}

} // namespace kext
