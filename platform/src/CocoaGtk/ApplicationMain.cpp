// NSApplicationMain with a GTK 3 window: the bundle's main interface description is built by
// GtkBuilder, and its custom objects are made and connected by the platform's loader, whose
// controls here stand for the description's widgets. `--headless` runs the in-memory window.
// Kept out of libplatform so that only an application links GTK.
#include <Cocoa/Cocoa.h>

#include "platform/src/Cocoa/CocoaInterface.h"

#include <gtk/gtk.h>
#include <plist/plist.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::streamsize kMaxInfoPlistSize = std::streamsize(1) << 20;
// Writes a picture of the main window, once it is drawn, to the PNG file this names.
constexpr const char* kSnapshotVariable = "TARSEL_SCREENSHOT";

class GtkTextField : public NSTextField {
public:
    explicit GtkTextField(GtkWidget* widget) : m_widget(widget) {}
    void setStringValue(const char* value) override
    {
        NSTextField::setStringValue(value);
        if (GTK_IS_LABEL(m_widget))
            gtk_label_set_text(GTK_LABEL(m_widget), stringValue());
        else if (GTK_IS_ENTRY(m_widget))
            gtk_entry_set_text(GTK_ENTRY(m_widget), stringValue());
    }
    void setEnabled(BOOL enabled) override
    {
        NSTextField::setEnabled(enabled);
        gtk_widget_set_sensitive(m_widget, enabled ? TRUE : FALSE);
    }

private:
    GtkWidget* m_widget;
};

class GtkButtonControl : public NSButton {
public:
    explicit GtkButtonControl(GtkWidget* widget) : m_widget(widget) {}
    void setStringValue(const char* value) override
    {
        NSButton::setStringValue(value);
        gtk_button_set_label(GTK_BUTTON(m_widget), stringValue());
    }
    void setEnabled(BOOL enabled) override
    {
        NSButton::setEnabled(enabled);
        gtk_widget_set_sensitive(m_widget, enabled ? TRUE : FALSE);
    }

private:
    GtkWidget* m_widget;
};

struct Clicked {
    const CocoaInterface* ui;
    std::string id;
};

void onClicked(GtkButton*, gpointer data)
{
    const Clicked* c = static_cast<const Clicked*>(data);
    c->ui->activate(c->id, "clicked");
}

// The main interface description named by the bundle's Info.plist (NSMainNibFile).
bool mainDescription(std::string& path, std::string& error)
{
    std::error_code failure;
    const fs::path program = fs::read_symlink("/proc/self/exe", failure);
    const fs::path contents = program.parent_path().parent_path();
    if (failure || program.parent_path().filename() != "MacOS" || contents.filename() != "Contents") {
        error = "the program is not in a bundle's Contents/MacOS";
        return false;
    }
    const fs::path info = contents / "Info.plist";
    std::ifstream in(info, std::ios::binary);
    std::string text(size_t(kMaxInfoPlistSize) + 1, '\0');
    in.read(text.data(), kMaxInfoPlistSize + 1);
    if (!in.eof() || in.gcount() == 0 || in.gcount() > kMaxInfoPlistSize) {
        error = "cannot read " + info.string();
        return false;
    }
    plist_t root = nullptr;
    plist_from_xml(text.data(), uint32_t(in.gcount()), &root);
    plist_t nib = root != nullptr && plist_get_node_type(root) == PLIST_DICT
        ? plist_dict_get_item(root, "NSMainNibFile") : nullptr;
    char* name = nullptr;
    if (nib != nullptr && plist_get_node_type(nib) == PLIST_STRING)
        plist_get_string_val(nib, &name);
    const std::string nibName = name != nullptr ? name : "";
    free(name);
    plist_free(root);
    if (nibName.empty() || nibName.find('/') != std::string::npos) {
        error = info.string() + " names no main interface (NSMainNibFile)";
        return false;
    }
    path = (contents / "Resources" / (nibName + ".ui")).string();
    return true;
}

// GtkBuilder reads the description's custom objects too; it makes them as plain objects with
// the two properties they carry, and the platform's loader makes the real ones.
void customObjectSetProperty(GObject*, guint, const GValue*, GParamSpec*) {}

void customObjectClassInit(gpointer cls, gpointer)
{
    GObjectClass* object = G_OBJECT_CLASS(cls);
    object->set_property = customObjectSetProperty;
    g_object_class_install_property(object, 1, g_param_spec_string("class-name", nullptr, nullptr, nullptr,
                                                                    G_PARAM_WRITABLE));
    g_object_class_install_property(object, 2, g_param_spec_string("outlets", nullptr, nullptr, nullptr,
                                                                    G_PARAM_WRITABLE));
}

void registerCustomObjectType()
{
    if (g_type_from_name("NSCustomObject") == 0)
        g_type_register_static_simple(G_TYPE_OBJECT, "NSCustomObject", sizeof(GObjectClass),
                                      customObjectClassInit, sizeof(GObject), nullptr, GTypeFlags(0));
}

gboolean writeSnapshot(gpointer data)
{
    GtkWidget* window = GTK_WIDGET(data);
    const char* target = std::getenv(kSnapshotVariable);
    const int width = gtk_widget_get_allocated_width(window);
    const int height = gtk_widget_get_allocated_height(window);
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_t* cr = cairo_create(surface);
    gtk_widget_draw(window, cr);
    cairo_destroy(cr);
    // Written whole under another name first, so a reader never sees half a picture.
    const std::string partial = std::string(target) + ".part";
    if (cairo_surface_write_to_png(surface, partial.c_str()) != CAIRO_STATUS_SUCCESS ||
        std::rename(partial.c_str(), target) != 0)
        std::fprintf(stderr, "%s: cannot write %s\n", g_get_prgname(), target);
    cairo_surface_destroy(surface);
    return G_SOURCE_REMOVE;
}

gboolean onFirstDraw(GtkWidget* window, cairo_t*, gpointer)
{
    g_signal_handlers_disconnect_by_func(window, reinterpret_cast<gpointer>(onFirstDraw), nullptr);
    g_idle_add(writeSnapshot, window);
    return FALSE;
}

} // namespace

int NSApplicationMain(int argc, const char* argv[])
{
    const std::string program = argc > 0 ? fs::path(argv[0]).filename().string() : "application";
    NSApplication::sharedApplication();
    std::string description, error;
    if (!mainDescription(description, error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        std::exit(1);
    }
    if (argc > 1 && std::strcmp(argv[1], "--headless") == 0) {
        std::vector<std::string> buttons(argv + 2, argv + argc);
        std::exit(_NSApplicationRunHeadless(description, buttons, program.c_str()));
    }
    int gtkArgc = argc;
    char** gtkArgv = const_cast<char**>(argv);
    if (!gtk_init_check(&gtkArgc, &gtkArgv)) {
        std::fprintf(stderr, "%s: cannot open the display (--headless runs without one)\n", program.c_str());
        std::exit(1);
    }

    std::vector<InterfaceObject> objects;
    if (!readInterfaceDescription(description, objects, error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        std::exit(1);
    }
    // GtkBuilder builds the windows; the custom objects are the platform loader's.
    std::vector<std::string> windowIds;
    for (const InterfaceObject& o : objects) {
        if (o.className == "GtkWindow" && !o.id.empty())
            windowIds.push_back(o.id);
    }
    std::vector<char*> ids;
    for (std::string& w : windowIds)
        ids.push_back(w.data());
    ids.push_back(nullptr);
    registerCustomObjectType();
    GtkBuilder* builder = gtk_builder_new();
    GError* failure = nullptr;
    if (windowIds.empty() || gtk_builder_add_objects_from_file(builder, description.c_str(), ids.data(), &failure) == 0) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), failure != nullptr ? failure->message : "no window");
        std::exit(1);
    }
    std::unique_ptr<CocoaInterface> ui = CocoaInterface::load(
        description,
        [builder](const InterfaceObject& o) -> NSControl* {
            GObject* widget = o.id.empty() ? nullptr : gtk_builder_get_object(builder, o.id.c_str());
            if (widget == nullptr || !GTK_IS_WIDGET(widget))
                return nullptr;
            if (GTK_IS_BUTTON(widget))
                return new GtkButtonControl(GTK_WIDGET(widget));
            if (GTK_IS_LABEL(widget) || GTK_IS_ENTRY(widget))
                return new GtkTextField(GTK_WIDGET(widget));
            return nullptr;
        },
        error);
    if (!ui) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        std::exit(1);
    }
    std::vector<std::unique_ptr<Clicked>> clicks;
    for (const InterfaceObject& o : objects) {
        GObject* widget = o.id.empty() ? nullptr : gtk_builder_get_object(builder, o.id.c_str());
        if (widget != nullptr && GTK_IS_BUTTON(widget)) {
            clicks.push_back(std::make_unique<Clicked>(Clicked{ui.get(), o.id}));
            g_signal_connect(widget, "clicked", G_CALLBACK(onClicked), clicks.back().get());
        }
    }
    _NSApplicationSetTerminateHandler([](id) { gtk_main_quit(); });
    const bool snapshot = std::getenv(kSnapshotVariable) != nullptr && std::getenv(kSnapshotVariable)[0] != '\0';
    for (const std::string& w : windowIds) {
        GtkWidget* window = GTK_WIDGET(gtk_builder_get_object(builder, w.c_str()));
        // Closing the window quits, as the Cancel button does.
        g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
        if (snapshot && w == windowIds.front())
            g_signal_connect_after(window, "draw", G_CALLBACK(onFirstDraw), nullptr);
        gtk_widget_show_all(window);
    }
    gtk_main();
    std::fflush(nullptr);
    std::exit(0);
}
