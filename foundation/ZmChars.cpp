#include "foundation/ZmChars.h"

#include <cstring>

namespace {

unsigned char byte(char c)
{
    return static_cast<unsigned char>(c);
}

// The accented ISO-8859-1 letters the library treats as letters.
bool isLatin1Letter(unsigned char b)
{
    switch (b) {
    case 0xC0: case 0xC1: case 0xC2: case 0xC4:
    case 0xD2: case 0xD3: case 0xD4: case 0xD6:
    case 0xD9: case 0xDA: case 0xDB: case 0xDC: case 0xDF:
    case 0xE0: case 0xE1: case 0xE2: case 0xE4:
    case 0xF2: case 0xF3: case 0xF4: case 0xF6:
    case 0xF9: case 0xFA: case 0xFB: case 0xFC:
        return true;
    default:
        return (b >= 0xC7 && b <= 0xCE) || (b >= 0xE7 && b <= 0xEE);
    }
}

} // namespace

bool cfIsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool cfIsAlpha(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || isLatin1Letter(byte(c));
}

bool cfIsCSymbol(char c)
{
    return c == '_' || cfIsAlpha(c);
}

bool cfIsSpace(char c)
{
    unsigned char b = byte(c);
    return (b >= 0x09 && b <= 0x0D) || b == 0x20 || (b >= 0x81 && b <= 0x85) ||
           (b >= 0x87 && b <= 0x90) || (b >= 0x93 && b <= 0xA0);
}

char cfToLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
}

int cfStrnicmp(const char* a, const char* b, unsigned long n)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : (a == nullptr ? -1 : 1);
    for (unsigned long i = 0; i < n; ++i) {
        unsigned char ca = byte(cfToLower(a[i]));
        unsigned char cb = byte(cfToLower(b[i]));
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    return 0;
}

int cfStricmp(const char* a, const char* b)
{
    if (a == nullptr || b == nullptr)
        return cfStrnicmp(a, b, 0);
    size_t la = std::strlen(a);
    size_t lb = std::strlen(b);
    int common = cfStrnicmp(a, b, la < lb ? la : lb);
    if (common != 0)
        return common;
    return la == lb ? 0 : (la < lb ? -1 : 1);
}
