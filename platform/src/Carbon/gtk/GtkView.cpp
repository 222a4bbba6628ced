// The GTK 3 view of the Carbon toolkit model: the nib's GtkBuilder file loaded once more, each
// model control bound to the widget of the same object id. The model is the truth: a change
// in it is copied to the widget, and what the user does to a widget goes back through the
// driving calls, after which the widget is set from the model again (a handler may refuse or
// change the value). While the view sets a widget, its own signal handlers stand aside, so no
// echo command reaches the application.
#include "platform/src/Carbon/gtk/GtkView.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tarsel::toolbox::gtk {
namespace {

class GtkView;
struct WindowState;

// Texts come from devices and files; GTK wants UTF-8 and warns on anything else.
std::string utf8(const std::string& text)
{
    if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return text;
    gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    std::string out(valid);
    g_free(valid);
    return out;
}

SInt16 toSInt16(double value)
{
    if (!std::isfinite(value))
        return 0;
    return static_cast<SInt16>(std::clamp(std::lround(value), -32768L, 32767L));
}

struct ControlBinding {
    WindowState* state = nullptr;
    Control* control = nullptr;
    GtkWidget* widget = nullptr;
    bool notebookPage = false;       // a user pane that is a page of a GtkNotebook
    bool paneVisible = false;        // the pane visibility last shown
    SInt16 tabValue = 0;             // the tab value last shown
    bool itemsShown = false;         // a popup's items were copied once
    std::vector<std::string> items;  // and were these
    PangoAttrList* nibAttributes = nullptr; // a label's own attributes, kept under the colour
    long long colour = -2;                   // the colour last shown: -1 none, -2 not yet
};

struct MenuItemBinding {
    WindowState* state = nullptr;
    MenuID menu = 0;
    MenuItemIndex index = 0;
    GtkWidget* widget = nullptr;
};

struct WindowState {
    GtkView* view = nullptr;
    Window* window = nullptr;
    GtkBuilder* builder = nullptr;
    GtkWindow* gtkWindow = nullptr;
    // Cleared when the window goes; a signal handler holds a copy across a driving call, since
    // the application may dispose of the window from its command handler.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    std::vector<std::unique_ptr<ControlBinding>> controls;
    std::map<const Control*, ControlBinding*> byControl;
    std::vector<std::unique_ptr<MenuItemBinding>> menuItems;
    bool menuBarPlaced = false;
    std::vector<std::pair<GObject*, gulong>> handlers;
    std::string screenshotPath;
    double screenshotDelay = 1.5;
    gulong firstDrawHandler = 0;
    guint screenshotTimer = 0;
};

class GtkView final : public View {
public:
    ~GtkView() override;

    void windowCreated(Window& window, const std::string& nibPath) override;
    void windowChanged(Window& window) override;
    void controlChanged(Control& control) override;
    void menuChanged(Window& window, Menu& menu) override;
    void windowDisposed(Window& window) override;

    GObject* object(const Window& window, const char* id) const;

    bool updating() const { return m_updating > 0; }

    // Runs a driving call for a widget's signal, then shows the model again.
    template <typename Fn> void userAction(ControlBinding& binding, Fn&& call)
    {
        std::shared_ptr<bool> alive = binding.state->alive;
        call();
        if (*alive)
            show(binding);
    }
    void showMenuItems(WindowState& state);

private:
    class Updating {
    public:
        explicit Updating(GtkView& view) : m_view(view) { ++m_view.m_updating; }
        ~Updating() { --m_view.m_updating; }
        Updating(const Updating&) = delete;
        Updating& operator=(const Updating&) = delete;

    private:
        GtkView& m_view;
    };

    WindowState* stateOf(const Window* window) const;
    void bindControl(WindowState& state, Control& control);
    void bindMenuBar(WindowState& state);
    void show(ControlBinding& binding);
    void showWindow(WindowState& state);
    void dispose(WindowState& state);

    template <typename Handler>
    void connect(WindowState& state, gpointer instance, const char* signal, Handler handler,
                 gpointer data, bool after = false)
    {
        gulong id = after ? g_signal_connect_after(instance, signal, G_CALLBACK(handler), data)
                          : g_signal_connect(instance, signal, G_CALLBACK(handler), data);
        state.handlers.emplace_back(G_OBJECT(instance), id);
    }

    std::map<const Window*, std::unique_ptr<WindowState>> m_windows;
    int m_updating = 0;
};

GtkView* g_view = nullptr;
bool g_installed = false;

// --- signals from the widgets -------------------------------------------------------------

void onClicked(GtkButton*, gpointer data)
{
    auto& b = *static_cast<ControlBinding*>(data);
    if (b.state->view->updating())
        return;
    b.state->view->userAction(b, [&] { userPress(b.control); });
}

void onToggled(GtkToggleButton* button, gpointer data)
{
    auto& b = *static_cast<ControlBinding*>(data);
    if (b.state->view->updating())
        return;
    SInt16 value = gtk_toggle_button_get_active(button) ? 1 : 0;
    b.state->view->userAction(b, [&] { userSetValue(b.control, value); });
}

void onComboChanged(GtkComboBox* combo, gpointer data)
{
    auto& b = *static_cast<ControlBinding*>(data);
    if (b.state->view->updating())
        return;
    int active = gtk_combo_box_get_active(combo);
    if (active < 0 || active >= 32767)
        return;
    b.state->view->userAction(b, [&] { userSetValue(b.control, SInt16(active + 1)); });
}

void onRangeChanged(GtkRange* range, gpointer data)
{
    auto& b = *static_cast<ControlBinding*>(data);
    if (b.state->view->updating())
        return;
    SInt16 value = toSInt16(gtk_range_get_value(range));
    if (value == b.control->value)
        return; // a move within one step
    b.state->view->userAction(b, [&] { userSetValue(b.control, value); });
}

// Connected after the notebook's own handler, so the page has changed when the command runs.
void onSwitchPage(GtkNotebook*, GtkWidget*, guint page, gpointer data)
{
    auto& b = *static_cast<ControlBinding*>(data);
    if (b.state->view->updating() || page >= 32767)
        return;
    SInt16 value = SInt16(page + 1);
    b.tabValue = value;
    b.state->view->userAction(b, [&] { userSetValue(b.control, value); });
}

void onMenuItemActivate(GtkMenuItem*, gpointer data)
{
    auto& m = *static_cast<MenuItemBinding*>(data);
    WindowState& state = *m.state;
    if (state.view->updating())
        return;
    std::shared_ptr<bool> alive = state.alive;
    userChooseMenuItem(state.window, m.menu, m.index);
    if (*alive)
        state.view->showMenuItems(state); // a check item toggled itself; the model decides
}

gboolean onDelete(GtkWidget* widget, GdkEvent*, gpointer data)
{
    auto& state = *static_cast<WindowState*>(data);
    std::shared_ptr<bool> alive = state.alive;
    userCloseWindow(state.window);
    if (*alive)
        gtk_widget_hide(widget); // the close box closes, as the standard handler does
    return TRUE;                 // the window is the model's to dispose of
}

// --- the screenshot -----------------------------------------------------------------------

gboolean takeScreenshot(gpointer data)
{
    auto& state = *static_cast<WindowState*>(data);
    state.screenshotTimer = 0;
    GtkWidget* widget = GTK_WIDGET(state.gtkWindow);
    int width = gtk_widget_get_allocated_width(widget);
    int height = gtk_widget_get_allocated_height(widget);
    if (width <= 0 || height <= 0 || !gtk_widget_get_visible(widget))
        return G_SOURCE_REMOVE;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_t* cr = cairo_create(surface);
    gtk_widget_draw(widget, cr);
    cairo_destroy(cr);
    // Written beside and renamed, so that a reader never sees half a file.
    std::string part = state.screenshotPath + ".part";
    cairo_status_t status = cairo_surface_write_to_png(surface, part.c_str());
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS || std::rename(part.c_str(), state.screenshotPath.c_str()) != 0) {
        std::remove(part.c_str());
        std::fprintf(stderr, "TARSEL_SCREENSHOT: cannot write %s\n", state.screenshotPath.c_str());
    }
    return G_SOURCE_REMOVE;
}

gboolean onFirstDraw(GtkWidget* widget, cairo_t*, gpointer data)
{
    auto& state = *static_cast<WindowState*>(data);
    g_signal_handler_disconnect(widget, state.firstDrawHandler);
    state.firstDrawHandler = 0;
    auto ms = static_cast<guint>(std::lround(state.screenshotDelay * 1000.0));
    state.screenshotTimer = g_timeout_add(ms, takeScreenshot, &state);
    return FALSE;
}

double screenshotDelay()
{
    const char* text = std::getenv("TARSEL_SCREENSHOT_DELAY");
    if (!text || !*text)
        return 1.5;
    char* end = nullptr;
    double seconds = std::strtod(text, &end);
    if (*end != '\0' || !std::isfinite(seconds) || seconds < 0.0 || seconds > 3600.0)
        return 1.5;
    return seconds;
}

// --- the view -----------------------------------------------------------------------------

GtkView::~GtkView()
{
    while (!m_windows.empty())
        dispose(*m_windows.begin()->second);
    if (g_view == this)
        g_view = nullptr;
}

WindowState* GtkView::stateOf(const Window* window) const
{
    auto it = m_windows.find(window);
    return it == m_windows.end() ? nullptr : it->second.get();
}

GObject* GtkView::object(const Window& window, const char* id) const
{
    WindowState* state = stateOf(&window);
    return state && id ? gtk_builder_get_object(state->builder, id) : nullptr;
}

void GtkView::windowCreated(Window& window, const std::string& nibPath)
{
    if (stateOf(&window))
        return;
    GtkBuilder* builder = gtk_builder_new();
    GError* error = nullptr;
    if (!gtk_builder_add_from_file(builder, nibPath.c_str(), &error)) {
        std::fprintf(stderr, "GTK window: %s\n", error->message);
        g_error_free(error);
        g_object_unref(builder);
        return;
    }
    GObject* top = gtk_builder_get_object(builder, window.name.c_str());
    auto state = std::make_unique<WindowState>();
    state->view = this;
    state->window = &window;
    state->builder = builder;
    WindowState& s = *state;
    m_windows.emplace(&window, std::move(state));
    if (!GTK_IS_WINDOW(top)) {
        std::fprintf(stderr, "GTK window: no GtkWindow \"%s\" in %s\n", window.name.c_str(),
                     nibPath.c_str());
        dispose(s);
        return;
    }
    s.gtkWindow = GTK_WINDOW(top);
    Updating updating(*this);
    // The model says when the window shows; the file's own "visible" does not.
    gtk_widget_hide(GTK_WIDGET(s.gtkWindow));
    if (GtkWidget* child = gtk_bin_get_child(GTK_BIN(s.gtkWindow)))
        gtk_widget_show_all(child);
    connect(s, s.gtkWindow, "delete-event", onDelete, &s);
    for (auto& control : window.controls)
        bindControl(s, *control);
    showWindow(s);
}

void GtkView::bindControl(WindowState& state, Control& control)
{
    GObject* object = gtk_builder_get_object(state.builder, control.name.c_str());
    if (!GTK_IS_WIDGET(object))
        return;
    auto binding = std::make_unique<ControlBinding>();
    ControlBinding& b = *binding;
    b.state = &state;
    b.control = &control;
    b.widget = GTK_WIDGET(object);
    b.paneVisible = control.visible;
    switch (control.kind) {
    case ControlKind::PopupButton:
        if (!GTK_IS_COMBO_BOX_TEXT(object))
            return;
        connect(state, object, "changed", onComboChanged, &b);
        break;
    case ControlKind::PushButton:
        if (!GTK_IS_BUTTON(object))
            return;
        connect(state, object, "clicked", onClicked, &b);
        break;
    case ControlKind::CheckBox:
        if (!GTK_IS_TOGGLE_BUTTON(object))
            return;
        connect(state, object, "toggled", onToggled, &b);
        break;
    case ControlKind::Slider:
        if (!GTK_IS_RANGE(object))
            return;
        // Control values are whole numbers.
        if (GTK_IS_SCALE(object))
            gtk_scale_set_digits(GTK_SCALE(object), 0);
        gtk_range_set_round_digits(GTK_RANGE(object), 0);
        connect(state, object, "value-changed", onRangeChanged, &b);
        break;
    case ControlKind::Tabs:
        if (!GTK_IS_NOTEBOOK(object))
            return;
        b.tabValue = SInt16(gtk_notebook_get_current_page(GTK_NOTEBOOK(object)) + 1);
        connect(state, object, "switch-page", onSwitchPage, &b, true);
        break;
    case ControlKind::StaticText:
        if (!GTK_IS_LABEL(object))
            return;
        if (PangoAttrList* own = gtk_label_get_attributes(GTK_LABEL(object)))
            b.nibAttributes = pango_attr_list_copy(own);
        break;
    case ControlKind::UserPane:
        b.notebookPage = GTK_IS_NOTEBOOK(gtk_widget_get_parent(b.widget));
        break;
    case ControlKind::LevelIndicator:
        if (!GTK_IS_LEVEL_BAR(object))
            return;
        break;
    }
    state.byControl[&control] = &b;
    state.controls.push_back(std::move(binding));
    show(b);
}

void GtkView::show(ControlBinding& b)
{
    Updating updating(*this);
    const Control& c = *b.control;
    GtkWidget* w = b.widget;
    gtk_widget_set_sensitive(w, c.enabled);
    if (b.notebookPage) {
        if (c.visible && !b.paneVisible) {
            GtkNotebook* notebook = GTK_NOTEBOOK(gtk_widget_get_parent(w));
            int page = gtk_notebook_page_num(notebook, w);
            if (page >= 0)
                gtk_notebook_set_current_page(notebook, page);
        }
        b.paneVisible = c.visible;
    } else {
        gtk_widget_set_visible(w, c.visible);
    }

    switch (c.kind) {
    case ControlKind::PopupButton: {
        std::vector<std::string> items;
        if (c.popup)
            for (const MenuItem& item : c.popup->items)
                items.push_back(utf8(item.text));
        auto* combo = GTK_COMBO_BOX_TEXT(w);
        if (!b.itemsShown || items != b.items) {
            gtk_combo_box_text_remove_all(combo);
            for (const std::string& item : items)
                gtk_combo_box_text_append_text(combo, item.c_str());
            b.items = std::move(items);
            b.itemsShown = true;
        }
        int active = c.value >= 1 && std::size_t(c.value) <= b.items.size() ? c.value - 1 : -1;
        if (gtk_combo_box_get_active(GTK_COMBO_BOX(combo)) != active)
            gtk_combo_box_set_active(GTK_COMBO_BOX(combo), active);
        break;
    }
    case ControlKind::StaticText: {
        auto* label = GTK_LABEL(w);
        std::string text = utf8(c.text);
        if (text != gtk_label_get_text(label))
            gtk_label_set_text(label, text.c_str());
        // The application sets its texts on every tick: the layout is redone only on a change.
        const RGBColor& rgb = c.fontStyle.foreColor;
        long long colour = c.hasFontStyle && (c.fontStyle.flags & kControlUseForeColorMask)
                               ? (static_cast<long long>(rgb.red) << 32) | (rgb.green << 16) | rgb.blue
                               : -1;
        if (colour != b.colour) {
            PangoAttrList* attributes =
                b.nibAttributes ? pango_attr_list_copy(b.nibAttributes) : pango_attr_list_new();
            if (colour >= 0)
                pango_attr_list_insert(attributes,
                                       pango_attr_foreground_new(rgb.red, rgb.green, rgb.blue));
            gtk_label_set_attributes(label, attributes);
            pango_attr_list_unref(attributes);
            b.colour = colour;
        }
        break;
    }
    case ControlKind::PushButton: {
        // Only a button that shows a plain label takes the model's title.
        const gchar* title = gtk_button_get_label(GTK_BUTTON(w));
        std::string text = utf8(c.text);
        if (title && !text.empty() && text != title)
            gtk_button_set_label(GTK_BUTTON(w), text.c_str());
        break;
    }
    case ControlKind::CheckBox:
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w), c.value != 0);
        break;
    case ControlKind::Slider: {
        double low = std::min(c.minimum, c.maximum);
        double high = std::max(c.minimum, c.maximum);
        gtk_range_set_range(GTK_RANGE(w), low, high);
        gtk_range_set_value(GTK_RANGE(w), c.value);
        break;
    }
    case ControlKind::LevelIndicator: {
        // A level bar takes no negative bounds and needs a range to divide by.
        double low = std::max<double>(0, c.minimum);
        double high = std::max<double>(low + 1, c.maximum);
        auto* bar = GTK_LEVEL_BAR(w);
        gtk_level_bar_set_min_value(bar, 0);
        gtk_level_bar_set_max_value(bar, high);
        gtk_level_bar_set_min_value(bar, low);
        gtk_level_bar_set_value(bar, std::clamp<double>(c.value, low, high));
        break;
    }
    case ControlKind::Tabs: {
        if (c.value != b.tabValue) {
            auto* notebook = GTK_NOTEBOOK(w);
            if (c.value >= 1 && c.value <= gtk_notebook_get_n_pages(notebook))
                gtk_notebook_set_current_page(notebook, c.value - 1);
            b.tabValue = c.value;
        }
        break;
    }
    case ControlKind::UserPane:
        break;
    }
}

// The items of a menu in the order the model counts them, from 1: separators are not items.
std::vector<GtkWidget*> menuItemWidgets(GtkMenuShell* menu)
{
    std::vector<GtkWidget*> items;
    GList* children = gtk_container_get_children(GTK_CONTAINER(menu));
    for (GList* l = children; l; l = l->next)
        if (GTK_IS_MENU_ITEM(l->data) && !GTK_IS_SEPARATOR_MENU_ITEM(l->data))
            items.push_back(GTK_WIDGET(l->data));
    g_list_free(children);
    return items;
}

// The menus under a menu bar in the order of the file, as the model lists them: each menu,
// then the menus that hang from its items.
void collectMenus(GtkMenuShell* shell, std::vector<GtkMenu*>& menus, int depth = 0)
{
    if (depth > 16)
        return;
    for (GtkWidget* item : menuItemWidgets(shell)) {
        GtkWidget* submenu = gtk_menu_item_get_submenu(GTK_MENU_ITEM(item));
        if (GTK_IS_MENU(submenu)) {
            menus.push_back(GTK_MENU(submenu));
            collectMenus(GTK_MENU_SHELL(submenu), menus, depth + 1);
        }
    }
}

// A menu's ID as the model reads it from its object id, "menu-<number>"; 0 without one.
MenuID menuIDOf(GtkMenu* menu)
{
    const char* name = gtk_buildable_get_name(GTK_BUILDABLE(menu));
    if (!name || !g_str_has_prefix(name, "menu-"))
        return 0;
    long id = std::strtol(name + 5, nullptr, 10);
    return MenuID(std::clamp(id, -32768L, 32767L));
}

// The GtkMenuBar whose menus are the model's, or else the only one in the file.
GtkMenuBar* findMenuBar(GtkBuilder* builder, const std::vector<std::unique_ptr<Menu>>& model)
{
    GtkMenuBar* only = nullptr;
    int bars = 0;
    GtkMenuBar* matching = nullptr;
    GSList* objects = gtk_builder_get_objects(builder);
    for (GSList* l = objects; l && !matching; l = l->next) {
        if (!GTK_IS_MENU_BAR(l->data))
            continue;
        only = GTK_MENU_BAR(l->data);
        ++bars;
        std::vector<GtkMenu*> menus;
        collectMenus(GTK_MENU_SHELL(l->data), menus);
        bool same = menus.size() == model.size();
        for (std::size_t i = 0; same && i < menus.size(); ++i)
            same = menuIDOf(menus[i]) == model[i]->id;
        if (same)
            matching = GTK_MENU_BAR(l->data);
    }
    g_slist_free(objects);
    return matching ? matching : bars == 1 ? only : nullptr;
}

void GtkView::bindMenuBar(WindowState& state)
{
    const Window& window = *state.window;
    if (state.menuBarPlaced || window.menuBar.empty())
        return;
    state.menuBarPlaced = true;
    GtkMenuBar* bar = findMenuBar(state.builder, window.menuBar);
    if (!bar)
        return;

    GtkWidget* widget = GTK_WIDGET(bar);
    if (!gtk_widget_get_parent(widget)) {
        GObject* slot = gtk_builder_get_object(state.builder, "menubar-slot");
        GtkWidget* child = gtk_bin_get_child(GTK_BIN(state.gtkWindow));
        if (GTK_IS_BOX(slot)) {
            gtk_box_pack_start(GTK_BOX(slot), widget, FALSE, FALSE, 0);
        } else if (GTK_IS_BOX(child) && gtk_orientable_get_orientation(GTK_ORIENTABLE(child)) ==
                                            GTK_ORIENTATION_VERTICAL) {
            gtk_box_pack_start(GTK_BOX(child), widget, FALSE, FALSE, 0);
            gtk_box_reorder_child(GTK_BOX(child), widget, 0);
        } else {
            GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
            gtk_box_pack_start(GTK_BOX(box), widget, FALSE, FALSE, 0);
            if (child) {
                g_object_ref(child);
                gtk_container_remove(GTK_CONTAINER(state.gtkWindow), child);
                gtk_box_pack_start(GTK_BOX(box), child, TRUE, TRUE, 0);
                g_object_unref(child);
            }
            gtk_container_add(GTK_CONTAINER(state.gtkWindow), box);
            gtk_widget_show(box);
        }
        gtk_widget_show_all(widget);
    }

    // The menus pair up in order when the bar holds as many as the model; else by their IDs.
    std::vector<GtkMenu*> menus;
    collectMenus(GTK_MENU_SHELL(bar), menus);
    for (std::size_t m = 0; m < window.menuBar.size(); ++m) {
        const Menu& menu = *window.menuBar[m];
        GtkMenu* gtkMenu = nullptr;
        if (menus.size() == window.menuBar.size())
            gtkMenu = menus[m];
        else
            for (GtkMenu* candidate : menus)
                if (menuIDOf(candidate) == menu.id && menu.id != 0)
                    gtkMenu = candidate;
        if (!gtkMenu)
            continue;
        std::vector<GtkWidget*> items = menuItemWidgets(GTK_MENU_SHELL(gtkMenu));
        for (std::size_t i = 0; i < items.size() && i < menu.items.size(); ++i) {
            if (gtk_menu_item_get_submenu(GTK_MENU_ITEM(items[i])))
                continue;
            auto binding = std::make_unique<MenuItemBinding>();
            binding->state = &state;
            binding->menu = menu.id;
            binding->index = MenuItemIndex(i + 1);
            binding->widget = items[i];
            connect(state, items[i], "activate", onMenuItemActivate, binding.get());
            state.menuItems.push_back(std::move(binding));
        }
    }
}

void GtkView::showMenuItems(WindowState& state)
{
    Updating updating(*this);
    for (const auto& binding : state.menuItems) {
        Menu* menu = findMenu(state.window, binding->menu);
        if (!menu || binding->index > menu->items.size())
            continue;
        const MenuItem& item = menu->items[binding->index - 1];
        if (GTK_IS_CHECK_MENU_ITEM(binding->widget))
            gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(binding->widget), item.checked);
        std::string text = utf8(item.text);
        const gchar* label = gtk_menu_item_get_label(GTK_MENU_ITEM(binding->widget));
        if (label && !text.empty() && text != label)
            gtk_menu_item_set_label(GTK_MENU_ITEM(binding->widget), text.c_str());
    }
}

void GtkView::showWindow(WindowState& state)
{
    Updating updating(*this);
    const Window& window = *state.window;
    bindMenuBar(state);
    showMenuItems(state);
    if (!window.title.empty())
        gtk_window_set_title(state.gtkWindow, utf8(window.title).c_str());
    GtkWidget* widget = GTK_WIDGET(state.gtkWindow);
    bool show = window.shown && !window.closed;
    if (show && !gtk_widget_get_visible(widget)) {
        const char* path = std::getenv("TARSEL_SCREENSHOT");
        if (path && *path && state.screenshotPath.empty()) {
            state.screenshotPath = path;
            state.screenshotDelay = screenshotDelay();
            state.firstDrawHandler = g_signal_connect_after(widget, "draw",
                                                            G_CALLBACK(onFirstDraw), &state);
        }
        gtk_widget_show(widget);
    } else if (!show && gtk_widget_get_visible(widget)) {
        gtk_widget_hide(widget);
    }
    gtk_widget_queue_draw(widget);
}

void GtkView::windowChanged(Window& window)
{
    if (WindowState* state = stateOf(&window); state && state->gtkWindow)
        showWindow(*state);
}

void GtkView::controlChanged(Control& control)
{
    WindowState* state = stateOf(control.window);
    if (!state)
        return;
    auto it = state->byControl.find(&control);
    if (it != state->byControl.end())
        show(*it->second);
}

void GtkView::menuChanged(Window& window, Menu& menu)
{
    WindowState* state = stateOf(&window);
    if (!state || !state->gtkWindow)
        return;
    for (auto& binding : state->controls)
        if (binding->control->popup.get() == &menu) {
            show(*binding);
            return;
        }
    showMenuItems(*state);
}

void GtkView::windowDisposed(Window& window)
{
    if (WindowState* state = stateOf(&window))
        dispose(*state);
}

void GtkView::dispose(WindowState& state)
{
    *state.alive = false;
    for (auto& [instance, id] : state.handlers)
        g_signal_handler_disconnect(instance, id);
    if (state.firstDrawHandler)
        g_signal_handler_disconnect(state.gtkWindow, state.firstDrawHandler);
    if (state.screenshotTimer)
        g_source_remove(state.screenshotTimer);
    for (auto& binding : state.controls)
        if (binding->nibAttributes)
            pango_attr_list_unref(binding->nibAttributes);
    // Every window the file made goes (a menu bar placed in one goes with it).
    GSList* objects = gtk_builder_get_objects(state.builder);
    for (GSList* l = objects; l; l = l->next)
        if (GTK_IS_WINDOW(l->data))
            gtk_widget_destroy(GTK_WIDGET(l->data));
    g_slist_free(objects);
    g_object_unref(state.builder);
    m_windows.erase(state.window);
}

// Installed before main, as a program that links this library expects.
const bool g_install = [] {
    const char* headless = std::getenv("TARSEL_HEADLESS");
    if (headless && *headless)
        return false;
    // The program's number formatting stays in the C locale.
    gtk_disable_setlocale();
    if (!gtk_init_check(nullptr, nullptr))
        return false;
    auto view = std::make_unique<GtkView>();
    g_view = view.get();
    setView(std::move(view));
    g_installed = true;
    return true;
}();

} // namespace

bool viewInstalled()
{
    return g_installed && g_view;
}

GObject* nibObject(const Window& window, const char* id)
{
    return g_view ? g_view->object(window, id) : nullptr;
}

} // namespace tarsel::toolbox::gtk
