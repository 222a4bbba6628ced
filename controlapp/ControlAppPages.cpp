// The pages that show and change the current device's settings: formats, frame size, data
// sources, and per channel volume, mute and input monitoring.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "controlapp/ControlApp.h"
#include "controlapp/PageFunctions.h"
#include "device/ZmOSXDevice.h"

namespace {

constexpr uint32_t kSigStaticText = HIFourCC("stxt");
constexpr uint32_t kSigPopup = HIFourCC("popb");
constexpr uint32_t kSigSlider = HIFourCC("sldr");
constexpr uint32_t kSigCheckBox = HIFourCC("cbox");
constexpr unsigned long kNoChannelLimit = 0xFFFFFFFF;
constexpr int32_t kFrameSizeMenuID = 26227;

void appendItem(MenuRef menu, const char* text)
{
    unsigned char item[256];
    const size_t n = std::min<size_t>(std::strlen(text), 255);
    item[0] = uint8_t(n);
    std::memcpy(item + 1, text, n);
    AppendMenuItemText(menu, item);
}

void clearMenu(MenuRef menu)
{
    if (menu != nullptr)
        DeleteMenuItems(menu, 1, CountMenuItems(menu));
}

ZmString printed(const char* format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

ZmString number(int value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return text;
}

// Channels per frame of a direction's virtual format, 0 when it cannot be read.
uint32_t virtualChannels(ZmOSXDevice* device, bool isInput)
{
    AudioStreamBasicDescription format{};
    if (device == nullptr || device->getStreamFormat(isInput, &format, false, kNoChannelLimit) != 0)
        return 0;
    return format.mChannelsPerFrame;
}

void showEnabled(ControlRef control, bool enabled)
{
    if (control == nullptr)
        return;
    ShowControl(control);
    if (enabled)
        EnableControl(control);
    else
        DisableControl(control);
}

void hide(ControlRef control)
{
    if (control != nullptr)
        HideControl(control);
}

// A rate cut to an integer for a label; nonsense rates give 0 instead of undefined results.
int rateLabel(double rate)
{
    return std::isfinite(rate) && rate > 0.0 && rate < 2147483647.0 ? int(rate) : 0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Free functions

uint32_t nextPower2(uint32_t value)
{
    if (value >= 0x80000000u)
        return 0;
    uint32_t power = 1;
    while (power <= value)
        power <<= 1;
    return power;
}

uint32_t frameSizeBound(double value)
{
    if (!(value > 0.0))
        return 0;
    if (value >= 4294967295.0)
        return 4294967295u;
    return uint32_t(value);
}

size_t frameSizeItems(uint32_t min, uint32_t max, uint32_t* sizes, size_t capacity)
{
    size_t k = 0;
    uint32_t size = min;
    while (k < capacity) {
        sizes[k++] = size;
        const uint32_t next = size == 128 ? 192 : size == 256 ? 384 : size == 512 ? 768 : nextPower2(size);
        if (next == 0 || max == 0 || next > max)
            break;
        size = next;
    }
    return k;
}

void fillFormatList(ControlApp* app, ZmOSXDevice* device, int32_t popupID)
{
    if (app == nullptr)
        return;
    const bool isInput = device != nullptr && popupID == 202;
    ControlRef popup = app->control(kSigPopup, popupID);
    if (popup == nullptr)
        return;
    MenuRef menu = GetControlPopupMenuHandle(popup);
    if (menu == nullptr)
        return;
    SetMenuID(menu, MenuID(popupID));
    clearMenu(menu);
    if (device == nullptr) {
        app->enablePopupButton(popupID, false);
        return;
    }
    app->enablePopupButton(popupID, true);
    int selection = 1;
    AudioStreamBasicDescription current{};
    device->getStreamFormat(isInput, &current, true, kNoChannelLimit);
    const int n = device->getStreamFormatNum(isInput, true);
    // A popup holds at most 32767 items (its value is 16-bit).
    if (n <= 0 || n >= INT16_MAX) {
        app->enablePopupButton(popupID, false);
        return;
    }
    std::vector<AudioStreamBasicDescription> list(static_cast<size_t>(n));
    if (device->getStreamFormats(isInput, list.data(), n, true, kNoChannelLimit) != 0) {
        app->enablePopupButton(popupID, false);
        return;
    }
    for (int i = 0; i < n; ++i) {
        const AudioStreamBasicDescription& format = list[size_t(i)];
        if (std::memcmp(&format, &current, sizeof format) == 0)
            selection = i + 1;
        char label[64];
        std::snprintf(label, sizeof label, "%dCh-%d-%dBit", int(format.mChannelsPerFrame),
                      rateLabel(format.mSampleRate), int(format.mBitsPerChannel));
        appendItem(menu, label);
    }
    SetControlMaximum(popup, SInt16(n));
    if (current.mChannelsPerFrame == 0) {
        appendItem(menu, "unavailable");
        SetControlMaximum(popup, SInt16(n + 1));
        selection = n + 1;
    }
    SetControlValue(popup, SInt16(selection));
    Draw1Control(popup);
}

// ---------------------------------------------------------------------------------------------
// Formats

void ControlApp::applyFormat(bool isInput)
{
    ZmOSXDevice* device = current();
    if (device == nullptr)
        return;
    ControlRef popup = nullptr;
    const int32_t v = GetControlAndValue(popup, kSigPopup, isInput ? 202 : 203);
    const int n = device->getStreamFormatNum(isInput, true);
    if (v < 1 || v > n)
        return;
    std::vector<AudioStreamBasicDescription> list(static_cast<size_t>(n));
    if (device->getStreamFormats(isInput, list.data(), n, true, kNoChannelLimit) == 0) {
        const bool ran = device->isRunningStream();
        if (ran)
            testClose();
        device->setStreamFormat(isInput, &list[size_t(v - 1)], true);
        if (ran)
            testOpen();
    }
    updateGeneralInfo();
    fillFormatList(this, device, 202);
    fillFormatList(this, device, 203);
    fillStreamSource();
    fillFrameSizeList();
    showLatencyInfo();
    selectFrameSize();
}

// ---------------------------------------------------------------------------------------------
// Frame size

void ControlApp::fillFrameSizeList()
{
    ControlRef popup = control(kSigPopup, 305);
    MenuRef menu = popup != nullptr ? GetControlPopupMenuHandle(popup) : nullptr;
    if (menu == nullptr)
        return;
    SetMenuID(menu, kFrameSizeMenuID);
    clearMenu(menu);
    ZmOSXDevice* device = current();
    if (device == nullptr) {
        enablePopupButton(305, false);
        return;
    }
    enablePopupButton(305, true);
    const uint32_t frameSize = device->getFrameSize();
    double minimum = 64.0, maximum = 64.0;
    device->getFrameSizeRange(minimum, maximum);

    std::fill(std::begin(frameSizeTable), std::end(frameSizeTable), 0u);
    // Items 1 to 255; entry 0 stays unused.
    const size_t count = frameSizeItems(frameSizeBound(minimum), frameSizeBound(maximum), frameSizeTable + 1,
                                        std::size(frameSizeTable) - 1);
    int32_t selection = -1;
    for (size_t k = 1; k <= count; ++k) {
        if (frameSizeTable[k] == frameSize && selection < 0)
            selection = int32_t(k);
        char label[32];
        std::snprintf(label, sizeof label, "%d samples", int(frameSizeTable[k]));
        appendItem(menu, label);
    }
    SetControlMaximum(popup, SInt16(count));
    SetControlValue(popup, SInt16(selection));
}

void ControlApp::selectFrameSize()
{
    ControlRef popup = control(kSigPopup, 305);
    if (popup == nullptr)
        return;
    int32_t selection = 1;
    if (ZmOSXDevice* device = current()) {
        const uint32_t frameSize = device->getFrameSize();
        for (int32_t k = 1; k <= 255; ++k) {
            if (frameSizeTable[k] == frameSize) {
                selection = k;
                break;
            }
        }
    }
    SetControlValue(popup, SInt16(selection));
    Draw1Control(popup);
}

void ControlApp::onFrameSizeChosen()
{
    ZmOSXDevice* device = current();
    if (device == nullptr)
        return;
    ControlRef popup = nullptr;
    const int32_t v = GetControlAndValue(popup, kSigPopup, 305);
    // The popup's value indexes the table: anything outside its items is ignored.
    if (popup == nullptr || v < 1 || v > 255 || frameSizeTable[v] == 0)
        return;
    if (frameSizeTable[v] != device->getFrameSize()) {
        device->setFrameSize(frameSizeTable[v], true, false);
        changedMask.fetch_and(~uint32_t(kChangedFrameSize));
        selectFrameSize();
        showLatencyInfo();
    }
}

// ---------------------------------------------------------------------------------------------
// Data sources

void ControlApp::fillStreamSource()
{
    ZmOSXDevice* device = current();
    if (device == nullptr)
        return;
    for (const bool isInput : {true, false}) {
        ControlRef popup = control(kSigPopup, isInput ? 207 : 208);
        if (popup == nullptr)
            continue;
        MenuRef menu = GetControlPopupMenuHandle(popup);
        clearMenu(menu);
        const int count = std::clamp(device->getNumDataSources(isInput), 0, int(INT16_MAX));
        for (int id = 1; id <= count; ++id) {
            ZmString name;
            device->getDataSourcesName(isInput, id, name);
            if (menu != nullptr)
                appendItem(menu, name.c_str());
        }
        SetControlMaximum(popup, SInt16(count));
        SetControlValue(popup, SInt16(std::clamp(device->getDataSourceID(isInput), 0, int(INT16_MAX))));
    }
}

void ControlApp::onDataSourceChosen(bool isInput)
{
    ZmOSXDevice* device = current();
    if (device == nullptr)
        return;
    ControlRef popup = nullptr;
    const int32_t value = GetControlAndValue(popup, kSigPopup, isInput ? 207 : 208);
    // Sources count from 1; a value the popup cannot hold names none.
    if (value >= 1)
        device->setDataSource(isInput, static_cast<unsigned long>(value));
    fillStreamSource();
}

// ---------------------------------------------------------------------------------------------
// Volume, mute and monitoring rows

void ControlApp::fillVolumes()
{
    if (current() != nullptr) {
        fillIOVolumes(true);
        fillIOVolumes(false);
        fillThru();
        return;
    }
    for (int32_t c = 0; c <= 8; ++c) {
        setStaticText(1000 + c, "1.00");
        setStaticText(1100 + c, "0.0");
        showEnabled(setCtrlValue(kSigCheckBox, 1000 + c, 0), false);
        showEnabled(setCtrlValue(kSigSlider, 1000 + c, 255), false);
        setStaticText(1400 + c, "-");
        setStaticText(1300 + c, number(c));
        setStaticText(2000 + c, "1.00");
        setStaticText(2100 + c, "0.0");
        showEnabled(setCtrlValue(kSigCheckBox, 2000 + c, 0), false);
        showEnabled(setCtrlValue(kSigCheckBox, 2500 + c, 0), false);
        showEnabled(setCtrlValue(kSigSlider, 2000 + c, 255), false);
        setStaticText(2400 + c, "-");
        setStaticText(2300 + c, number(c));
    }
}

void ControlApp::fillIOVolumes(bool isInput)
{
    ZmOSXDevice* device = current();
    const int32_t base = isInput ? 2000 : 1000;
    const uint32_t channels = virtualChannels(device, isInput);
    for (int32_t c = 0; c <= 8; ++c) {
        if (uint32_t(c) > channels) {
            setStaticText(base + c, "");
            setStaticText(base + 300 + c, "");
            setStaticText(base + 100 + c, "");
            setStaticText(base + 400 + c, "");
            hide(setCtrlValue(kSigCheckBox, base + c, 0));
            hide(setCtrlValue(kSigSlider, base + c, 0));
            continue;
        }
        setStaticText(base + 400 + c, "-");
        setStaticText(base + 300 + c, number(c));
        if (device != nullptr && device->canMute(isInput, c))
            showEnabled(setCtrlValue(kSigCheckBox, base + c, int16_t(device->getMute(isInput, c) != 0)), true);
        else
            showEnabled(setCtrlValue(kSigCheckBox, base + c, 0), false);
        fillVolumChannel(isInput, c);
    }
}

void ControlApp::fillVolumChannel(bool isInput, int32_t channel)
{
    ZmOSXDevice* device = current();
    const int32_t base = isInput ? 2000 : 1000;
    if (device != nullptr && device->canVolume(isInput, channel)) {
        float scalar = 1.0f;
        device->getVolumeScalar(isInput, channel, scalar);
        // The slider holds 0 to 255 whatever the device answers.
        const float bounded = std::isfinite(scalar) ? std::clamp(scalar, 0.0f, 1.0f) : 0.0f;
        ControlRef slider = setCtrlValue(kSigSlider, base + channel, int16_t(255.0f * bounded));
        setStaticText(base + channel, printed("%.2f", scalar));
        float dB = 1.0f;
        device->getVolumeDB(isInput, channel, dB);
        setStaticText(base + 100 + channel, printed("%.1f", dB));
        showEnabled(slider, true);
    } else {
        setStaticText(base + channel, "1.0");
        setStaticText(base + 100 + channel, "0.0");
        showEnabled(setCtrlValue(kSigSlider, base + channel, 255), false);
    }
}

void ControlApp::onVolumeChannel(bool isInput, int32_t channel)
{
    ZmOSXDevice* device = current();
    if (device == nullptr)
        return;
    ControlRef slider = nullptr;
    const int32_t value = GetControlAndValue(slider, kSigSlider, (isInput ? 2000 : 1000) + channel);
    if (slider == nullptr)
        return;
    const float scalar = std::clamp(float(value) / 255.0f, 0.0f, 1.0f);
    device->setVolumeScalar(isInput, channel, scalar);
    fillVolumChannel(isInput, channel);
}

void ControlApp::onMuteChannel(bool isInput, int32_t channel)
{
    ControlRef box = nullptr;
    const int32_t value = GetControlAndValue(box, kSigCheckBox, (isInput ? 2000 : 1000) + channel);
    if (ZmOSXDevice* device = current(); device != nullptr && box != nullptr)
        device->setMute(isInput, channel, value != 0);
}

void ControlApp::fillThru()
{
    ZmOSXDevice* device = current();
    const uint32_t channels = virtualChannels(device, true);
    for (int32_t c = 0; c <= 8; ++c) {
        if (uint32_t(c) > channels) {
            hide(setCtrlValue(kSigCheckBox, 2500 + c, 0));
            continue;
        }
        unsigned long on = 0;
        if (device != nullptr && device->canMonitor(true, c) && device->getMonitor(true, c, on) == 0)
            showEnabled(setCtrlValue(kSigCheckBox, 2500 + c, int16_t(on != 0)), true);
        else
            showEnabled(setCtrlValue(kSigCheckBox, 2500 + c, 0), false);
    }
}

void ControlApp::onThruChannel(int32_t channel)
{
    ControlRef box = nullptr;
    const int32_t value = GetControlAndValue(box, kSigCheckBox, 2500 + channel);
    if (ZmOSXDevice* device = current(); device != nullptr && box != nullptr)
        device->setMonitor(true, channel, value != 0);
}
