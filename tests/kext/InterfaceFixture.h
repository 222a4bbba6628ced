#pragma once
// A private daemon with the simulated interfaces, one of them plugged, and clients on it.
#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include "kext/model/Catalogue.h"
#include "kext/model/DeviceModel.h"
#include "tests/support/InterfaceClient.h"
#include "tests/support/PrivateDaemon.h"

namespace kexttest {

// An event's parameters, to compare whole.
inline std::array<uint32_t, 7> paramsOf(const KernelEvent& e)
{
    std::array<uint32_t, 7> p;
    std::copy(std::begin(e.iParam), std::end(e.iParam), p.begin());
    return p;
}

class InterfaceTest : public KextTest {
protected:
    void TearDown() override
    {
        if (m_service != 0)
            IOObjectRelease(m_service);
        m_service = 0;
        KextTest::TearDown();
    }

    // Plugs a model of the catalogue and finds its service.
    void plugModel(const std::string& name)
    {
        const kext::DeviceModel* model = kext::findModel(name == "default" ? "tarsel" : name);
        ASSERT_NE(model, nullptr) << name;
        m_model = *model;
        m_id = daemon().plug(name);
        ASSERT_NE(m_id, 0u) << name;
        if (m_service != 0)
            IOObjectRelease(m_service);
        m_service = firstService(m_model.tiger ? "ZmKernelDeviceTARSELTiger" : "ZmKernelDeviceTARSEL");
        ASSERT_NE(m_service, 0u) << name;
    }

    std::unique_ptr<InterfaceClient> open() const { return std::make_unique<InterfaceClient>(m_service); }

    // Request 6 with the model's own settings.
    void configure(const InterfaceClient& client) const
    {
        ASSERT_EQ(client.applySettings(kext::defaultSettings(m_model)), kIOReturnSuccess);
        ASSERT_EQ(client.block().bConfigured, 1u);
    }

    kern_return_t set(const std::string& key, const std::string& value, uint32_t id = ~0u)
    {
        return daemon().control().configure(id == ~0u ? m_id : id, key, value);
    }

    uint32_t m_id = 0;
    io_service_t m_service = 0;
    kext::DeviceModel m_model;
};

} // namespace kexttest
