#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "kext/model/DeviceModel.h"

// Device models described in a file, so a user can simulate an interface the catalogue lacks.
// The format is an INI file as GLib's key files read it; ModelFile.cpp describes it in full and
// kext/model/examples/ shows it.

namespace kext {

// Files larger than this are refused unread: a model takes a few kilobytes.
constexpr size_t kModelFileMax = 1 << 20;

// Parses a model from the text of a model file. Every value is checked; on any fault the result
// is empty and `error` names the group and key at fault.
std::optional<DeviceModel> parseModel(std::string_view text, std::string& error);

// A decimal or 0x-hexadecimal number up to `max`, nothing else (model files and settings).
bool parseNumber(std::string_view text, uint64_t max, uint64_t& out);

// Reads and parses the model file at `path`; errors start with the path.
std::optional<DeviceModel> loadModelFile(const std::string& path, std::string& error);

// The model file text of `model`; parseModel gives the same model back.
std::string modelToText(const DeviceModel& model);

// Writes modelToText(model) to `path`.
bool saveModelFile(const DeviceModel& model, const std::string& path, std::string& error);

} // namespace kext
