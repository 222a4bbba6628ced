// Immutable strings of UTF-16 units, created from and read back into 8-bit encodings.
#include "CFInternal.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace cf {

namespace {

// Unicode for the bytes 0x80..0xFF of Mac OS Roman (with the euro sign at 0xDB).
const char16_t kMacRomanHigh[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, // 0x80
    0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5, 0x00E7, 0x00E9, 0x00E8,
    0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3, // 0x90
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC,
    0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6, 0x00DF, // 0xA0
    0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211, // 0xB0
    0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8,
    0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB, // 0xC0
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153,
    0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA, // 0xD0
    0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1, // 0xE0
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4,
    0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC, // 0xF0
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

bool isHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void appendUTF8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-8 of the units; a lone surrogate fails, or becomes U+FFFD when `lenient`.
bool encodeUTF8(std::u16string_view chars, std::string& out, bool lenient)
{
    for (size_t i = 0; i < chars.size(); ++i) {
        char32_t c = chars[i];
        if (isHighSurrogate(chars[i]) && i + 1 < chars.size() && isLowSurrogate(chars[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (chars[i + 1] - 0xDC00);
            ++i;
        } else if (isHighSurrogate(chars[i]) || isLowSurrogate(chars[i])) {
            if (!lenient)
                return false;
            c = 0xFFFD;
        }
        appendUTF8(out, c);
    }
    return true;
}

bool encode(std::u16string_view chars, CFStringEncoding encoding, std::string& out)
{
    out.clear();
    switch (encoding) {
    case kCFStringEncodingUTF8:
        return encodeUTF8(chars, out, false);
    case kCFStringEncodingASCII:
    case kCFStringEncodingISOLatin1:
    case kCFStringEncodingMacRoman:
        break;
    default:
        return false;
    }
    out.reserve(chars.size());
    for (char16_t c : chars) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (encoding == kCFStringEncodingISOLatin1 && c <= 0xFF) {
            out += static_cast<char>(c);
        } else if (encoding == kCFStringEncodingMacRoman) {
            const char16_t* found = std::find(std::begin(kMacRomanHigh), std::end(kMacRomanHigh), c);
            if (found == std::end(kMacRomanHigh))
                return false;
            out += static_cast<char>(0x80 + (found - kMacRomanHigh));
        } else {
            return false;
        }
    }
    return true;
}

CFStringRef createString(std::u16string_view chars, bool immortal)
{
    auto* units = new char16_t[chars.size() + 1];
    std::copy(chars.begin(), chars.end(), units);
    units[chars.size()] = 0;
    char* ascii = nullptr;
    if (std::all_of(chars.begin(), chars.end(), [](char16_t c) { return c < 0x80; })) {
        ascii = new char[chars.size() + 1];
        std::transform(chars.begin(), chars.end(), ascii, [](char16_t c) { return static_cast<char>(c); });
        ascii[chars.size()] = 0;
    }
    return new __CFString(units, static_cast<CFIndex>(chars.size()), ascii, immortal);
}

void finalizeString(Object* object)
{
    auto* string = static_cast<__CFString*>(object);
    delete[] string->chars;
    delete[] string->ascii;
    delete string;
}

bool equalStrings(const Object* a, const Object* b)
{
    return stringChars(static_cast<CFStringRef>(a)) == stringChars(static_cast<CFStringRef>(b));
}

CFHashCode hashString(const Object* object)
{
    std::u16string_view chars = stringChars(static_cast<CFStringRef>(object));
    return hashBytes(chars.data(), chars.size() * sizeof(char16_t));
}

std::string describeString(const Object* object)
{
    return toUTF8(static_cast<CFStringRef>(object));
}

const __CFString* stringObject(CFStringRef s) { return as<const __CFString>(s, stringClass); }

} // namespace

const Class stringClass = {kStringTypeID, "CFString", finalizeString, equalStrings, hashString, describeString};

CFStringRef makeString(std::u16string_view chars) { return createString(chars, false); }

std::u16string_view stringChars(CFStringRef s)
{
    const __CFString* str = stringObject(s);
    if (str == nullptr)
        return {};
    return std::u16string_view(str->chars, static_cast<size_t>(str->length));
}

std::string toUTF8(CFStringRef s)
{
    std::string out;
    encodeUTF8(stringChars(s), out, true);
    return out;
}

bool toUTF8Strict(CFStringRef s, std::string& out)
{
    out.clear();
    return encodeUTF8(stringChars(s), out, false);
}

bool decodeUTF8(std::string_view bytes, std::u16string& out)
{
    out.clear();
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        auto lead = static_cast<unsigned char>(bytes[i]);
        char32_t c;
        size_t extra;
        char32_t minimum;
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            c = lead & 0x1F;
            extra = 1;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            c = lead & 0x0F;
            extra = 2;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            c = lead & 0x07;
            extra = 3;
            minimum = 0x10000;
        } else {
            return false;
        }
        if (bytes.size() - i <= extra)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (next & 0x3F);
        }
        if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += extra + 1;
    }
    return true;
}

bool decode(std::string_view bytes, CFStringEncoding encoding, std::u16string& out)
{
    if (encoding == kCFStringEncodingUTF8)
        return decodeUTF8(bytes, out);
    out.clear();
    out.reserve(bytes.size());
    for (char b : bytes) {
        auto byte = static_cast<unsigned char>(b);
        if (byte < 0x80)
            out += static_cast<char16_t>(byte);
        else if (encoding == kCFStringEncodingISOLatin1)
            out += static_cast<char16_t>(byte);
        else if (encoding == kCFStringEncodingMacRoman)
            out += kMacRomanHigh[byte - 0x80];
        else
            return false;
    }
    return encoding == kCFStringEncodingASCII || encoding == kCFStringEncodingISOLatin1 ||
        encoding == kCFStringEncodingMacRoman;
}

} // namespace cf

using cf::stringObject;

CFStringRef __CFStringMakeConstantString(const char* cStr)
{
    if (cStr == nullptr)
        return nullptr;
    struct Table {
        std::mutex lock;
        std::unordered_map<std::string, CFStringRef> byText;
    };
    // Never destroyed: constant strings outlive every static destructor that might use one.
    static Table* table = new Table;
    std::lock_guard<std::mutex> guard(table->lock);
    auto found = table->byText.find(cStr);
    if (found != table->byText.end())
        return found->second;
    std::u16string chars;
    if (!cf::decodeUTF8(cStr, chars))
        cf::decode(cStr, kCFStringEncodingISOLatin1, chars);
    CFStringRef created = cf::createString(chars, true);
    table->byText.emplace(cStr, created);
    return created;
}

CFTypeID CFStringGetTypeID(void) { return cf::kStringTypeID; }

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding)
{
    if (cStr == nullptr)
        return nullptr;
    std::u16string chars;
    if (!cf::decode(cStr, encoding, chars))
        return nullptr;
    return cf::makeString(chars);
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation)
{
    if (numBytes < 0 || (bytes == nullptr && numBytes > 0))
        return nullptr;
    std::string_view view(reinterpret_cast<const char*>(bytes), static_cast<size_t>(numBytes));
    if (isExternalRepresentation && encoding == kCFStringEncodingUTF8 && view.substr(0, 3) == "\xEF\xBB\xBF")
        view.remove_prefix(3);
    std::u16string chars;
    if (!cf::decode(view, encoding, chars))
        return nullptr;
    return cf::makeString(chars);
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar* chars, CFIndex numChars)
{
    if (numChars < 0 || (chars == nullptr && numChars > 0))
        return nullptr;
    return cf::makeString(std::u16string(chars, chars + numChars));
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef theString)
{
    // Strings are immutable, so the copy can be the string itself.
    if (stringObject(theString) == nullptr)
        return nullptr;
    return static_cast<CFStringRef>(CFRetain(theString));
}

CFIndex CFStringGetLength(CFStringRef theString)
{
    const __CFString* s = stringObject(theString);
    return s == nullptr ? 0 : s->length;
}

UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx)
{
    const __CFString* s = stringObject(theString);
    if (s == nullptr || idx < 0 || idx >= s->length)
        return 0;
    return s->chars[idx];
}

void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer)
{
    const __CFString* s = stringObject(theString);
    if (s == nullptr || buffer == nullptr || range.location < 0 || range.length <= 0 ||
        range.location >= s->length)
        return;
    CFIndex end = std::min(s->length, range.location + std::min(range.length, s->length));
    std::copy(s->chars + range.location, s->chars + end, buffer);
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding)
{
    if (buffer == nullptr || bufferSize <= 0)
        return false;
    buffer[0] = 0;
    const __CFString* s = stringObject(theString);
    std::string bytes;
    if (s == nullptr || !cf::encode(cf::stringChars(theString), encoding, bytes))
        return false;
    if (static_cast<CFIndex>(bytes.size()) >= bufferSize)
        return false;
    std::memcpy(buffer, bytes.c_str(), bytes.size() + 1);
    return true;
}

const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding)
{
    const __CFString* s = stringObject(theString);
    if (s == nullptr)
        return nullptr;
    switch (encoding) {
    case kCFStringEncodingASCII:
    case kCFStringEncodingUTF8:
    case kCFStringEncodingISOLatin1:
    case kCFStringEncodingMacRoman:
        return s->ascii; // ASCII text reads the same in all four
    default:
        return nullptr;
    }
}

