#include "platform/src/Carbon/Toolbox.h"
#include "tests/platform/ToolboxRecorder.h"

#include <Carbon/Carbon.h>
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace tarsel::toolbox;

namespace {

using namespace toolboxtest;

class ToolboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setNibFolder(TOOLBOX_NIB_FOLDER);
        ASSERT_EQ(CreateNibReference(CFSTR("Toolbox"), &nib), noErr);
        ASSERT_EQ(SetMenuBarFromNib(nib, CFSTR("MainMenu")), noErr);
        ASSERT_EQ(CreateWindowFromNib(nib, CFSTR("Main"), &window), noErr);
        model = currentWindow();
        ASSERT_EQ(reinterpret_cast<Window*>(window), model);
        ASSERT_TRUE(record(window, received));
    }
    void TearDown() override
    {
        DisposeWindow(window);
        DisposeNibReference(nib);
    }
    ControlRef get(const char (&signature)[5], SInt32 id)
    {
        const ControlID cid{HIFourCC(signature), id};
        ControlRef ref = nullptr;
        GetControlByID(window, &cid, &ref);
        return ref;
    }

    IBNibRef nib = nullptr;
    WindowRef window = nullptr;
    Window* model = nullptr;
    Received received;
};

TEST_F(ToolboxTest, NibGivesTheControlsMenusAndCommandsItNames)
{
    EXPECT_EQ(model->title, "Model");
    struct Expect {
        char signature[5];
        SInt32 id;
        ControlKind kind;
        SInt16 value, maximum;
        bool enabled;
        UInt32 command;
        SInt32 pane; // 0: none
    };
    const Expect table[] = {
        {"popb", 202, ControlKind::PopupButton, 2, 2, true, HIFourCC("dsin"), 0},
        {"tabs", 8000, ControlKind::Tabs, 1, 2, true, HIFourCC("tabc"), 0},
        {"upan", 8001, ControlKind::UserPane, 0, 0, true, 0, 0},
        {"sldr", 1000, ControlKind::Slider, 200, 255, true, HIFourCC("ov00"), 8001},
        {"cbox", 1000, ControlKind::CheckBox, 0, 1, false, HIFourCC("om00"), 8001},
        {"stxt", 1000, ControlKind::StaticText, 0, 0, true, 0, 8002},
        {"relb", 9001, ControlKind::LevelIndicator, 0, 100, true, 0, 8002},
        {"push", 999, ControlKind::PushButton, 0, 1, true, 51, 0},
    };
    for (const auto& e : table) {
        SCOPED_TRACE(std::string(e.signature) + "-" + std::to_string(e.id));
        Control* c = reinterpret_cast<Control*>(get(e.signature, e.id));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->kind, e.kind);
        EXPECT_EQ(c->value, e.value);
        EXPECT_EQ(c->maximum, e.maximum);
        EXPECT_EQ(c->enabled, e.enabled);
        EXPECT_EQ(c->command, e.command);
        EXPECT_EQ(c->pane ? c->pane->id.id : 0, e.pane);
    }
    EXPECT_EQ(reinterpret_cast<Control*>(get("stxt", 1000))->text, "1.00");
    EXPECT_EQ(get("stxt", 1001), nullptr); // the same number under another signature only
    ControlID missing{HIFourCC("push"), 302};
    ControlRef ref = reinterpret_cast<ControlRef>(1);
    EXPECT_EQ(GetControlByID(window, &missing, &ref), errUnknownControl);
    EXPECT_EQ(ref, nullptr);

    Menu* tests = findMenu(model, 128);
    ASSERT_NE(tests, nullptr);
    EXPECT_EQ(tests->title, "Tests");
    ASSERT_EQ(tests->items.size(), 2u); // the separator is no item
    EXPECT_EQ(tests->items[0].command, HIFourCC("moni"));
    EXPECT_EQ(tests->items[1].text, "Quit");
}

TEST_F(ToolboxTest, ValuesStayInRangeAndHiddenPanesHideTheirControls)
{
    ControlRef slider = get("sldr", 1000);
    SetControlValue(slider, 300);
    EXPECT_EQ(GetControlValue(slider), 255);
    SetControlValue(slider, -4);
    EXPECT_EQ(GetControlValue(slider), 0);
    SetControlValue(slider, 100);
    SetControlMaximum(slider, 50);
    EXPECT_EQ(GetControlValue(slider), 50);
    ControlRef popup = get("popb", 202);
    SetControlValue(popup, -1); // no item selected
    EXPECT_EQ(GetControlValue(popup), 0);

    HideControl(get("upan", 8002));
    EXPECT_FALSE(IsControlVisible(get("stxt", 1000))); // its pane is hidden
    ShowControl(get("upan", 8002));
    EXPECT_TRUE(IsControlVisible(get("stxt", 1000)));
    EXPECT_EQ(DisableControl(slider), noErr);
    EXPECT_FALSE(IsControlEnabled(slider));
    EXPECT_EQ(GetControlPopupMenuHandle(slider), nullptr);
}

TEST_F(ToolboxTest, PopupItemsTextAndFontStyle)
{
    MenuRef menu = GetControlPopupMenuHandle(get("popb", 202));
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(DeleteMenuItems(menu, 1, 1000), noErr); // more than there are
    EXPECT_EQ(CountMenuItems(menu), 0);
    for (const char* label : {"2Ch-44100-24Bit", "Unavailable"})
        EXPECT_EQ(AppendMenuItemText(menu, pascal(label).data()), noErr);
    DeleteMenuItems(menu, 1, 1);
    ASSERT_EQ(CountMenuItems(menu), 1);
    EXPECT_EQ(reinterpret_cast<Menu*>(menu)->items[0].text, "Unavailable");

    ControlRef text = get("stxt", 1000);
    const std::string line(300, 'x');
    EXPECT_EQ(SetControlData(text, 0, kControlStaticTextTextTag, 255, line.data()), noErr);
    char buffer[8];
    Size actual = 0;
    EXPECT_EQ(GetControlData(text, 0, kControlStaticTextTextTag, sizeof buffer, buffer, &actual), noErr);
    EXPECT_EQ(actual, 255);

    ControlFontStyleRec style{};
    EXPECT_EQ(GetControlData(text, 0, kControlFontStyleTag, sizeof style, &style, &actual), noErr);
    EXPECT_EQ(style.flags, 0);
    style.flags |= kControlUseForeColorMask;
    style.foreColor = RGBColor{255 * 256, 0, 0};
    EXPECT_EQ(SetControlFontStyle(text, &style), noErr);
    ControlFontStyleRec back{};
    GetControlData(text, 0, kControlFontStyleTag, sizeof back, &back, nullptr);
    EXPECT_EQ(back.foreColor.red, 255 * 256);
    EXPECT_TRUE(reinterpret_cast<Control*>(text)->hasFontStyle);
}

// Which command a user action sends, from a control or a menu, reaches the control
// application's handlers in its own tests (ControlAppTest); here what no handler takes.
TEST_F(ToolboxTest, WhatTheHandlerLeavesGoesToTheStandardHandler)
{
    // Quit ends the loop. Unknown commands, an event without its parameter and the close box are
    // the control application's tests' (CommandsTabsAndTheCPULoadSetting,
    // ClosingTheWindowEndsTheEventLoop).
    received.answer = eventNotHandledErr;
    callLater(5.0, [] { ADD_FAILURE() << "quit did not end the loop"; QuitApplicationEventLoop(); });
    callLater(0.0, [&] { userChooseMenuItem(model, 128, 2); });
    RunApplicationEventLoop();

    bool ranAfter = false; // a quit ends only the loop it came in
    callLater(0.0, [&] { ranAfter = true; });
    runEventLoopFor(0.05);
    EXPECT_TRUE(ranAfter);
}

TEST_F(ToolboxTest, TimersFireOnTheEventLoopUntilRemoved)
{
    struct Count {
        int fired = 0;
        EventLoopTimerRef timer = nullptr;
    } count;
    auto tick = [](EventLoopTimerRef timer, void* data) {
        auto* c = static_cast<Count*>(data);
        EXPECT_EQ(timer, c->timer);
        if (++c->fired == 3)
            QuitApplicationEventLoop();
    };
    ASSERT_EQ(InstallEventLoopTimer(GetMainEventLoop(), 0.01, 0.01, NewEventLoopTimerUPP(tick), &count, &count.timer),
              noErr);
    callLater(5.0, [] { QuitApplicationEventLoop(); });
    RunApplicationEventLoop();
    EXPECT_EQ(count.fired, 3);
    EXPECT_EQ(RemoveEventLoopTimer(count.timer), noErr);
    runEventLoopFor(0.05);
    EXPECT_EQ(count.fired, 3);
}

} // namespace
