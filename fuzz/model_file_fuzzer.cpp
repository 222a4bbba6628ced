// Fuzz target for model files, the simulated kernel driver's outside input. A model the parser
// accepts must be one validateModel accepts, come back unchanged through its own text, and turn
// into the records the kernel serves (device information, status block, settings, descriptor)
// without leaving their bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "device/APIDeviceInfo.h"
#include "device/KernelStatusBlock.h"
#include "kext/model/DeviceModel.h"
#include "kext/model/ModelFile.h"

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kext::kModelFileMax)
        return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const std::optional<kext::DeviceModel> model = kext::parseModel(text, error);
    if (!model) {
        check(!error.empty());
        return 0;
    }
    std::string why;
    check(kext::validateModel(*model, why));

    const std::optional<kext::DeviceModel> again = kext::parseModel(kext::modelToText(*model), error);
    check(again.has_value() && *again == *model);

    static const auto zero = std::make_unique<APIDeviceInfo>();
    auto info = std::make_unique<APIDeviceInfo>();
    kext::buildDeviceInfo(*model, *info);
    const uint32_t length = kext::deviceInfoLength(*model);
    check(length <= sizeof *info);
    // What request 4 leaves out must be what the device layer's zeroed copy holds anyway.
    check(std::memcmp(reinterpret_cast<const uint8_t*>(info.get()) + length,
                      reinterpret_cast<const uint8_t*>(zero.get()) + length, sizeof *info - length)
          == 0);
    check(info->iVendorId == model->vendorId && info->iProductId == model->productId);

    auto block = std::make_unique<KernelStatusBlock>();
    kext::initStatusBlock(*model, *block);
    check(block->iVersion == model->interfaceVersion);
    check(statusText(block->sDeviceName) == model->deviceName);
    check(block->controls.output.entryCount() == model->outputControls.sources.size());
    check(block->controls.input.entryCount() == model->inputControls.sources.size());

    check(kext::canCarry(*model, kext::defaultSettings(*model)));
    check(kext::usbDeviceDescriptor(*model)[0] == 18);
    return 0;
}
