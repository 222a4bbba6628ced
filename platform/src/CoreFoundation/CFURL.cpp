// File URLs: an absolute path kept as bytes, and its "file://" text.
#include "CFInternal.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

struct __CFURL : cf::Object {
    std::string path; // absolute, without a trailing slash except for "/"
    bool isDirectory;
    CFStringRef string;

    __CFURL(std::string p, bool directory, CFStringRef s)
        : Object(&cf::urlClass, false), path(std::move(p)), isDirectory(directory), string(s)
    {
    }
};

namespace cf {

namespace {

void finalizeURL(Object* object)
{
    auto* url = static_cast<__CFURL*>(object);
    CFRelease(url->string);
    delete url;
}

bool equalURLs(const Object* a, const Object* b)
{
    return CFEqual(static_cast<const __CFURL*>(a)->string, static_cast<const __CFURL*>(b)->string);
}

CFHashCode hashURL(const Object* object) { return CFHash(static_cast<const __CFURL*>(object)->string); }

std::string describeURL(const Object* object) { return toUTF8(static_cast<const __CFURL*>(object)->string); }

bool keptInPath(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::strchr("-._~!$&'()*+,;=:@/", c) != nullptr && c != 0;
}

std::string percentEncoded(const std::string& path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : path) {
        auto c = static_cast<unsigned char>(ch);
        if (keptInPath(c)) {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

CFURLRef createURL(std::string path, bool isDirectory)
{
    if (path.empty() || path.find('\0') != std::string::npos)
        return nullptr;
    if (path[0] != '/') {
        char* cwd = getcwd(nullptr, 0);
        if (cwd == nullptr)
            return nullptr;
        std::string base = cwd;
        std::free(cwd);
        path = base + (base.back() == '/' ? "" : "/") + path;
    }
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    std::string text = "file://" + percentEncoded(path);
    if (isDirectory && path != "/")
        text += '/';
    CFStringRef string = CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingASCII);
    return new __CFURL(std::move(path), isDirectory, string);
}

const __CFURL* url(CFURLRef u) { return as<const __CFURL>(u, urlClass); }

} // namespace

const Class urlClass = {kURLTypeID, "CFURL", finalizeURL, equalURLs, hashURL, describeURL};

} // namespace cf

CFTypeID CFURLGetTypeID(void) { return cf::kURLTypeID; }

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef filePath, CFURLPathStyle pathStyle,
                                       Boolean isDirectory)
{
    if (pathStyle != kCFURLPOSIXPathStyle || CFGetTypeID(filePath) != cf::kStringTypeID)
        return nullptr;
    // File names on this system are UTF-8 bytes.
    std::string path;
    if (!cf::toUTF8Strict(filePath, path))
        return nullptr;
    return cf::createURL(std::move(path), isDirectory);
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* buffer, CFIndex bufLen,
                                                 Boolean isDirectory)
{
    if (buffer == nullptr || bufLen <= 0)
        return nullptr;
    return cf::createURL(std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(bufLen)),
                         isDirectory);
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef u, Boolean, UInt8* buffer, CFIndex maxBufLen)
{
    const __CFURL* url = cf::url(u);
    if (url == nullptr || buffer == nullptr || maxBufLen <= static_cast<CFIndex>(url->path.size()))
        return false;
    std::memcpy(buffer, url->path.c_str(), url->path.size() + 1);
    return true;
}

CFStringRef CFURLGetString(CFURLRef u)
{
    const __CFURL* url = cf::url(u);
    return url == nullptr ? nullptr : url->string;
}
