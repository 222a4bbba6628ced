// The device's hardware controls: data sources, mute and volume in the status block's controls
// region, monitoring, exclusive routing and the codec registers.
//
// The kernel writes the region while we read it and other processes edit it too: every field
// is read once into a local before it is used, counts and masks through the clamping accessors,
// and names are copied out of their 64 bytes before their end is looked for.
#include <IOKit/IOReturn.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "device/OSXAsioRegistry.h"
#include "device/ZmOSXDevice.h"

namespace {

// The interface whose input offers three sources made of two inputs and the clock sync.
constexpr UInt16 kSyncVendor = 0x7E0F;
constexpr UInt16 kSyncProduct = 0x1000;
constexpr int kSyncInputSources = 3;
constexpr uint8_t kSyncInternal = 1;
constexpr uint8_t kSyncDigital = 2;
const char* const kSyncSourceNames[kSyncInputSources] = {"Analog", "Analog - Sync Digital", "SPDIF (RCA)"};

// The interface that monitors its inputs by pairs.
constexpr UInt16 kPairsVendor = 0x7E0C;
constexpr UInt16 kPairsProduct = 0x4040;

// Monitor routing values.
constexpr uint32_t kMonitorOff = 0;
constexpr uint32_t kMonitorOn = 1;
constexpr uint32_t kMonitorInputs12 = 12;
constexpr uint32_t kMonitorInputs34 = 34;

constexpr uint32_t kRequestFailed = 0xFFFFFFFF;
constexpr unsigned long kCodecFieldMax = 0xFFFF;

// The routing value the interface should hold for `inputs` channels in force, given that it
// holds `r` (not 0): r itself when it fits.
uint32_t monitorFitting(uint32_t inputs, uint32_t r)
{
    switch (inputs) {
    case 1:
        return r == kMonitorOn || r == kMonitorInputs12 ? kMonitorOn : kMonitorOff;
    case 2:
        return r == kMonitorInputs12 || r == kMonitorOn ? kMonitorInputs12 : kMonitorOff;
    case 4:
        return r == kMonitorInputs12 || r == kMonitorInputs34 ? r : kMonitorInputs12;
    default:
        return kMonitorOff;
    }
}

} // namespace

bool ZmOSXDevice::monitorsByPairs() const
{
    return isDevice(kPairsVendor, kPairsProduct);
}

ControlsBlock* ZmOSXDevice::controlsBlock(bool input) const
{
    KernelStatusBlock* s = status();
    return s != nullptr ? &s->controls.block(input) : nullptr;
}

ControlsEntry* ZmOSXDevice::getControlsEndpoint(bool input) const
{
    const uint32_t channels = input ? m_cTrueChannels.iInChannels : m_cTrueChannels.iOutChannels;
    ControlsBlock* block = controlsBlock(input);
    return channels != 0 && block != nullptr ? block->activeEntry() : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Data sources

int ZmOSXDevice::getNumDataSources(bool input)
{
    if (input && isDevice(kSyncVendor, kSyncProduct))
        return kSyncInputSources;
    const ControlsBlock* block = controlsBlock(input);
    if (block == nullptr)
        return 1;
    // More sources than the block holds are not sources: only the held ones have names.
    const size_t count = block->entryCount();
    return count == 0 ? 1 : int(count);
}

void ZmOSXDevice::getDataSourcesName(bool input, int id, ZmString& name)
{
    const ControlsBlock* block = controlsBlock(input);
    if (block == nullptr) {
        name.assign("N/A");
        return;
    }
    const char* fallback = input ? "Input" : "Output";
    if (input && isDevice(kSyncVendor, kSyncProduct)) {
        name.assign(id >= 1 && id <= kSyncInputSources ? kSyncSourceNames[id - 1] : fallback);
        return;
    }
    const ControlsEntry* entry = id >= 1 && size_t(id) <= block->entryCount() ? block->entry(size_t(id - 1)) : nullptr;
    if (entry == nullptr) {
        name.assign(fallback);
        return;
    }
    ControlsEntry copy;
    std::memcpy(copy.sName, entry->sName, sizeof copy.sName);
    name.assign(std::string(copy.name()).c_str());
}

int ZmOSXDevice::getDataSourceID(bool input)
{
    KernelStatusBlock* s = status();
    if (s == nullptr)
        return 1;
    const ControlsBlock& block = s->controls.block(input);
    const uint8_t mask = block.iSourceMask;
    if (input && isDevice(kSyncVendor, kSyncProduct)) {
        if (mask == 2)
            return 3;
        return s->controls.iSyncSelector == kSyncDigital ? 2 : 1;
    }
    const size_t count = block.entryCount();
    if (count == 0 || mask == 0)
        return 1;
    // A mask naming a source the kernel does not list selects none of them: the first.
    const int id = std::countr_zero(mask) + 1;
    return size_t(id) <= count ? id : 1;
}

OSStatus ZmOSXDevice::setDataSource(bool input, unsigned long id)
{
    KernelStatusBlock* s = status();
    if (s == nullptr)
        return kIOReturnNoDevice;
    std::unique_lock<std::mutex> guard(m_controlsMutex);
    ControlsBlock& block = s->controls.block(input);
    DriverRequest record{};
    if (input && isDevice(kSyncVendor, kSyncProduct)) {
        s->saveControls();
        block.iSourceMask = id == 3 ? 2 : 1;
        s->controls.iSyncSelector = id == 2 || id == 3 ? kSyncDigital : kSyncInternal;
        if (!callDriver(kReqSetDataSource, record))
            return kIOReturnError;
        guard.unlock();
        // The selector changes the clock: the interface starts again from its configuration.
        usbConfigureDevice();
        return 0;
    }
    // Id 0 names no source (and has no bit to select).
    if (id < 1 || id > block.entryCount())
        return kIOReturnBadArgument;
    s->saveControls();
    block.iSourceMask = uint8_t(1u << (id - 1));
    return callDriver(kReqSetDataSource, record) ? 0 : kIOReturnError;
}

// ---------------------------------------------------------------------------------------------
// Mute

bool ZmOSXDevice::canMute(bool input, int channel)
{
    const ControlsEntry* entry = getControlsEndpoint(input);
    return entry != nullptr && entry->bHasMute != 0 && channel == 0;
}

int ZmOSXDevice::getMute(bool input, int channel)
{
    if (!canMute(input, channel))
        return -1;
    const ControlsEntry* entry = getControlsEndpoint(input);
    return entry != nullptr && entry->bMute != 0 ? 1 : 0;
}

bool ZmOSXDevice::setMute(bool input, int channel, unsigned int value)
{
    std::lock_guard<std::mutex> guard(m_controlsMutex);
    if (!canMute(input, channel))
        return false;
    ControlsEntry* entry = getControlsEndpoint(input);
    // The switch is one byte: any non-zero value mutes (256 must not come out as 0).
    const uint8_t mute = value != 0 ? 1 : 0;
    if (entry == nullptr || entry->bMute == mute)
        return true;
    status()->saveControls();
    entry->bMute = mute;
    DriverRequest record{};
    callDriver(kReqSetMute, record);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Volume

ControlsVolume* ZmOSXDevice::volumeControl(bool input, int channel)
{
    ControlsEntry* entry = getControlsEndpoint(input);
    if (entry == nullptr || entry->bHasVolume == 0)
        return nullptr;
    const uint16_t channels = entry->iVolumeChannels;
    const bool qualifies = channels == 0xFFFF ? channel == 0 : channel >= 1 && channel <= int16_t(channels);
    // A count beyond the block's slots gives those channels no volume.
    return qualifies ? entry->volumeOf(channel) : nullptr;
}

bool ZmOSXDevice::canVolume(bool input, int channel)
{
    return volumeControl(input, channel) != nullptr;
}

bool ZmOSXDevice::getVolumeDB(bool input, int channel, float& dB)
{
    const ControlsVolume* v = volumeControl(input, channel);
    if (v == nullptr)
        return false;
    dB = float(v->iCurrent) / 256.0f;
    return true;
}

bool ZmOSXDevice::getVolumeRangeDB(bool input, int channel, float& minDB, float& maxDB)
{
    const ControlsVolume* v = volumeControl(input, channel);
    if (v == nullptr)
        return false;
    minDB = float(v->iMin) / 256.0f;
    maxDB = float(v->iMax) / 256.0f;
    return true;
}

bool ZmOSXDevice::getVolumeScalar(bool input, int channel, float& scalar)
{
    const ControlsVolume* v = volumeControl(input, channel);
    if (v == nullptr)
        return false;
    const int min = v->iMin, current = v->iCurrent, max = v->iMax;
    // A range without width holds only its minimum; a value outside the range is at its end.
    scalar = max > min ? std::clamp(float(current - min) / float(max - min), 0.0f, 1.0f) : 0.0f;
    return true;
}

bool ZmOSXDevice::setVolumeScalar(bool input, int channel, float scalar)
{
    std::lock_guard<std::mutex> guard(m_controlsMutex);
    ControlsVolume* v = volumeControl(input, channel);
    if (v == nullptr)
        return false;
    const int min = v->iMin, max = v->iMax;
    // NaN is no position on the range: the minimum.
    const double position = std::isnan(scalar) ? 0.0 : std::clamp(double(scalar), 0.0, 1.0);
    const int value = max > min ? std::clamp(min + int(std::trunc(double(max - min) * position)), min, max) : min;
    if (value == v->iCurrent)
        return true;
    status()->saveControls();
    v->iCurrent = int16_t(value);
    DriverRequest record{};
    record.setWord(0, 0);
    callDriver(kReqSetVolume, record);
    return true;
}

bool ZmOSXDevice::setVolumeDB(bool input, int channel, float)
{
    return canVolume(input, channel);
}

// ---------------------------------------------------------------------------------------------
// Monitoring

bool ZmOSXDevice::canMonitor(bool input, int channel)
{
    if (!input)
        return false;
    DriverRequest record{};
    if (!callDriver(kReqCanMonitor, record))
        return false;
    if (monitorsByPairs()) {
        const uint32_t inputs = monitorInputs();
        if (inputs == 4)
            return channel >= 1 && channel <= 4;
        return (inputs == 1 || inputs == 2) && channel == 0;
    }
    return record.word(0) != 0 && channel == 0;
}

OSStatus ZmOSXDevice::getMonitor(bool input, int channel, unsigned long& on)
{
    if (!canMonitor(input, channel))
        return kIOReturnError;
    on = 0;
    DriverRequest record{};
    if (!callDriver(kReqGetMonitor, record))
        return 0;
    uint32_t r = record.word(0);
    if (!monitorsByPairs()) {
        on = r != 0 && channel == 0 ? 1 : 0;
        return 0;
    }
    const uint32_t inputs = monitorInputs();
    if (r != kMonitorOff) {
        const uint32_t fitting = monitorFitting(inputs, r);
        if (fitting != r) {
            DriverRequest set{};
            set.setWord(0, fitting);
            callDriver(kReqSetMonitor, set);
            DriverRequest again{};
            if (!callDriver(kReqGetMonitor, again))
                return 0;
            r = again.word(0);
        }
    }
    switch (r) {
    case kMonitorInputs12:
        on = (inputs == 2 && channel == 0) || (inputs == 4 && (channel == 1 || channel == 2));
        break;
    case kMonitorInputs34:
        on = inputs == 4 && (channel == 3 || channel == 4);
        break;
    case kMonitorOn:
        on = channel == 0;
        break;
    default:
        break;
    }
    return 0;
}

bool ZmOSXDevice::setMonitor(bool input, int channel, unsigned int on)
{
    if (!canMonitor(input, channel))
        return false;
    uint32_t value = on != 0 ? kMonitorOn : kMonitorOff;
    if (monitorsByPairs()) {
        const uint32_t inputs = monitorInputs();
        value = kMonitorOff;
        if (on != 0 && channel == 0)
            value = inputs == 2 ? kMonitorInputs12 : inputs == 1 ? kMonitorOn : kMonitorOff;
        else if (on != 0 && inputs == 4)
            value = channel <= 2 ? kMonitorInputs12 : kMonitorInputs34;
    }
    DriverRequest record{};
    record.setWord(0, value);
    return callDriver(kReqSetMonitor, record);
}

// ---------------------------------------------------------------------------------------------
// Routing and codec

bool ZmOSXDevice::callCodec(uint32_t subCommand, DriverRequest& record)
{
    record.setWord(0, subCommand);
    return callDriver(kReqCodec, record);
}

unsigned long ZmOSXDevice::getInputsExclusive()
{
    DriverRequest record{};
    return callCodec(kCodecGetInputsExclusive, record) ? record.word(1) : kRequestFailed;
}

unsigned long ZmOSXDevice::getOutputsExclusive()
{
    DriverRequest record{};
    return callCodec(kCodecGetOutputsExclusive, record) ? record.word(1) : kRequestFailed;
}

bool ZmOSXDevice::setInputsExclusive(long value)
{
    DriverRequest record{};
    record.setWord(1, uint32_t(value));
    return callCodec(kCodecSetInputsExclusive, record);
}

bool ZmOSXDevice::setOutputsExclusive(long value)
{
    DriverRequest record{};
    record.setWord(1, uint32_t(value));
    return callCodec(kCodecSetOutputsExclusive, record);
}

unsigned long ZmOSXDevice::getWolfsonRegister(unsigned long group, unsigned long index)
{
    // The fields are 16-bit: a larger group or index would name another register.
    if (group > kCodecFieldMax || index > kCodecFieldMax)
        return kRequestFailed;
    DriverRequest record{};
    record.setHalf(4, uint16_t(group));
    record.setHalf(6, uint16_t(index));
    return callCodec(kCodecGetRegister, record) ? record.half(8) : kRequestFailed;
}

bool ZmOSXDevice::setWolfsonRegister(unsigned long group, unsigned long index, unsigned long value)
{
    if (group > kCodecFieldMax || index > kCodecFieldMax || value > kCodecFieldMax)
        return false;
    DriverRequest record{};
    record.setHalf(4, uint16_t(group));
    record.setHalf(6, uint16_t(index));
    record.setHalf(8, uint16_t(value));
    if (!callCodec(kCodecSetRegister, record))
        return false;
    std::lock_guard<std::mutex> guard(m_controlsMutex);
    if (m_pRegistry != nullptr)
        m_pRegistry->setCodecRegister(group, index, value);
    return true;
}

bool ZmOSXDevice::getStoredWolfsonRegister(unsigned long group, unsigned long index, unsigned long& value)
{
    std::lock_guard<std::mutex> guard(m_controlsMutex);
    return m_pRegistry != nullptr && m_pRegistry->getCodecRegister(group, index, value);
}
