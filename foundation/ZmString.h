#pragma once
#include <cstdint>

#include "foundation/ZmChars.h"
#include "foundation/ZmObject.h"

// Owned, growable 8-bit NUL-terminated text. The array is never null, and `length` always
// equals the length of the NUL-terminated text.
class ZmString : public ZmObject {
public:
    ZmString();
    ZmString(const char* s);
    ZmString(char c, long n);
    ZmString(const ZmString& other);
    ZmString& operator=(const ZmString& other) { assign(other); return *this; }
    ZmString& operator=(const char* s) { assign(s); return *this; }
    ~ZmString() override;

    char* clear();
    char* assign(const char* s);
    char* assign(const ZmString& other);
    ZmString& setSize(long n);
    ZmString& setLength(long n);
    void countLength();
    int32_t getLength() const { return m_iLength; }
    int32_t getCapacity() const { return m_iCapacity; }
    bool isEmpty() const { return m_iLength == 0; }
    operator const char*() const { return m_sText; }
    const char* c_str() const { return m_sText; }
    // Writable access for code that parses in place; the caller keeps the terminator.
    char* data() { return m_sText; }

    ZmString& operator+=(char c);
    ZmString& operator+=(const char* s);
    // Formats with the C printf rules; a result longer than 2,047 characters is cut there.
    ZmString& printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    ZmString& toString(long v);
    ZmString& toString(short v);

    int32_t compare(const ZmObject& other) const override;
    bool operator==(const ZmObject& other) const { return compare(other) == 0; }
    int strcmp(const char* s) const;
    int stricmp(const char* s) const;
    long match(const char* s) const;

    ZmString& uppercase();
    ZmString& lowercase();
    ZmString& trimLeft();
    ZmString& trimRight();
    void substring(ZmString& out, long start, long count) const;
    void left(ZmString& out, long n) const;
    void right(ZmString& out, long n) const;
    ZmString& replace(const char* find, const char* with);
    bool getToken(const ZmString& delimiters, ZmString& token);
    void toHexString(ZmString& out) const;

    int scanInt() const;
    long asInteger() const;
    double asNumeric() const;
    char* copyString() const;
    char* copyString(char* dst, long n) const;
    void toStr255(unsigned char (&dst)[256]) const;
    void asString(const unsigned char (&src)[256]);

private:
    void allocate(int32_t capacity);

    char* m_sText = nullptr;
    int32_t m_iCapacity = 0;
    int32_t m_iLength = 0;
};
