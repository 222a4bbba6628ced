#include "foundation/ZmString.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr int32_t kSpare = 33; // 32 spare characters and the terminator

// Capacities are 32-bit: a text that cannot be described by one is an allocation failure.
int32_t checkedCapacity(long long wanted)
{
    if (wanted <= 0 || wanted > INT32_MAX)
        throw std::bad_alloc();
    return static_cast<int32_t>(wanted);
}

} // namespace

void ZmString::allocate(int32_t capacity)
{
    char* fresh = new char[capacity]();
    delete[] m_sText;
    m_sText = fresh;
    m_iCapacity = capacity;
}

ZmString::ZmString()
{
    clear();
}

ZmString::ZmString(const char* s)
{
    if (s == nullptr) {
        clear();
        return;
    }
    size_t n = std::strlen(s);
    allocate(checkedCapacity((long long)n + kSpare));
    std::memcpy(m_sText, s, n);
    m_iLength = int32_t(n);
}

ZmString::ZmString(char c, long n)
{
    if (n <= 0) {
        clear();
        return;
    }
    m_iCapacity = checkedCapacity((long long)n + kSpare);
    m_sText = new char[m_iCapacity];
    std::memset(m_sText, c, size_t(m_iCapacity));
    m_sText[n] = 0;
    m_iLength = c == 0 ? 0 : int32_t(n);
}

ZmString::ZmString(const ZmString& other) : ZmObject()
{
    allocate(checkedCapacity((long long)other.m_iLength + kSpare));
    std::memcpy(m_sText, other.m_sText, size_t(other.m_iLength));
    m_iLength = other.m_iLength;
}

ZmString::~ZmString()
{
    delete[] m_sText;
}

char* ZmString::clear()
{
    allocate(kSpare);
    m_iLength = 0;
    return m_sText;
}

char* ZmString::assign(const char* s)
{
    if (s == nullptr)
        s = "";
    size_t n = std::strlen(s);
    if (n + 1 > size_t(m_iCapacity)) {
        allocate(checkedCapacity((long long)n + kSpare));
    } else if (s == m_sText) {
        return m_sText;
    }
    std::memmove(m_sText, s, n + 1);
    m_iLength = int32_t(n);
    return m_sText;
}

char* ZmString::assign(const ZmString& other)
{
    if (&other == this)
        return m_sText;
    return assign(other.m_sText);
}

ZmString& ZmString::setSize(long n)
{
    if (n < 0)
        n = 0;
    if (n <= m_iCapacity)
        return *this;
    int32_t capacity = checkedCapacity((long long)n + 1);
    char* fresh = new char[capacity]();
    std::memcpy(fresh, m_sText, size_t(m_iLength));
    delete[] m_sText;
    m_sText = fresh;
    m_iCapacity = capacity;
    countLength();
    return *this;
}

ZmString& ZmString::setLength(long n)
{
    if (n < 0)
        n = 0;
    if (n > m_iLength) {
        ZmString padding(' ', n - m_iLength);
        *this += padding.m_sText;
    } else {
        m_sText[n] = 0;
        m_iLength = int32_t(n);
    }
    return *this;
}

void ZmString::countLength()
{
    m_iLength = int32_t(std::strlen(m_sText));
}

ZmString& ZmString::operator+=(char c)
{
    if (m_iCapacity <= m_iLength + 1)
        setSize(2L * m_iLength);
    m_sText[m_iLength] = c;
    if (c != 0) // appending a NUL changes nothing: the length stays that of the text
        ++m_iLength;
    m_sText[m_iLength] = 0;
    return *this;
}

ZmString& ZmString::operator+=(const char* s)
{
    if (s == nullptr)
        return *this;
    size_t n = std::strlen(s);
    long long total = (long long)m_iLength + (long long)n;
    if (total >= m_iCapacity) {
        // The appended text may live in this very array: keep it alive across the growth.
        std::string copy(s, n);
        setSize(long(checkedCapacity(total + 2)));
        std::memcpy(m_sText + m_iLength, copy.data(), n);
    } else {
        std::memmove(m_sText + m_iLength, s, n);
    }
    m_sText[total] = 0;
    countLength();
    return *this;
}

ZmString& ZmString::printf(const char* format, ...)
{
    char buffer[2048];
    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (written < 0)
        buffer[0] = 0;
    setLength(0);
    return *this += buffer;
}

ZmString& ZmString::toString(long v)
{
    setSize(32);
    std::snprintf(m_sText, size_t(m_iCapacity), "%ld", v);
    countLength();
    return *this;
}

ZmString& ZmString::toString(short v)
{
    return toString(long(v));
}

int32_t ZmString::compare(const ZmObject& other) const
{
    // Only texts are ordered; anything else compares equal, as ZmObject's default does.
    const auto* text = dynamic_cast<const ZmString*>(&other);
    if (text == nullptr || m_sText == nullptr || text->m_sText == nullptr)
        return 0;
    int r = std::strcmp(m_sText, text->m_sText);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int ZmString::strcmp(const char* s) const
{
    return std::strcmp(m_sText, s ? s : "");
}

int ZmString::stricmp(const char* s) const
{
    return cfStricmp(m_sText, s);
}

long ZmString::match(const char* s) const
{
    if (s == nullptr)
        return -1;
    const char* found = std::strstr(m_sText, s);
    return found ? long(found - m_sText) : -1;
}

ZmString& ZmString::uppercase()
{
    for (int32_t i = 0; i < m_iLength; ++i)
        m_sText[i] = char(std::toupper(static_cast<unsigned char>(m_sText[i])));
    return *this;
}

ZmString& ZmString::lowercase()
{
    for (int32_t i = 0; i < m_iLength; ++i)
        m_sText[i] = char(std::tolower(static_cast<unsigned char>(m_sText[i])));
    return *this;
}

ZmString& ZmString::trimLeft()
{
    int32_t skip = 0;
    while (skip < m_iLength && cfIsSpace(m_sText[skip]))
        ++skip;
    if (skip > 0) {
        ZmString rest(m_sText + skip);
        assign(rest);
    }
    return *this;
}

ZmString& ZmString::trimRight()
{
    int32_t n = m_iLength;
    while (n > 0 && cfIsSpace(m_sText[n - 1]))
        --n;
    return setLength(n);
}

void ZmString::substring(ZmString& out, long start, long count) const
{
    if (start < 0 || start > m_iLength || count <= 0) {
        out.assign("");
        return;
    }
    if (&out == this) {
        ZmString copy(*this);
        copy.substring(out, start, count);
        return;
    }
    out.assign(m_sText + start);
    if (count < out.m_iLength)
        out.setLength(count);
}

void ZmString::left(ZmString& out, long n) const
{
    substring(out, 0, n);
}

void ZmString::right(ZmString& out, long n) const
{
    if (m_iLength > n)
        substring(out, m_iLength - n, n);
    else
        out.assign(*this);
}

ZmString& ZmString::replace(const char* find, const char* with)
{
    if (find == nullptr || *find == 0 || m_iLength == 0)
        return *this;
    if (with == nullptr)
        with = "";
    // Left to right without overlap; the search goes on behind each replacement, so the
    // inserted text is never searched again.
    size_t findLength = std::strlen(find);
    std::string result;
    const char* from = m_sText;
    for (const char* hit = std::strstr(from, find); hit != nullptr; hit = std::strstr(from, find)) {
        result.append(from, size_t(hit - from));
        result.append(with);
        from = hit + findLength;
    }
    if (from == m_sText)
        return *this;
    result.append(from);
    assign(result.c_str());
    return *this;
}

bool ZmString::getToken(const ZmString& delimiters, ZmString& token)
{
    const char* delims = delimiters.m_sText;
    size_t start = std::strspn(m_sText, delims);
    if (m_sText[start] == 0) {
        token.assign("");
        return false;
    }
    size_t length = std::strcspn(m_sText + start, delims);
    ZmString found;
    found.setSize(long(length) + 1);
    std::memcpy(found.m_sText, m_sText + start, length);
    found.m_sText[length] = 0;
    found.countLength();
    size_t end = start + length;
    // What follows the single delimiter behind the token stays in this string.
    ZmString rest(m_sText[end] == 0 ? "" : m_sText + end + 1);
    token.assign(found);
    assign(rest);
    return true;
}

void ZmString::toHexString(ZmString& out) const
{
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(size_t(m_iLength) * 2);
    for (int32_t i = 0; i < m_iLength; ++i) {
        unsigned char b = static_cast<unsigned char>(m_sText[i]);
        hex += digits[b >> 4];
        hex += digits[b & 0x0F];
    }
    out.assign(hex.c_str());
}

int ZmString::scanInt() const
{
    int value = 0; // a text that does not begin with a number reads as 0
    std::sscanf(m_sText, "%d", &value);
    return value;
}

long ZmString::asInteger() const
{
    return std::atol(m_sText);
}

double ZmString::asNumeric() const
{
    char numeric[256] = {};
    size_t used = 0;
    auto put = [&](const char* s) {
        size_t n = std::strlen(s);
        if (used + n > sizeof numeric - 1)
            return false; // full: never a partial exponent, never past the buffer
        std::memcpy(numeric + used, s, n);
        used += n;
        return true;
    };
    for (int32_t i = 0; i < m_iLength && i < 256; ++i) {
        char c = m_sText[i];
        char one[2] = {c, 0};
        bool room = true;
        if (c == '-' || c == '.' || cfIsDigit(c) || c == 'E' || c == 'e')
            room = put(one);
        else if (c == 'M' || c == 'm')
            room = put("E6");
        else if (c == 'T' || c == 't')
            room = put("E3");
        if (!room)
            break;
    }
    return std::atof(numeric);
}

char* ZmString::copyString() const
{
    char* copy = new char[size_t(m_iLength) + 1];
    std::memcpy(copy, m_sText, size_t(m_iLength) + 1);
    return copy;
}

char* ZmString::copyString(char* dst, long n) const
{
    if (dst == nullptr)
        return dst;
    if (n != -1 && n >= 0 && n < m_iLength) {
        std::memcpy(dst, m_sText, size_t(n));
        dst[n] = 0;
    } else {
        std::memcpy(dst, m_sText, size_t(m_iLength) + 1);
    }
    return dst;
}

void ZmString::toStr255(unsigned char (&dst)[256]) const
{
    // A length byte, at most 253 characters and a NUL: longer texts are cut to 253.
    constexpr int32_t kMaxCharacters = 253;
    std::memset(dst, 0, 255);
    int32_t n = m_iLength < kMaxCharacters ? m_iLength : kMaxCharacters;
    dst[0] = static_cast<unsigned char>(n);
    std::memcpy(dst + 1, m_sText, size_t(n));
    dst[n + 1] = 0;
}

void ZmString::asString(const unsigned char (&src)[256])
{
    int32_t n = src[0];
    ZmString text;
    text.setSize(n + 1);
    std::memcpy(text.m_sText, src + 1, size_t(n));
    text.m_sText[n] = 0;
    // A length byte that runs over an embedded NUL gives the text up to that NUL.
    text.countLength();
    assign(text);
}
