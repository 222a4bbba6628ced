// Reads the objects the toolkit model knows from a GtkBuilder interface description.
#pragma once
#include "platform/src/Carbon/Toolbox.h"

#include <memory>
#include <string>
#include <vector>

namespace tarsel::toolbox {

// The window named `name` with its controls, or null when the file cannot be read or holds
// no GtkWindow of that id.
std::unique_ptr<Window> readNibWindow(const std::string& path, const std::string& name);

// The menus of the GtkMenuBar named `name`, in their order; false when there is none.
bool readNibMenuBar(const std::string& path, const std::string& name,
                    std::vector<std::unique_ptr<Menu>>& menus);

// A command named in a description: four characters, or a decimal number; 0 for anything else.
UInt32 parseCommandName(const std::string& text);

} // namespace tarsel::toolbox
