#pragma once
// A scripted simulated kernel driver: serves a few requests that expose the transport's work,
// hands every other request to the test's own script, and writes down what the daemon tells it.
#include <sys/types.h>

#include <functional>
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

// What the daemon told the behaviours, readable from the test's thread.
struct Journal {
    std::mutex lock;
    std::vector<std::pair<uint32_t, pid_t>> closed; // connection id, pid
    std::vector<std::pair<uint32_t, pid_t>> opened;
    std::vector<uint32_t> unplugged;
    std::vector<std::string> settings;
    size_t ringSize = kAudioRingSize;
    // Set before the service is plugged; called on the daemon's thread.
    std::function<void(kext::Service&)> plugged;
    std::function<kern_return_t(kext::Connection&, DriverRequest&)> script;

    template <class F> auto with(F&& f)
    {
        std::lock_guard<std::mutex> guard(lock);
        return f(*this);
    }
    bool closedPid(pid_t pid)
    {
        return with([&](Journal& j) {
            for (auto& [id, p] : j.closed)
                if (p == pid)
                    return true;
            return false;
        });
    }
};

class ScriptedKernel : public kext::ServiceBehaviour {
public:
    explicit ScriptedKernel(std::shared_ptr<Journal> journal) : m_journal(std::move(journal)) {}

    void onPlugged(kext::Service& s) override
    {
        if (m_journal->plugged)
            m_journal->plugged(s);
    }

    kern_return_t onOpen(kext::Connection& c) override
    {
        if (c.type() == kRefusedType)
            return kIOReturnBusy;
        m_journal->with([&](Journal& j) { j.opened.emplace_back(c.id(), c.pid()); });
        return kIOReturnSuccess;
    }

    kern_return_t handleRequest(kext::Connection& c, DriverRequest& r) override
    {
        switch (r.iCode) {
        case kReqOpen:
            r.setWord(0, c.pair()[0]);
            r.setWord(1, c.pair()[1]);
            return kIOReturnSuccess;
        case kEcho:
            r.setWord(0, r.word(0) * 2 + 1);
            return kIOReturnSuccess;
        case kDeferred: {
            c.deferReply();
            std::weak_ptr<kext::Connection> weak = c.weak_from_this();
            DriverRequest answer = r;
            c.service().daemon().addTimeout(5, [weak, answer]() mutable {
                if (auto conn = weak.lock()) {
                    answer.setWord(0, 0xD0D0);
                    conn->reply(kIOReturnSuccess, answer);
                }
                return false;
            });
            return kIOReturnSuccess;
        }
        case kRefused:
            r.setWord(0, 0xBAD);
            return kIOReturnBusy;
        default:
            return m_journal->script ? m_journal->script(c, r) : kIOReturnUnsupported;
        }
    }

    void onConnectionClosed(kext::Connection& c) override
    {
        m_journal->with([&](Journal& j) { j.closed.emplace_back(c.id(), c.pid()); });
    }

    void onUnplug(kext::Service& s) override
    {
        m_journal->with([&](Journal& j) { j.unplugged.push_back(s.id()); });
        kext::ServiceBehaviour::onUnplug(s);
    }

    kern_return_t configure(kext::Service&, std::string_view key, std::string_view value) override
    {
        if (key == "fail")
            return kIOReturnBadArgument;
        m_journal->with([&](Journal& j) { j.settings.push_back(std::string(key) + "=" + std::string(value)); });
        return kIOReturnSuccess;
    }

    size_t ringSize(kext::Connection&, uint32_t) override
    {
        return m_journal->with([](Journal& j) { return j.ringSize; });
    }

    std::string describe(const kext::Service& s) const override { return "recording " + std::to_string(s.id()); }
    std::string describe(const kext::Connection& c) const override { return "client " + std::to_string(c.id()); }

private:
    std::shared_ptr<Journal> m_journal;
};

class ScriptedFactory : public kext::BehaviourFactory {
public:
    explicit ScriptedFactory(std::shared_ptr<Journal> journal) : m_journal(std::move(journal)) {}
    std::unique_ptr<kext::ServiceBehaviour> create(kext::ServiceSetup& setup) override
    {
        if (setup.model == "recording")
            return std::make_unique<ScriptedKernel>(m_journal);
        if (setup.model == "small-block") {
            setup.statusBlockSize = 100;
            setup.name = "SmallBlock";
            return std::make_unique<ScriptedKernel>(m_journal);
        }
        return nullptr;
    }
    kern_return_t configure(kext::Daemon&, std::string_view key, std::string_view value) override
    {
        m_journal->with([&](Journal& j) { j.settings.push_back("daemon:" + std::string(key) + "=" + std::string(value)); });
        return kIOReturnSuccess;
    }

private:
    std::shared_ptr<Journal> m_journal;
};

// A test whose daemon serves "recording" and "small-block" services.
class ScriptedTest : public KextTest {
protected:
    std::unique_ptr<kext::BehaviourFactory> makeFactory() override
    {
        return std::make_unique<ScriptedFactory>(m_journal);
    }
    std::shared_ptr<Journal> m_journal = std::make_shared<Journal>();
};

} // namespace kexttest
