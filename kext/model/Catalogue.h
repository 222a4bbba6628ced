#pragma once
#include <string_view>
#include <vector>

#include "kext/model/DeviceModel.h"

namespace kext {

// The interfaces the simulated kernel driver can serve: the default "tarsel" (0x7E01:0x0003,
// high speed) first, its full-speed variant "tarsel-fs" and its Darwin 8 variant "tarsel-tiger",
// then every other vendor:product pair the suite treats in its own way, each as "<name>-hs" and
// "<name>-fs". Built once, on first use; every model in it passes validateModel.
const std::vector<DeviceModel>& catalogue();

// The model of that name, or null.
const DeviceModel* findModel(std::string_view name);

} // namespace kext
