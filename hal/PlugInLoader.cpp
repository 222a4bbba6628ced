#include "hal/PlugInLoader.h"

#include <CoreFoundation/CoreFoundation.h>
#include <dlfcn.h>
#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

namespace fs = std::filesystem;

namespace {

// An Info.plist is a few kilobytes; anything much larger is not one.
constexpr std::uintmax_t kMaxInfoPlistSize = 1u << 20;
constexpr std::size_t kMaxNameLength = 255;

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistHolder = std::unique_ptr<void, PlistFree>;

bool readInfoPlist(const fs::path& path, std::string& text)
{
    std::error_code error;
    if (!fs::is_regular_file(path, error))
        return false;
    std::uintmax_t size = fs::file_size(path, error);
    if (error || size == 0 || size > kMaxInfoPlistSize)
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !text.empty() && text.size() <= kMaxInfoPlistSize;
}

bool stringValue(plist_t node, std::string& out)
{
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING)
        return false;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (text == nullptr || length == 0 || length > kMaxNameLength)
        return false;
    out.assign(text, static_cast<std::size_t>(length));
    // A name with a NUL inside would be cut short by the C calls it goes to.
    return out.find('\0') == std::string::npos;
}

bool parseUUID(const std::string& text, CFUUIDBytes& bytes)
{
    CFStringRef string = CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(),
                                                   kCFStringEncodingASCII);
    if (string == nullptr)
        return false;
    CFUUIDRef uuid = CFUUIDCreateFromString(kCFAllocatorDefault, string);
    CFRelease(string);
    if (uuid == nullptr)
        return false;
    bytes = CFUUIDGetUUIDBytes(uuid);
    CFRelease(uuid);
    return true;
}

bool sameUUID(const CFUUIDBytes& a, const CFUUIDBytes& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The value of the dictionary entry whose key is the UUID `wanted`, keys compared as UUIDs.
plist_t findByUUID(plist_t dict, const CFUUIDBytes& wanted)
{
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(dict, &iter);
    if (iter == nullptr)
        return nullptr;
    plist_t found = nullptr;
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, iter, &key, &value);
        if (value == nullptr) {
            std::free(key);
            break;
        }
        CFUUIDBytes bytes;
        bool match = key != nullptr && std::strlen(key) <= kMaxNameLength &&
            parseUUID(key, bytes) && sameUUID(bytes, wanted);
        std::free(key);
        if (match) {
            found = value;
            break;
        }
    }
    std::free(iter);
    return found;
}

// A file name inside Contents/MacOS, not a way out of it.
bool plainFileName(const std::string& name)
{
    return name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The factory function names the bundle lists for the HAL plug-in type, each once.
std::vector<std::string> halFactoryNames(plist_t root)
{
    std::vector<std::string> names;
    plist_t factories = plist_dict_get_item(root, "CFPlugInFactories");
    plist_t types = plist_dict_get_item(root, "CFPlugInTypes");
    if (factories == nullptr || plist_get_node_type(factories) != PLIST_DICT || types == nullptr ||
        plist_get_node_type(types) != PLIST_DICT)
        return names;
    plist_t factoryList = findByUUID(types, CFUUIDGetUUIDBytes(kAudioHardwarePlugInTypeID));
    if (factoryList == nullptr || plist_get_node_type(factoryList) != PLIST_ARRAY)
        return names;
    std::vector<CFUUIDBytes> seen;
    uint32_t count = plist_array_get_size(factoryList);
    for (uint32_t i = 0; i < count; ++i) {
        std::string text;
        CFUUIDBytes factoryID;
        if (!stringValue(plist_array_get_item(factoryList, i), text) || !parseUUID(text, factoryID))
            continue;
        if (std::any_of(seen.begin(), seen.end(),
                        [&](const CFUUIDBytes& b) { return sameUUID(b, factoryID); }))
            continue;
        seen.push_back(factoryID);
        std::string function;
        if (stringValue(findByUUID(factories, factoryID), function))
            names.push_back(function);
    }
    return names;
}

// Asks a factory's object for the newest HAL interface it answers; drops the factory's
// reference either way.
bool queryHALInterface(void* instance, LoadedPlugIn& plugIn)
{
    auto* unknown = static_cast<IUnknownVTbl**>(instance);
    // Without QueryInterface and Release the object cannot be used nor given back.
    if (*unknown == nullptr || (*unknown)->QueryInterface == nullptr || (*unknown)->Release == nullptr)
        return false;
    const CFUUIDRef interfaces[] = {kAudioHardwarePlugInInterface4ID, kAudioHardwarePlugInInterface3ID,
                                    kAudioHardwarePlugInInterface2ID, kAudioHardwarePlugInInterfaceID};
    void* answered = nullptr;
    int version = 4;
    for (CFUUIDRef interfaceID : interfaces) {
        LPVOID candidate = nullptr;
        HRESULT result = (*unknown)->QueryInterface(instance, CFUUIDGetUUIDBytes(interfaceID), &candidate);
        if (SUCCEEDED(result) && candidate != nullptr) {
            answered = candidate;
            break;
        }
        --version;
    }
    (*unknown)->Release(instance);
    if (answered == nullptr)
        return false;
    auto ref = static_cast<AudioHardwarePlugInRef>(answered);
    if (*ref == nullptr || (*ref)->Release == nullptr)
        return false; // nothing to release it with: left alone
    bool canInitialize = (*ref)->Initialize != nullptr ||
        (version >= 3 && (*ref)->InitializeWithObjectID != nullptr);
    if (!canInitialize) {
        (*ref)->Release(ref);
        return false;
    }
    plugIn.ref = ref;
    plugIn.interfaceVersion = version;
    return true;
}

void loadBundle(const fs::path& bundle, PlugInSet& set)
{
    std::string text;
    if (!readInfoPlist(bundle / "Contents" / "Info.plist", text))
        return;
    plist_t parsed = nullptr;
    plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), &parsed);
    PlistHolder root(parsed);
    if (parsed == nullptr || plist_get_node_type(parsed) != PLIST_DICT)
        return;
    std::string executable;
    if (!stringValue(plist_dict_get_item(parsed, "CFBundleExecutable"), executable) ||
        !plainFileName(executable))
        return;
    std::vector<std::string> functions = halFactoryNames(parsed);
    if (functions.empty())
        return;
    fs::path modulePath = bundle / "Contents" / "MacOS" / executable;
    std::error_code error;
    if (!fs::is_regular_file(modulePath, error))
        return;
    void* module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        dlerror();
        return;
    }
    std::size_t before = set.plugIns.size();
    for (const std::string& name : functions) {
        void* symbol = dlsym(module, name.c_str());
        if (symbol == nullptr) {
            dlerror();
            continue;
        }
        auto factory = reinterpret_cast<CFPlugInFactoryFunction>(symbol);
        void* instance = factory(kCFAllocatorDefault, kAudioHardwarePlugInTypeID);
        if (instance == nullptr)
            continue;
        LoadedPlugIn plugIn;
        plugIn.bundlePath = bundle.string();
        if (queryHALInterface(instance, plugIn))
            set.plugIns.push_back(plugIn);
    }
    if (set.plugIns.size() == before)
        dlclose(module);
    else
        set.modules.push_back(module);
}

} // namespace

std::string halPlugInFolder()
{
    const char* folder = std::getenv("TARSEL_HAL_PLUGIN_DIR");
    if (folder != nullptr && folder[0] != '\0')
        return folder;
    // A program of an installed root uses that root's plug-ins, wherever the root was put:
    // its platform library lies at <root>/usr/lib/tarsel/libplatform.so.
    Dl_info where{};
    if (dladdr(reinterpret_cast<void*>(&CFRunLoopGetCurrent), &where) != 0 && where.dli_fname != nullptr) {
        std::error_code error;
        const fs::path library = fs::weakly_canonical(where.dli_fname, error);
        const fs::path libDir = library.parent_path();
        if (!error && libDir.filename() == "tarsel" && libDir.parent_path().filename() == "lib" &&
            libDir.parent_path().parent_path().filename() == "usr")
            return (libDir.parent_path().parent_path().parent_path() / "Library/Audio/Plug-Ins/HAL").string();
    }
    return TARSEL_HAL_PLUGIN_DIR_DEFAULT;
}

PlugInSet loadPlugInBundles(const std::string& folder)
{
    PlugInSet set;
    std::vector<fs::path> bundles;
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error)
        return set;
    // Stepped with error codes: a folder that changes or fails while being read ends the scan
    // instead of throwing.
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        std::error_code kindError;
        if (it->path().extension() == ".plugin" && it->is_directory(kindError))
            bundles.push_back(it->path());
    }
    std::sort(bundles.begin(), bundles.end());
    for (const fs::path& bundle : bundles)
        loadBundle(bundle, set);
    return set;
}

void closePlugInModules(std::vector<void*>& modules)
{
    for (void* module : modules)
        dlclose(module);
    modules.clear();
}
