// Fuzz target for the device's hardware controls over a controls region a hostile kernel
// scribbled. Once per process a private simulated kernel driver serves three interfaces with
// controls and a device is opened on each; each input then writes over one device's live
// controls region and calls every control operation for both directions and several channels:
//   [device] [where] [source id] [mute] [monitor] [volume scalar, 4 bytes] [bytes over the region]
// device % 3 picks the interface; where % 3 starts the bytes at the region (the output block),
// at the input block or at the sync selector. Before each input the region is put back as the
// kernel published it, so an input sees only its own scribbling.
#include <CoreAudio/AudioHardwarePlugIn.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "device/ControlsRegion.h"
#include "device/DeviceManagerClient.h"
#include "device/KernelStatusBlock.h"
#include "device/ZmOSXDevice.h"
#include "fuzz/FuzzInterfaces.h"

namespace {

struct Opened {
    ZmOSXDevice* device;
    ControlsRegion published;
};

struct World {
    bench::BenchDaemon daemon;
    IgnoringDeviceManagerClient client; // reports change nothing: every input reads the region afresh
    std::vector<Opened> devices;
};

World* g_world = nullptr;

// A fault of the controls: reported with what it was, then the fuzzer's crash.
void require(bool ok, const char* what)
{
    if (!ok)
        fuzzinterfaces::fault("controls_region_fuzzer", what);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_world = new World;
    for (const io_service_t service : fuzzinterfaces::plugInterfaces(g_world->daemon, "controls_region_fuzzer")) {
        auto* device = new ZmOSXDevice(nullptr, &g_world->client, service, nullptr);
        device->incReferences();
        require(device->init() && device->getDriverSM() != nullptr, "cannot open an interface");
        g_world->devices.push_back({device, device->getDriverSM()->controls});
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (g_world == nullptr)
        LLVMFuzzerInitialize(nullptr, nullptr);
    constexpr size_t kHeader = 9;
    uint8_t header[kHeader] = {};
    std::memcpy(header, data, std::min(size, kHeader));
    Opened& o = g_world->devices[header[0] % g_world->devices.size()];
    ZmOSXDevice* d = o.device;
    ControlsRegion& region = d->getDriverSM()->controls;
    region = o.published;
    const size_t starts[] = {0, offsetof(ControlsRegion, input), offsetof(ControlsRegion, iSyncSelector)};
    const size_t start = starts[header[1] % 3];
    if (size > kHeader)
        std::memcpy(reinterpret_cast<uint8_t*>(&region) + start, data + kHeader,
                    std::min(size - kHeader, sizeof(ControlsRegion) - start));

    const unsigned long source = header[2];
    const unsigned int mute = header[3];
    const unsigned int monitor = header[4];
    float scalar;
    std::memcpy(&scalar, header + 5, sizeof scalar);
    for (const bool input : {false, true}) {
        const int sources = d->getNumDataSources(input);
        require(sources >= 1 && sources <= int(kControlsEntries), "more sources than the block holds");
        for (int id = -1; id <= sources + 1; ++id) {
            ZmString name;
            d->getDataSourcesName(input, id, name);
            require(std::strlen(name.c_str()) <= kControlsNameSize, "a name longer than its field");
        }
        const int selected = d->getDataSourceID(input);
        require(selected >= 1 && selected <= sources, "a selected source that is not listed");
        d->setDataSource(input, source);
        d->setDataSource(input, static_cast<unsigned long>(selected));
        for (const int channel : {-1, 0, 1, 2, 3, 4, 7, 8, 9, 40}) {
            if (d->canMute(input, channel)) {
                const int was = d->getMute(input, channel);
                d->setMute(input, channel, mute);
                if (was >= 0)
                    d->setMute(input, channel, unsigned(was));
            } else {
                require(d->getMute(input, channel) == -1 && !d->setMute(input, channel, mute), "mute without a mute");
            }
            float dB = 0, minDB = 0, maxDB = 0, value = 0;
            const bool can = d->canVolume(input, channel);
            const bool got = d->getVolumeDB(input, channel, dB);
            const bool ranged = d->getVolumeRangeDB(input, channel, minDB, maxDB);
            const bool scaled = d->getVolumeScalar(input, channel, value);
            require(got == can && ranged == can && scaled == can, "volume answered without a volume");
            require(!scaled || (value >= 0.0f && value <= 1.0f), "a scalar off 0...1");
            require(d->setVolumeScalar(input, channel, scalar) == can, "volume set without a volume");
            if (can)
                d->setVolumeScalar(input, channel, value);
            if (d->canMonitor(input, channel)) {
                unsigned long on = 0;
                d->getMonitor(input, channel, on);
                d->setMonitor(input, channel, monitor);
                d->setMonitor(input, channel, unsigned(on));
            } else {
                require(!d->setMonitor(input, channel, monitor), "monitor set without a monitor");
            }
        }
    }
    return 0;
}
