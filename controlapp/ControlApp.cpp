// The shell of the control window: start-up and shut-down, the command dispatcher, the timers,
// the device list and the switch between devices, the device callbacks and the accessors.
#include "controlapp/ControlApp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "controlapp/PageFunctions.h"
#include "device/OSXDeviceManager.h"
#include "device/ZmOSXDevice.h"

namespace {

constexpr uint32_t kSigDeviceList = HIFourCC("pgrp");
constexpr uint32_t kSigStaticText = HIFourCC("stxt");
constexpr uint32_t kSigPopup = HIFourCC("popb");
constexpr uint32_t kSigPush = HIFourCC("push");
constexpr uint32_t kSigSlider = HIFourCC("sldr");
constexpr uint32_t kSigTabs = HIFourCC("tabs");
constexpr uint32_t kSigPane = HIFourCC("upan");

// The channel commands "om00".."om08" and the like: the channel number, or -1.
int32_t channelOf(uint32_t command, const char (&prefix)[3])
{
    const uint32_t head = (uint32_t(uint8_t(prefix[0])) << 24) | (uint32_t(uint8_t(prefix[1])) << 16);
    if ((command & 0xFFFF0000u) != head)
        return -1;
    const char tens = char((command >> 8) & 0xFF), ones = char(command & 0xFF);
    if (tens != '0' || ones < '0' || ones > '8')
        return -1;
    return ones - '0';
}

// "thr0".."thr8": the channel number, or -1.
int32_t thruChannelOf(uint32_t command)
{
    if ((command & 0xFFFFFF00u) != (HIFourCC("thr0") & 0xFFFFFF00u))
        return -1;
    const char ones = char(command & 0xFF);
    return ones >= '0' && ones <= '8' ? ones - '0' : -1;
}

} // namespace

ControlApp::ControlApp() = default;

ControlApp::~ControlApp()
{
    testClose();
    if (ZmOSXDevice* device = currentDevice.exchange(nullptr)) {
        device->closeDevice(false);
        device->decReferences();
    }
    deviceManager.reset();
    toneSamples.reset();
    // The program's timers end with its event loop; an object that goes while the loop lives
    // on (the tests) takes its timers and handlers with it.
    removeTimer(driverUpdateTimer);
    removeTimer(redrawTimer);
    removeTimer(levelTimer);
    if (commandHandler != nullptr)
        RemoveEventHandler(commandHandler);
    if (closedHandler != nullptr)
        RemoveEventHandler(closedHandler);
    if (mainWindow != nullptr)
        DisposeWindow(mainWindow);
    if (nibRef != nullptr)
        DisposeNibReference(nibRef);
}

// ---------------------------------------------------------------------------------------------
// Start-up

void ControlApp::main()
{
    if (start())
        RunApplicationEventLoop();
}

bool ControlApp::start()
{
    if (CreateNibReference(CFSTR("ControlApp"), &nibRef) != noErr || nibRef == nullptr)
        return false;
    if (SetMenuBarFromNib(nibRef, CFSTR("ControlAppMenu")) != noErr)
        return false;
    if (CreateWindowFromNib(nibRef, CFSTR("ControlApp"), &mainWindow) != noErr || mainWindow == nullptr)
        return false;
    SetupAppWindowHandlers();

    if (ControlRef tabs = control(kSigTabs, 8000)) {
        const int32_t last = GetControlMaximum(tabs);
        for (int32_t n = 0; n <= last; ++n) {
            if (ControlRef pane = control(kSigPane, 8000 + n)) {
                DisableControl(pane);
                SetControlVisibility(pane, false, false);
            }
        }
    }

    ShowWindow(mainWindow);
    static const unsigned char title[] = "\x0eTarsel Control";
    SetWTitle(mainWindow, title);

    levelCaptureOn = false;
    deviceManager = std::make_unique<OSXDeviceManager>(nullptr, *this);
    redrawNeeded = false;
    selectDriver(0);

    InstallEventLoopTimer(GetMainEventLoop(), 1.0, 0.25, NewEventLoopTimerUPP(windowRedrawTimerProc), this,
                          &redrawTimer);

    currentTab = 0;
    if (ControlRef slider = control(kSigSlider, 310))
        HideControl(slider);
    if (ControlRef label = control(kSigStaticText, 311))
        HideControl(label);
    onSelectTab(1);
    return true;
}

void ControlApp::SetupAppWindowHandlers()
{
    const EventTypeSpec command{kEventClassCommand, kEventCommandProcess};
    InstallEventHandler(GetWindowEventTarget(mainWindow), NewEventHandlerUPP(mainWindowControlEventHandler), 1,
                        &command, this, &commandHandler);
    const EventTypeSpec closed{kEventClassWindow, kEventWindowClosed};
    InstallEventHandler(GetWindowEventTarget(mainWindow), NewEventHandlerUPP(mainWindowClosedHandler), 1, &closed,
                        nullptr, &closedHandler);
}

OSStatus ControlApp::mainWindowControlEventHandler(EventHandlerCallRef callRef, EventRef event, void* userData)
{
    if (userData == nullptr)
        return 0;
    return SInt16(static_cast<ControlApp*>(userData)->onMainEvent(callRef, event));
}

OSStatus ControlApp::mainWindowClosedHandler(EventHandlerCallRef, EventRef, void*)
{
    QuitApplicationEventLoop();
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Commands

OSStatus ControlApp::onMainEvent(EventHandlerCallRef, EventRef event)
{
    HICommand command{};
    if (GetEventParameter(event, kEventParamDirectObject, typeHICommand, nullptr, sizeof command, nullptr,
                          &command)
        != noErr) {
        std::printf("GetEventParameter error\n");
        std::fflush(stdout);
        return eventNotHandledErr;
    }
    const uint32_t id = command.commandID;
    ControlRef ignored = nullptr;
    int32_t channel;
    switch (id) {
    case HIFourCC("pdev"):
        testClose();
        selectDriver(GetControlAndValue(ignored, kSigDeviceList, 100) - 1);
        return noErr;
    case HIFourCC("tabc"):
        onSelectTab(GetControlAndValue(ignored, kSigTabs, 8000));
        return noErr;
    case HIFourCC("dsin"):
        onSelectInput();
        return noErr;
    case HIFourCC("dsou"):
        onSelectOutput();
        return noErr;
    case HIFourCC("dsis"):
        onDataSourceChosen(true);
        return noErr;
    case HIFourCC("dsos"):
        onDataSourceChosen(false);
        return noErr;
    case HIFourCC("tefs"):
        onFrameSizeChosen();
        return noErr;
    case HIFourCC("teop"):
        testOpen();
        return noErr;
    case HIFourCC("tecl"):
        testClose();
        return noErr;
    case HIFourCC("tela"):
        testLatency();
        return noErr;
    case HIFourCC("teto"):
        testTone();
        return noErr;
    case HIFourCC("sllo"):
        testCPULoad(nullptr);
        return noErr;
    case HIFourCC("levl"):
        switchLevelMeters();
        return noErr;
    case HIFourCC("moni"):
        switchThru(command);
        return noErr;
    case 51:
        levelCaptureOn = true;
        return noErr;
    case HIFourCC("swin"):
        return eventNotHandledErr;
    default:
        break;
    }
    if ((channel = channelOf(id, "om")) >= 0) {
        onMuteChannel(false, channel);
        return noErr;
    }
    if ((channel = channelOf(id, "im")) >= 0) {
        onMuteChannel(true, channel);
        return noErr;
    }
    if ((channel = channelOf(id, "ov")) >= 0) {
        onVolumeChannel(false, channel);
        return noErr;
    }
    if ((channel = channelOf(id, "iv")) >= 0) {
        onVolumeChannel(true, channel);
        return noErr;
    }
    if ((channel = thruChannelOf(id)) >= 0) {
        onThruChannel(channel);
        return noErr;
    }
    return eventNotHandledErr;
}

// ---------------------------------------------------------------------------------------------
// Timers

void ControlApp::windowRedrawTimerProc(EventLoopTimerRef, void* userData)
{
    if (userData != nullptr)
        static_cast<ControlApp*>(userData)->onWindowRedrawTimer();
}

void ControlApp::driverUpdateProc(EventLoopTimerRef, void* userData)
{
    if (userData != nullptr)
        static_cast<ControlApp*>(userData)->onDriverUpdateTimer();
}

void ControlApp::LevelUpdateProc(EventLoopTimerRef, void* userData)
{
    if (userData != nullptr)
        static_cast<ControlApp*>(userData)->onLevelTimer();
}

void ControlApp::onDriverUpdateTimer()
{
    if (current() != nullptr)
        fillClientList();
}

void ControlApp::onWindowRedrawTimer()
{
    if (deviceListChanged.exchange(false))
        doBuildDeviceList();

    // The IOProc's clear is its last touch of the buffer (or the stream was stopped). A stream
    // closed meanwhile keeps the buttons its close left: a tone or a latency test on a closed
    // stream would never end.
    if (!tonePlaying.load(std::memory_order_acquire) && toneSamples) {
        toneSamples.reset();
        if (streamOpen) {
            enableButton(302, true);
            enableButton(303, true);
            enableButton(304, true);
        }
        redrawNeeded = true;
    }

    if (latencyDone.load(std::memory_order_acquire)) {
        showLatencyResult();
        redrawNeeded = true;
    }

    // Taken at once, so a callback that comes during the refresh is kept for the next tick.
    const uint32_t changed = changedMask.exchange(0);
    if (changed != 0) {
        updateGeneralInfo();
        if (changed & kChangedFrameSize)
            fillFrameSizeList();
        if (changed & kChangedSources)
            fillStreamSource();
        if ((changed & kChangedFormats) && current() != nullptr) {
            fillFormatList(this, current(), 202);
            fillFormatList(this, current(), 203);
        }
        if (changed & kChangedLatency)
            showLatencyInfo();
        if (changed & kChangedVolumes)
            fillVolumes();
    }

    if (redrawNeeded) {
        redrawNeeded = false;
        if (ControlRef list = control(kSigDeviceList, 100))
            Draw1Control(list);
        DrawControls(mainWindow);
    }
}

void ControlApp::removeTimer(EventLoopTimerRef& timer)
{
    if (timer != nullptr)
        RemoveEventLoopTimer(timer);
    timer = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Device list and pages

void ControlApp::doBuildDeviceList()
{
    ControlRef popup = control(kSigDeviceList, 100);
    MenuRef menu = popup != nullptr ? GetControlPopupMenuHandle(popup) : nullptr;
    if (menu != nullptr) {
        SetMenuID(menu, 100);
        DeleteMenuItems(menu, 1, CountMenuItems(menu));
    }
    int16_t items = 0;
    const long count = deviceManager ? deviceManager->getCountDevices() : 0;
    for (long index = 0; index < count; ++index) {
        ZmOSXDevice* device = deviceManager->getDeviceAndRetain(index);
        if (device == nullptr)
            continue;
        Str255 name;
        const char* text = device->getDeviceName().c_str();
        const size_t n = std::min<size_t>(std::strlen(text), 255);
        name[0] = uint8_t(n);
        std::memcpy(name + 1, text, n);
        if (menu != nullptr && items < INT16_MAX) {
            AppendMenuItemText(menu, name);
            ++items;
        }
        device->decReferences();
    }
    // Also when the devices counted went before they could be named.
    if (items == 0 && menu != nullptr) {
        AppendMenuItemText(menu, reinterpret_cast<const unsigned char*>("\x09no device"));
        ++items;
    }
    if (popup != nullptr) {
        SetControlMaximum(popup, items);
        SetControlValue(popup, 0);
        SetControlValue(popup, 1);
    }
    selectDriver(0);
    if (popup != nullptr)
        EnableControl(popup);
    DrawControls(mainWindow);
}

void ControlApp::selectDriver(int32_t index)
{
    // With the reference taken under the list lock: the device cannot go between the look-up
    // and our hold on it. It becomes the reference the current device keeps.
    ZmOSXDevice* device = deviceManager && index >= 0 ? deviceManager->getDeviceAndRetain(index) : nullptr;
    ZmOSXDevice* old = current();
    if (old != nullptr && old == device) {
        device->decReferences();
        return;
    }
    testClose();
    if (old != nullptr) {
        old->closeDevice(false);
        currentDevice.store(nullptr);
        old->decReferences();
    }
    currentDevice.store(device);

    fillFormatList(this, device, 202);
    fillFormatList(this, device, 203);
    if (device != nullptr) {
        setStaticText(101, device->getManufacturer());
        setStaticText(102, device->getDeviceName());
        setStaticText(103, device->getModelUID());
        enableButton(301, true);
        enableButton(302, false);
        enableButton(303, false);
        enableButton(304, false);
        if (driverUpdateTimer == nullptr)
            InstallEventLoopTimer(GetMainEventLoop(), 0.5, 2.0, NewEventLoopTimerUPP(driverUpdateProc), this,
                                  &driverUpdateTimer);
    } else {
        removeTimer(driverUpdateTimer);
        setStaticText(101, "");
        setStaticText(102, "");
        setStaticText(103, "");
        for (int32_t id = 301; id <= 304; ++id)
            enableButton(id, false);
    }
    updateGeneralInfo();
    fillFrameSizeList();
    selectFrameSize();
    showLatencyInfo();
    fillStreamSource();
    fillVolumes();
}

void ControlApp::onSelectTab(int32_t page)
{
    if (currentTab != 0) {
        if (ControlRef pane = control(kSigPane, 8000 + currentTab)) {
            DisableControl(pane);
            SetControlVisibility(pane, false, false);
        }
    }
    if (ControlRef pane = control(kSigPane, 8000 + page)) {
        EnableControl(pane);
        SetControlVisibility(pane, true, true);
        currentTab = page;
    }
}

// ---------------------------------------------------------------------------------------------
// Device callbacks

void ControlApp::markChanged(ZmOSXDevice* device, uint32_t bits)
{
    if (device != nullptr && device == currentDevice.load())
        changedMask.fetch_or(bits);
}

void ControlApp::deviceRemoved(ZmOSXDevice*) { deviceListChanged = true; }
void ControlApp::deviceAdded(ZmOSXDevice*) { deviceListChanged = true; }
void ControlApp::onFramesizeChanged(ZmOSXDevice* device) { markChanged(device, kChangedFrameSize); }
void ControlApp::onLatencyChanged(ZmOSXDevice* device) { markChanged(device, kChangedLatency); }
void ControlApp::onFormatChanged(ZmOSXDevice* device)
{
    markChanged(device, kChangedLatency | kChangedSources | kChangedFormats);
}
void ControlApp::onFrequencyChanged(ZmOSXDevice* device)
{
    markChanged(device, kChangedLatency | kChangedSources | kChangedFormats);
}
void ControlApp::onVolumeChanged(ZmOSXDevice* device) { markChanged(device, kChangedVolumes); }
void ControlApp::onMuteChanged(ZmOSXDevice* device) { markChanged(device, kChangedVolumes); }
void ControlApp::onMonitorChanged(ZmOSXDevice* device) { markChanged(device, kChangedVolumes); }
void ControlApp::onDataSourceChanged(ZmOSXDevice* device) { markChanged(device, kChangedSources); }
void ControlApp::onDeviceStopped(ZmOSXDevice*) {}
void ControlApp::onOtherClientAttached(ZmOSXDevice*, long, long) {}
void ControlApp::onOtherClientDetached(ZmOSXDevice*, long) {}
void ControlApp::onVK_StateChange(ZmOSXDevice*, VK_StateChange*) {}

// ---------------------------------------------------------------------------------------------
// Control accessors

ControlRef ControlApp::control(uint32_t signature, int32_t id) const
{
    if (mainWindow == nullptr)
        return nullptr;
    const ControlID controlID{signature, id};
    ControlRef found = nullptr;
    return GetControlByID(mainWindow, &controlID, &found) == noErr ? found : nullptr;
}

int32_t ControlApp::GetControlAndValue(ControlRef& control, uint32_t signature, int32_t id)
{
    control = this->control(signature, id);
    return control != nullptr ? int32_t(SInt16(GetControlValue(control))) : 0;
}

ControlRef ControlApp::setCtrlValue(uint32_t signature, int32_t id, int16_t value)
{
    ControlRef found = control(signature, id);
    if (found != nullptr)
        SetControlValue(found, value);
    return found;
}

void ControlApp::setStaticText(int32_t id, const ZmString& text)
{
    ControlRef found = control(kSigStaticText, id);
    if (found == nullptr)
        return;
    // A Pascal string holds at most 255 characters: a longer text is cut there.
    unsigned char pascal[256];
    const size_t n = std::min<size_t>(size_t(std::max<int32_t>(text.getLength(), 0)), 255);
    pascal[0] = uint8_t(n);
    std::memcpy(pascal + 1, text.c_str(), n);
    SetControlData(found, kControlEntireControl, kControlStaticTextTextTag, Size(pascal[0]), pascal + 1);
}

void ControlApp::enableButton(int32_t id, bool enable)
{
    if (ControlRef found = control(kSigPush, id)) {
        if (enable)
            EnableControl(found);
        else
            DisableControl(found);
    }
}

void ControlApp::enablePopupButton(int32_t id, bool enable)
{
    ControlRef found = control(kSigPopup, id);
    if (found == nullptr)
        return;
    MenuRef menu = GetControlPopupMenuHandle(found);
    if (menu != nullptr)
        SetMenuID(menu, MenuID(id));
    if (enable) {
        EnableControl(found);
    } else {
        if (menu != nullptr) {
            DeleteMenuItems(menu, 1, CountMenuItems(menu));
            AppendMenuItemText(menu, reinterpret_cast<const unsigned char*>("\x0bUnavailable"));
        }
        SetControlMaximum(found, 1);
        SetControlValue(found, 1);
        DisableControl(found);
    }
    Draw1Control(found);
}

void ControlApp::SetStaticTextControlColor(ControlRef control, uint8_t red, uint8_t green, uint8_t blue)
{
    if (control == nullptr)
        return;
    ControlFontStyleRec style{};
    Size actual = 0;
    if (GetControlData(control, kControlEntireControl, kControlFontStyleTag, sizeof style, &style, &actual) != noErr)
        return;
    style.flags = SInt16(style.flags | kControlUseForeColorMask);
    style.foreColor.red = UInt16(red * 256);
    style.foreColor.green = UInt16(green * 256);
    style.foreColor.blue = UInt16(blue * 256);
    SetControlFontStyle(control, &style);
}
