#pragma once
// Finding HAL plug-in bundles in the plug-in folder and making their instances.
#include <CoreAudio/AudioHardwarePlugIn.h>

#include <string>
#include <vector>

// One plug-in instance a bundle's factory made: the reference the HAL holds (one reference,
// released at unload) and the newest interface it answers (1 to 4).
struct LoadedPlugIn {
    AudioHardwarePlugInRef ref = nullptr;
    int interfaceVersion = 0;
    std::string bundlePath;
};

// What one scan of the plug-in folder produced. The modules stay open until every instance
// made from them has been released.
struct PlugInSet {
    std::vector<LoadedPlugIn> plugIns;
    std::vector<void*> modules;
};

// $TARSEL_HAL_PLUGIN_DIR when set and not empty; else, in a program installed under a root
// (its platform library in <root>/usr/lib/tarsel), <root>/Library/Audio/Plug-Ins/HAL; else the
// install location the build was configured with.
std::string halPlugInFolder();

// Loads every `*.plugin` bundle of `folder` (in name order) whose Info.plist lists factories for
// the HAL plug-in type, calls each factory and keeps the instances that answer a HAL interface.
// Bundles that are missing a piece or are malformed are skipped.
PlugInSet loadPlugInBundles(const std::string& folder);

// dlcloses the modules and empties the list.
void closePlugInModules(std::vector<void*>& modules);
