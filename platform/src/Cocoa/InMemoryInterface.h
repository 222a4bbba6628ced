#pragma once
// Private to the platform, for tests and the headless run: the main interface description
// loaded into a window that lives in memory. It keeps every text a text field was given and
// every terminate: the application received.
#include "platform/src/Cocoa/CocoaInterface.h"

#include <memory>
#include <string>
#include <vector>

class InMemoryInterface {
public:
    // Installs this window's terminate handler until it goes.
    static std::unique_ptr<InMemoryInterface> load(const std::string& path, std::string& error);
    ~InMemoryInterface();

    NSObject* object(const std::string& id) const { return m_interface->object(id); }
    const CocoaInterface& interface() const { return *m_interface; }
    // The window's title, as the description gives it.
    std::string title() const;
    // Every text the field `id` showed, its first (from the description) included.
    std::vector<std::string> texts(const std::string& id) const;
    bool enabled(const std::string& id) const;
    // Presses button `id`: false (and nothing sent) when there is none or it is disabled.
    bool press(const std::string& id) const;
    // Called with every text a field is given, after it is kept.
    void onText(std::function<void(const std::string& id, const std::string& text)> observer);
    // The senders of every terminate: so far.
    const std::vector<id>& terminations() const { return m_terminations; }

private:
    InMemoryInterface() = default;
    std::unique_ptr<CocoaInterface> m_interface;
    std::vector<id> m_terminations;
    std::function<void(const std::string&, const std::string&)> m_observer;
};
