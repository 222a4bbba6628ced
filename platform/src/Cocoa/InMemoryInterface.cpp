// The window in memory, and the headless run of an application on it.
#include "platform/src/Cocoa/InMemoryInterface.h"

#include <cstdio>

namespace {

// Controls of the in-memory window keep what they were given.
class MemoryTextField : public NSTextField {
public:
    MemoryTextField(std::string id, std::function<void(const std::string&, const std::string&)>* observer)
        : m_id(std::move(id)), m_observer(observer)
    {
    }
    void setStringValue(const char* value) override
    {
        NSTextField::setStringValue(value);
        history.emplace_back(stringValue());
        if (*m_observer)
            (*m_observer)(m_id, history.back());
    }
    std::vector<std::string> history;

private:
    std::string m_id;
    std::function<void(const std::string&, const std::string&)>* m_observer;
};

bool isTextField(const std::string& cls)
{
    return cls == "GtkLabel" || cls == "GtkEntry";
}

} // namespace

std::unique_ptr<InMemoryInterface> InMemoryInterface::load(const std::string& path, std::string& error)
{
    std::unique_ptr<InMemoryInterface> window(new InMemoryInterface);
    auto* observer = &window->m_observer;
    // Terminations are kept from the start: awakeFromNib may already send one.
    InMemoryInterface* self = window.get();
    _NSApplicationSetTerminateHandler([self](id sender) { self->m_terminations.push_back(sender); });
    window->m_interface = CocoaInterface::load(
        path,
        [observer](const InterfaceObject& o) -> NSControl* {
            if (isTextField(o.className)) {
                auto* field = new MemoryTextField(o.id, observer);
                const auto label = o.properties.find("label");
                field->history.push_back(label != o.properties.end() ? label->second : "");
                return field;
            }
            if (o.className == "GtkButton")
                return new NSButton;
            return nullptr;
        },
        error);
    if (!window->m_interface) {
        _NSApplicationSetTerminateHandler(nullptr);
        return nullptr;
    }
    return window;
}

InMemoryInterface::~InMemoryInterface()
{
    _NSApplicationSetTerminateHandler(nullptr);
}

std::string InMemoryInterface::title() const
{
    for (const InterfaceObject& o : m_interface->description()) {
        const auto title = o.properties.find("title");
        if (o.className == "GtkWindow" && title != o.properties.end())
            return title->second;
    }
    return "";
}

std::vector<std::string> InMemoryInterface::texts(const std::string& id) const
{
    const auto* field = dynamic_cast<const MemoryTextField*>(m_interface->object(id));
    return field != nullptr ? field->history : std::vector<std::string>{};
}

bool InMemoryInterface::enabled(const std::string& id) const
{
    const NSControl* control = m_interface->control(id);
    return control != nullptr && control->isEnabled();
}

bool InMemoryInterface::press(const std::string& id) const
{
    const NSButton* button = dynamic_cast<const NSButton*>(m_interface->object(id));
    if (button == nullptr || !button->isEnabled())
        return false;
    m_interface->activate(id, "clicked");
    return true;
}

void InMemoryInterface::onText(std::function<void(const std::string& id, const std::string& text)> observer)
{
    m_observer = std::move(observer);
}

int _NSApplicationRunHeadless(const std::string& descriptionPath, const std::vector<std::string>& buttons,
                              const char* programName)
{
    std::string error;
    std::unique_ptr<InMemoryInterface> window = InMemoryInterface::load(descriptionPath, error);
    if (!window) {
        std::fprintf(stderr, "%s: %s\n", programName, error.c_str());
        return 1;
    }
    // The window is shown: the texts it has now, then every one it is given.
    for (const InterfaceObject& o : window->interface().description()) {
        if (isTextField(o.className) && !o.id.empty())
            std::printf("%s\n", window->interface().control(o.id)->stringValue());
    }
    window->onText([](const std::string&, const std::string& text) {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    });
    for (const std::string& b : buttons) {
        if (!window->terminations().empty())
            break;
        if (dynamic_cast<NSButton*>(window->object(b)) == nullptr) {
            std::fprintf(stderr, "%s: no button '%s' in the window\n", programName, b.c_str());
            return 2;
        }
        if (!window->press(b))
            std::fprintf(stderr, "%s: the button '%s' is disabled\n", programName, b.c_str());
    }
    std::fflush(stdout);
    return 0;
}
