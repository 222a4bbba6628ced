// The GTK window behind the toolkit model, under a private X server (see CMakeLists.txt): the
// model shows in the widgets, and what is done to the widgets reaches the window's handlers. The
// screenshot is the control application's test's (ControlAppGtkTest).
#include "platform/src/Carbon/Toolbox.h"
#include "tests/platform/ToolboxRecorder.h"
#include "platform/src/Carbon/gtk/GtkView.h"

#include <Carbon/Carbon.h>
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>
#include <vector>

using namespace tarsel::toolbox;

namespace {

using namespace toolboxtest;

class CarbonGtkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef TARSEL_NO_XVFB
        GTEST_SKIP() << "xvfb-run is missing";
#endif
        if (!gtk::viewInstalled())
            GTEST_SKIP() << "no display for the GTK window";
        setNibFolder(TEST_NIB_FOLDER);
        ASSERT_EQ(CreateNibReference(CFSTR("Test"), &nib), noErr);
        ASSERT_EQ(SetMenuBarFromNib(nib, CFSTR("TestMenu")), noErr);
        ASSERT_EQ(CreateWindowFromNib(nib, CFSTR("Test"), &window), noErr);
        model = reinterpret_cast<Window*>(window);
        ASSERT_TRUE(record(window, received));
    }
    void TearDown() override
    {
        if (window)
            DisposeWindow(window);
        if (nib)
            DisposeNibReference(nib);
    }

    ControlRef get(const char (&signature)[5], SInt32 id)
    {
        const ControlID cid{HIFourCC(signature), id};
        ControlRef control = nullptr;
        EXPECT_EQ(GetControlByID(window, &cid, &control), noErr) << signature << id;
        return control;
    }
    GObject* widget(const char* id)
    {
        GObject* object = gtk::nibObject(*model, id);
        EXPECT_NE(object, nullptr) << id;
        return object;
    }
    std::vector<UInt32> commandIDs() const
    {
        std::vector<UInt32> ids;
        for (const Command& c : received.commands)
            ids.push_back(c.commandID);
        return ids;
    }

    IBNibRef nib = nullptr;
    WindowRef window = nullptr;
    Window* model = nullptr;
    Received received;
};

std::vector<std::string> comboItems(GtkComboBox* combo)
{
    std::vector<std::string> items;
    GtkTreeModel* store = gtk_combo_box_get_model(combo);
    GtkTreeIter it;
    for (gboolean ok = gtk_tree_model_get_iter_first(store, &it); ok;
         ok = gtk_tree_model_iter_next(store, &it)) {
        gchar* text = nullptr;
        gtk_tree_model_get(store, &it, 0, &text, -1);
        items.emplace_back(text ? text : "");
        g_free(text);
    }
    return items;
}

// The foreground colour a label's attributes give its text, or -1 without one.
long long labelColour(GtkLabel* label)
{
    PangoAttrList* list = gtk_label_get_attributes(label);
    if (!list)
        return -1;
    PangoAttrIterator* it = pango_attr_list_get_iterator(list);
    long long colour = -1;
    if (auto* fg = reinterpret_cast<PangoAttrColor*>(pango_attr_iterator_get(it, PANGO_ATTR_FOREGROUND)))
        colour = (static_cast<long long>(fg->color.red) << 32) | (fg->color.green << 16) | fg->color.blue;
    pango_attr_iterator_destroy(it);
    return colour;
}

TEST_F(CarbonGtkTest, ModelChangesShowInTheWidgets)
{
    ShowWindow(window);
    SetWTitle(window, pascal("Tarsel Test").c_str());
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(widget("Test"))), "Tarsel Test");

    // The popup's items come from its menu; value n selects item n - 1, 0 selects none.
    ControlRef popup = get("popb", 202);
    MenuRef menu = GetControlPopupMenuHandle(popup);
    DeleteMenuItems(menu, 1, CountMenuItems(menu));
    for (const char* item : {"44100 Hz", "48000 Hz", "96000 Hz"})
        AppendMenuItemText(menu, pascal(item).c_str());
    SetControlMaximum(popup, 3);
    SetControlValue(popup, 2);
    auto* combo = GTK_COMBO_BOX(widget("popb-202"));
    EXPECT_EQ(comboItems(combo), (std::vector<std::string>{"44100 Hz", "48000 Hz", "96000 Hz"}));
    EXPECT_EQ(gtk_combo_box_get_active(combo), 1);
    SetControlValue(popup, 0);
    EXPECT_EQ(gtk_combo_box_get_active(combo), -1);

    // A static text and its colour; a text that is not UTF-8 still shows.
    ControlRef text = get("stxt", 101);
    const char maker[] = "Tarsel";
    SetControlData(text, 0, kControlStaticTextTextTag, sizeof maker - 1, maker);
    ControlFontStyleRec style{};
    ASSERT_EQ(GetControlData(text, 0, kControlFontStyleTag, sizeof style, &style, nullptr), noErr);
    style.flags |= kControlUseForeColorMask;
    style.foreColor = {0xFF00, 0x2000, 0x0100};
    SetControlFontStyle(text, &style);
    auto* label = GTK_LABEL(widget("stxt-101"));
    EXPECT_STREQ(gtk_label_get_text(label), "Tarsel");
    EXPECT_EQ(labelColour(label), (0xFF00LL << 32) | (0x2000 << 16) | 0x0100);
    const char latin1[] = "Caf\xe9";
    SetControlData(text, 0, kControlStaticTextTextTag, sizeof latin1 - 1, latin1);
    EXPECT_TRUE(g_utf8_validate(gtk_label_get_text(label), -1, nullptr));
    EXPECT_EQ(std::string(gtk_label_get_text(label)).substr(0, 3), "Caf");

    // Hidden, disabled, a slider's range and value, a level, a check mark.
    HideControl(get("push", 302));
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(widget("push-302"))));
    EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(widget("push-301"))));
    DisableControl(get("cbox", 1000));
    EXPECT_FALSE(gtk_widget_get_sensitive(GTK_WIDGET(widget("cbox-1000"))));
    ControlRef slider = get("sldr", 1000);
    SetControlMaximum(slider, 100);
    SetControlValue(slider, 40);
    GtkAdjustment* adjustment = gtk_range_get_adjustment(GTK_RANGE(widget("sldr-1000")));
    EXPECT_EQ(gtk_adjustment_get_upper(adjustment), 100);
    EXPECT_EQ(gtk_adjustment_get_value(adjustment), 40);
    SetControlValue(get("relb", 9001), 73);
    EXPECT_EQ(gtk_level_bar_get_value(GTK_LEVEL_BAR(widget("relb-9001"))), 73);
    SetControlValue(get("cbox", 1000), 1);
    EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(widget("cbox-1000"))));
    CheckMenuItem(reinterpret_cast<MenuRef>(findMenu(model, 128)), 1, true);
    EXPECT_TRUE(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(widget("item-thru"))));

    // Setting the widgets from the model sent nothing back.
    EXPECT_TRUE(received.commands.empty());
}

TEST_F(CarbonGtkTest, UserActionsReachTheHandlers)
{
    ShowWindow(window);
    gtk_button_clicked(GTK_BUTTON(widget("push-301")));
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("popb-202")), 1);
    EXPECT_EQ(GetControlValue(get("popb", 202)), 2);
    gtk_range_set_value(GTK_RANGE(widget("sldr-1000")), 200);
    EXPECT_EQ(GetControlValue(get("sldr", 1000)), 200);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget("cbox-1000")), TRUE);
    EXPECT_EQ(GetControlValue(get("cbox", 1000)), 1);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(widget("tabs-8000")), 1);
    EXPECT_EQ(GetControlValue(get("tabs", 8000)), 2);
    EXPECT_EQ(commandIDs(), (std::vector<UInt32>{HIFourCC("teop"), HIFourCC("dsin"), HIFourCC("ov00"),
                                                 HIFourCC("om00"), HIFourCC("tabc")}));

    // Menu items count without the separator; a check item shows the model's mark, which
    // no handler changed here.
    received.commands.clear();
    gtk_menu_item_activate(GTK_MENU_ITEM(widget("item-thru")));
    gtk_menu_item_activate(GTK_MENU_ITEM(widget("item-levels")));
    ASSERT_EQ(received.commands.size(), 2u);
    EXPECT_EQ(received.commands[0].commandID, HIFourCC("moni"));
    EXPECT_EQ(received.commands[0].menuRef, reinterpret_cast<MenuRef>(findMenu(model, 128)));
    EXPECT_EQ(received.commands[0].menuItemIndex, 1);
    EXPECT_EQ(received.commands[1].commandID, HIFourCC("levl"));
    EXPECT_EQ(received.commands[1].menuItemIndex, 2);
    EXPECT_FALSE(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(widget("item-thru"))));

    // The close box sends the window-closed event and hides the window.
    GdkEvent* event = gdk_event_new(GDK_DELETE);
    event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(widget("Test")))));
    gtk_main_do_event(event);
    gdk_event_free(event);
    EXPECT_EQ(received.closed, 1);
    EXPECT_TRUE(model->closed);
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(widget("Test"))));
}

TEST_F(CarbonGtkTest, PanesThatArePagesKeepTheirTabs)
{
    ShowWindow(window);
    auto* notebook = GTK_NOTEBOOK(widget("tabs-8000"));
    HideControl(get("upan", 8001));
    HideControl(get("upan", 8002));
    EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(widget("upan-8001"))));
    EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(widget("tab-2"))));
    ShowControl(get("upan", 8002));
    EXPECT_EQ(gtk_notebook_get_current_page(notebook), 1);
    SetControlVisibility(get("upan", 8001), true, true);
    EXPECT_EQ(gtk_notebook_get_current_page(notebook), 0);
    // A disabled pane's page is insensitive; the tab value selects a page too.
    DisableControl(get("upan", 8002));
    EXPECT_FALSE(gtk_widget_get_sensitive(GTK_WIDGET(widget("upan-8002"))));
    SetControlValue(get("tabs", 8000), 2);
    EXPECT_EQ(gtk_notebook_get_current_page(notebook), 1);
    EXPECT_TRUE(received.commands.empty());
}

} // namespace
