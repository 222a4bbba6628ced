#include "platform/src/Carbon/NibReader.h"

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>

namespace tarsel::toolbox {
namespace {

struct NibObject {
    std::string className;
    std::string id;
    int parent = -1; // index of the enclosing object
    std::map<std::string, std::string> properties;
    std::vector<std::string> items; // GtkComboBoxText
    std::string handler;            // the first signal's
};

struct ParseState {
    std::vector<NibObject> objects;
    std::vector<int> objectStack;
    std::string property; // name of the property being read, empty outside one
    std::string text;
    bool inItem = false;
};

const char* attribute(const gchar** names, const gchar** values, const char* wanted)
{
    for (int i = 0; names[i] != nullptr; ++i)
        if (std::string(names[i]) == wanted)
            return values[i];
    return nullptr;
}

void startElement(GMarkupParseContext*, const gchar* element, const gchar** names,
                  const gchar** values, gpointer data, GError**)
{
    auto& st = *static_cast<ParseState*>(data);
    const std::string name = element;
    const int current = st.objectStack.empty() ? -1 : st.objectStack.back();
    if (name == "object" || name == "template") {
        NibObject object;
        const char* cls = attribute(names, values, name == "object" ? "class" : "parent");
        const char* id = attribute(names, values, name == "object" ? "id" : "class");
        object.className = cls ? cls : "";
        object.id = id ? id : "";
        object.parent = current;
        st.objects.push_back(std::move(object));
        st.objectStack.push_back(static_cast<int>(st.objects.size()) - 1);
    } else if (current >= 0 && name == "property") {
        const char* prop = attribute(names, values, "name");
        st.property = prop ? prop : "";
        std::replace(st.property.begin(), st.property.end(), '_', '-');
        st.text.clear();
    } else if (current >= 0 && name == "signal") {
        const char* handler = attribute(names, values, "handler");
        if (handler != nullptr && st.objects[current].handler.empty())
            st.objects[current].handler = handler;
    } else if (current >= 0 && name == "item") {
        st.inItem = true;
        st.text.clear();
    }
}

void endElement(GMarkupParseContext*, const gchar* element, gpointer data, GError**)
{
    auto& st = *static_cast<ParseState*>(data);
    const std::string name = element;
    if ((name == "object" || name == "template") && !st.objectStack.empty()) {
        st.objectStack.pop_back();
    } else if (name == "property" && !st.property.empty() && !st.objectStack.empty()) {
        st.objects[st.objectStack.back()].properties[st.property] = st.text;
        st.property.clear();
    } else if (name == "item" && st.inItem && !st.objectStack.empty()) {
        st.objects[st.objectStack.back()].items.push_back(st.text);
        st.inItem = false;
    }
}

void textOf(GMarkupParseContext*, const gchar* text, gsize length, gpointer data, GError**)
{
    auto& st = *static_cast<ParseState*>(data);
    if (!st.property.empty() || st.inItem)
        st.text.append(text, length);
}

bool parseFile(const std::string& path, std::vector<NibObject>& objects)
{
    gchar* contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr))
        return false;
    ParseState st;
    GMarkupParser parser{startElement, endElement, textOf, nullptr, nullptr};
    GMarkupParseContext* context = g_markup_parse_context_new(&parser, G_MARKUP_PREFIX_ERROR_POSITION, &st, nullptr);
    const bool ok = g_markup_parse_context_parse(context, contents, static_cast<gssize>(length), nullptr) &&
                    g_markup_parse_context_end_parse(context, nullptr);
    g_markup_parse_context_free(context);
    g_free(contents);
    if (ok)
        objects = std::move(st.objects);
    return ok;
}

bool isTrue(const std::string& text)
{
    std::string t = text;
    std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return std::tolower(c); });
    return t == "true" || t == "yes" || t == "1" || t == "t" || t == "y";
}

SInt16 toValue(const std::string& text, SInt16 fallback)
{
    if (text.empty())
        return fallback;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || errno != 0 || !std::isfinite(v))
        return fallback;
    return static_cast<SInt16>(std::clamp(std::trunc(v), -32768.0, 32767.0));
}

std::string property(const NibObject& object, const char* name, const std::string& fallback = "")
{
    auto it = object.properties.find(name);
    return it == object.properties.end() ? fallback : it->second;
}

// "<signature>-<number>", the signature exactly four characters.
bool parseControlID(const std::string& id, ControlID& out)
{
    if (id.size() < 6 || id[4] != '-')
        return false;
    const std::string digits = id.substr(5);
    if (digits.empty() || digits.size() > 10 ||
        !std::all_of(digits.begin() + (digits[0] == '-' ? 1 : 0), digits.end(), [](unsigned char c) { return std::isdigit(c); }) ||
        digits == "-")
        return false;
    const long long number = std::strtoll(digits.c_str(), nullptr, 10);
    if (number < INT32_MIN || number > INT32_MAX)
        return false;
    out.signature = (OSType(UInt8(id[0])) << 24) | (OSType(UInt8(id[1])) << 16) |
                    (OSType(UInt8(id[2])) << 8) | OSType(UInt8(id[3]));
    out.id = static_cast<SInt32>(number);
    return true;
}

bool kindOf(OSType signature, const std::string& className, ControlKind& kind)
{
    switch (signature) {
    case HIFourCC("popb"):
    case HIFourCC("pgrp"): kind = ControlKind::PopupButton; return true;
    case HIFourCC("stxt"): kind = ControlKind::StaticText; return true;
    case HIFourCC("push"): kind = ControlKind::PushButton; return true;
    case HIFourCC("sldr"): kind = ControlKind::Slider; return true;
    case HIFourCC("cbox"): kind = ControlKind::CheckBox; return true;
    case HIFourCC("tabs"): kind = ControlKind::Tabs; return true;
    case HIFourCC("upan"): kind = ControlKind::UserPane; return true;
    case HIFourCC("relb"): kind = ControlKind::LevelIndicator; return true;
    default: break;
    }
    static const std::map<std::string, ControlKind> byClass = {
        {"GtkComboBoxText", ControlKind::PopupButton}, {"GtkLabel", ControlKind::StaticText},
        {"GtkButton", ControlKind::PushButton},        {"GtkScale", ControlKind::Slider},
        {"GtkCheckButton", ControlKind::CheckBox},     {"GtkNotebook", ControlKind::Tabs},
        {"GtkLevelBar", ControlKind::LevelIndicator},
    };
    auto it = byClass.find(className);
    if (it == byClass.end())
        return false;
    kind = it->second;
    return true;
}

bool within(const std::vector<NibObject>& objects, int index, int ancestor)
{
    for (int i = index; i >= 0; i = objects[i].parent)
        if (i == ancestor)
            return true;
    return false;
}

int find(const std::vector<NibObject>& objects, const std::string& id, std::initializer_list<const char*> classes)
{
    for (size_t i = 0; i < objects.size(); ++i) {
        if (objects[i].id != id)
            continue;
        for (const char* cls : classes)
            if (objects[i].className == cls)
                return static_cast<int>(i);
    }
    return -1;
}

void fillRange(Control& control, const NibObject& object, const std::vector<NibObject>& objects)
{
    const NibObject* source = &object;
    const std::string adjustment = property(object, "adjustment");
    if (!adjustment.empty()) {
        int a = find(objects, adjustment, {"GtkAdjustment"});
        if (a >= 0)
            source = &objects[a];
    }
    const bool level = control.kind == ControlKind::LevelIndicator;
    control.minimum = toValue(property(*source, level ? "min-value" : "lower"), 0);
    control.maximum = toValue(property(*source, level ? "max-value" : "upper"), level ? 1 : 100);
    control.value = std::clamp(toValue(property(*source, "value"), control.minimum), control.minimum,
                               std::max(control.minimum, control.maximum));
}

} // namespace

UInt32 parseCommandName(const std::string& text)
{
    if (!text.empty() && text.size() <= 10 && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
        const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
        return v <= UINT32_MAX ? static_cast<UInt32>(v) : 0;
    }
    if (text.size() != 4)
        return 0;
    return (UInt32(UInt8(text[0])) << 24) | (UInt32(UInt8(text[1])) << 16) | (UInt32(UInt8(text[2])) << 8) |
           UInt32(UInt8(text[3]));
}

std::unique_ptr<Window> readNibWindow(const std::string& path, const std::string& name)
{
    std::vector<NibObject> objects;
    if (!parseFile(path, objects))
        return nullptr;
    const int top = find(objects, name, {"GtkWindow", "GtkApplicationWindow", "GtkDialog"});
    if (top < 0)
        return nullptr;
    auto window = std::make_unique<Window>();
    window->name = name;
    window->title = property(objects[top], "title");

    std::map<int, Control*> byObject;
    for (size_t i = 0; i < objects.size(); ++i) {
        const NibObject& object = objects[i];
        ControlID id;
        ControlKind kind;
        if (!within(objects, static_cast<int>(i), top) || static_cast<int>(i) == top ||
            !parseControlID(object.id, id) || !kindOf(id.signature, object.className, kind))
            continue;
        auto control = std::make_unique<Control>();
        control->window = window.get();
        control->id = id;
        control->kind = kind;
        control->name = object.id;
        control->command = parseCommandName(object.handler);
        control->enabled = isTrue(property(object, "sensitive", "True"));
        control->visible = isTrue(property(object, "visible", "True"));
        control->text = property(object, "label");
        switch (kind) {
        case ControlKind::PopupButton: {
            control->popup = std::make_unique<Menu>();
            control->popup->window = window.get();
            for (const auto& item : object.items)
                control->popup->items.push_back(MenuItem{item, 0, false});
            const auto count = static_cast<SInt16>(std::min<size_t>(object.items.size(), 32767));
            control->maximum = count;
            control->value = count == 0 ? 0 : std::clamp<SInt16>(static_cast<SInt16>(toValue(property(object, "active"), 0) + 1), 1, count);
            break;
        }
        case ControlKind::Slider:
        case ControlKind::LevelIndicator: fillRange(*control, object, objects); break;
        case ControlKind::CheckBox:
            control->maximum = 1;
            control->value = isTrue(property(object, "active", "False")) ? 1 : 0;
            break;
        case ControlKind::PushButton: control->maximum = 1; break;
        case ControlKind::Tabs:
            control->minimum = 1;
            control->value = 1;
            break;
        default: break;
        }
        byObject[static_cast<int>(i)] = control.get();
        window->controls.push_back(std::move(control));
    }
    // Panes around controls, and the pages of each tab control.
    for (auto& [index, control] : byObject) {
        for (int p = objects[index].parent; p >= 0 && p != top; p = objects[p].parent) {
            auto it = byObject.find(p);
            if (it == byObject.end())
                continue;
            if (it->second->kind == ControlKind::UserPane && control->pane == nullptr)
                control->pane = it->second;
            if (it->second->kind == ControlKind::Tabs && control->kind == ControlKind::UserPane) {
                if (it->second->maximum < 32767)
                    ++it->second->maximum;
                break;
            }
        }
    }
    return window;
}

bool readNibMenuBar(const std::string& path, const std::string& name, std::vector<std::unique_ptr<Menu>>& menus)
{
    std::vector<NibObject> objects;
    if (!parseFile(path, objects))
        return false;
    const int bar = find(objects, name, {"GtkMenuBar"});
    if (bar < 0)
        return false;
    std::vector<std::unique_ptr<Menu>> result;
    std::map<int, Menu*> byObject;
    for (size_t i = 0; i < objects.size(); ++i) {
        const NibObject& object = objects[i];
        if (object.className != "GtkMenu" || !within(objects, static_cast<int>(i), bar))
            continue;
        auto menu = std::make_unique<Menu>();
        if (object.id.rfind("menu-", 0) == 0)
            menu->id = toValue(object.id.substr(5), 0);
        if (object.parent >= 0)
            menu->title = property(objects[object.parent], "label");
        byObject[static_cast<int>(i)] = menu.get();
        result.push_back(std::move(menu));
    }
    for (size_t i = 0; i < objects.size(); ++i) {
        const NibObject& object = objects[i];
        auto it = byObject.find(object.parent);
        if (it == byObject.end() || object.className.find("MenuItem") == std::string::npos ||
            object.className == "GtkSeparatorMenuItem")
            continue;
        it->second->items.push_back(MenuItem{property(object, "label"), parseCommandName(object.handler),
                                             isTrue(property(object, "active", "False"))});
    }
    menus = std::move(result);
    return true;
}

} // namespace tarsel::toolbox
