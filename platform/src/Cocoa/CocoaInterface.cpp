// The main interface description: read with GLib's markup parser (the same GtkBuilder file the
// GTK window builds its widgets from), and the custom objects it makes and connects.
#include "platform/src/Cocoa/CocoaInterface.h"

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

constexpr std::streamsize kMaxDescriptionSize = std::streamsize(1) << 20;
constexpr const char* kCustomObjectClass = "NSCustomObject";

struct Reader {
    std::vector<InterfaceObject>& objects;
    std::vector<std::string> elements;    // open elements, innermost last
    std::vector<size_t> openObjects;      // indexes into `objects`
    std::string property;                 // name of the open <property> of an object
    std::string text;
};

const char* attribute(const char** names, const char** values, const char* wanted)
{
    for (size_t i = 0; names[i] != nullptr; ++i) {
        if (std::strcmp(names[i], wanted) == 0)
            return values[i];
    }
    return nullptr;
}

void startElement(GMarkupParseContext*, const char* element, const char** names, const char** values,
                  gpointer data, GError** error)
{
    Reader& r = *static_cast<Reader*>(data);
    const std::string parent = r.elements.empty() ? "" : r.elements.back();
    r.elements.emplace_back(element);
    if (std::strcmp(element, "object") == 0) {
        const char* cls = attribute(names, values, "class");
        const char* objectId = attribute(names, values, "id");
        if (cls == nullptr) {
            g_set_error(error, G_MARKUP_ERROR, G_MARKUP_ERROR_MISSING_ATTRIBUTE, "an object without a class");
            return;
        }
        r.objects.push_back(InterfaceObject{cls, objectId != nullptr ? objectId : "", {}, {}});
        r.openObjects.push_back(r.objects.size() - 1);
    } else if (parent == "object" && !r.openObjects.empty()) {
        InterfaceObject& object = r.objects[r.openObjects.back()];
        if (std::strcmp(element, "property") == 0) {
            const char* name = attribute(names, values, "name");
            r.property = name != nullptr ? name : "";
            r.text.clear();
        } else if (std::strcmp(element, "signal") == 0) {
            const char* name = attribute(names, values, "name");
            const char* handler = attribute(names, values, "handler");
            const char* target = attribute(names, values, "object");
            if (name == nullptr || handler == nullptr) {
                g_set_error(error, G_MARKUP_ERROR, G_MARKUP_ERROR_MISSING_ATTRIBUTE,
                            "a signal of %s without a name or handler", object.id.c_str());
                return;
            }
            object.signals.push_back(InterfaceSignal{name, handler, target != nullptr ? target : ""});
        }
    }
}

void endElement(GMarkupParseContext*, const char* element, gpointer data, GError**)
{
    Reader& r = *static_cast<Reader*>(data);
    r.elements.pop_back();
    const std::string parent = r.elements.empty() ? "" : r.elements.back();
    if (std::strcmp(element, "object") == 0) {
        if (!r.openObjects.empty())
            r.openObjects.pop_back();
    } else if (std::strcmp(element, "property") == 0 && parent == "object" && !r.openObjects.empty() &&
               !r.property.empty()) {
        r.objects[r.openObjects.back()].properties[r.property] = r.text;
        r.property.clear();
    }
}

void textIn(GMarkupParseContext*, const char* text, gsize length, gpointer data, GError**)
{
    Reader& r = *static_cast<Reader*>(data);
    if (!r.property.empty())
        r.text.append(text, length);
}

bool isTrue(const std::string& value)
{
    return value == "True" || value == "true" || value == "yes" || value == "1";
}

} // namespace

bool readInterfaceDescription(const std::string& path, std::vector<InterfaceObject>& objects,
                              std::string& error)
{
    objects.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::string text(size_t(kMaxDescriptionSize) + 1, '\0');
    in.read(text.data(), kMaxDescriptionSize + 1);
    if (in.gcount() > kMaxDescriptionSize) {
        error = path + " is larger than 1 MiB";
        return false;
    }
    text.resize(size_t(in.gcount()));
    Reader reader{objects, {}, {}, {}, {}};
    GMarkupParser parser{startElement, endElement, textIn, nullptr, nullptr};
    GMarkupParseContext* context = g_markup_parse_context_new(&parser, GMarkupParseFlags(0), &reader, nullptr);
    GError* failure = nullptr;
    const bool ok = g_markup_parse_context_parse(context, text.data(), gssize(text.size()), &failure) &&
        g_markup_parse_context_end_parse(context, &failure);
    g_markup_parse_context_free(context);
    if (!ok) {
        error = path + ": " + (failure != nullptr ? failure->message : "not well formed");
        g_clear_error(&failure);
        objects.clear();
    }
    return ok;
}

std::unique_ptr<CocoaInterface> CocoaInterface::load(const std::string& path, const ControlMaker& makeControl,
                                                     std::string& error)
{
    // The objects of a description belong to an application: NSApp is there for them.
    NSApplication::sharedApplication();
    std::unique_ptr<CocoaInterface> ui(new CocoaInterface);
    if (!readInterfaceDescription(path, ui->m_description, error))
        return nullptr;
    std::vector<std::pair<const InterfaceObject*, NSObject*>> custom;
    for (const InterfaceObject& o : ui->m_description) {
        if (o.id.empty())
            continue;
        if (ui->m_objects.count(o.id) != 0) {
            error = path + ": two objects with the ID " + o.id;
            return nullptr;
        }
        NSObject* made = nullptr;
        if (o.className == kCustomObjectClass) {
            const auto name = o.properties.find("class-name");
            const NSClassDescription* cls =
                name != o.properties.end() ? NSClassDescriptionFor(name->second) : nullptr;
            if (cls == nullptr) {
                error = path + ": " + o.id + " is of no known class";
                return nullptr;
            }
            made = cls->make();
            custom.emplace_back(&o, made);
        } else {
            made = makeControl(o);
            if (made != nullptr) {
                NSControl* control = static_cast<NSControl*>(made);
                const auto label = o.properties.find("label");
                if (label != o.properties.end())
                    control->NSControl::setStringValue(label->second.c_str());
                const auto sensitive = o.properties.find("sensitive");
                if (sensitive != o.properties.end())
                    control->NSControl::setEnabled(isTrue(sensitive->second) ? YES : NO);
            }
        }
        if (made != nullptr)
            ui->m_objects[o.id] = made;
    }
    for (auto& [o, object] : custom) {
        const NSClassDescription* cls = NSClassDescriptionFor(o->properties.at("class-name"));
        const auto outlets = o->properties.find("outlets");
        std::stringstream words(outlets != o->properties.end() ? outlets->second : "");
        std::string word;
        while (words >> word) {
            const size_t colon = word.find(':');
            const std::string outlet = word.substr(0, colon);
            const auto set = cls->outlets.find(outlet);
            NSObject* target = colon == std::string::npos ? nullptr : ui->object(word.substr(colon + 1));
            if (set == cls->outlets.end() || target == nullptr || !set->second(*object, target)) {
                error = path + ": outlet " + word + " of " + o->id + " cannot be connected";
                return nullptr;
            }
        }
    }
    for (const InterfaceObject& o : ui->m_description) {
        for (const InterfaceSignal& s : o.signals) {
            const auto target = std::find_if(custom.begin(), custom.end(),
                                             [&](const auto& c) { return c.first->id == s.object; });
            if (target == custom.end() || ui->control(o.id) == nullptr) {
                error = path + ": signal " + s.name + " of " + o.id + " reaches no object";
                return nullptr;
            }
            const NSClassDescription* cls = NSClassDescriptionFor(target->first->properties.at("class-name"));
            const auto action = cls->actions.find(s.handler);
            if (action == cls->actions.end()) {
                error = path + ": " + s.object + " has no action " + s.handler;
                return nullptr;
            }
            ui->m_actions.push_back(Action{o.id, s.name, target->second, action->second});
        }
    }
    for (auto& c : custom)
        c.second->awakeFromNib();
    return ui;
}

CocoaInterface::~CocoaInterface()
{
    for (auto& [name, object] : m_objects)
        delete object;
}

NSObject* CocoaInterface::object(const std::string& id) const
{
    const auto it = m_objects.find(id);
    return it == m_objects.end() ? nullptr : it->second;
}

NSControl* CocoaInterface::control(const std::string& id) const
{
    return dynamic_cast<NSControl*>(object(id));
}

bool CocoaInterface::activate(const std::string& id, const std::string& signal) const
{
    NSControl* sender = control(id);
    bool sent = false;
    for (const Action& a : m_actions) {
        if (a.control == id && a.signal == signal) {
            a.send(*a.target, sender);
            sent = true;
        }
    }
    return sent;
}
