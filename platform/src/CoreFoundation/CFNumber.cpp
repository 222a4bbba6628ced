// Numbers: an integer kept as 64 bits or a floating-point value kept as a double, converted on
// the way out.
#include "CFInternal.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

struct __CFNumber : cf::Object {
    CFNumberType type; // the canonical type: SInt8/16/32/64, Float32 or Float64
    bool isFloat;
    int64_t integer;
    double real;

    __CFNumber(CFNumberType t, int64_t i) : Object(&cf::numberClass, false), type(t), isFloat(false), integer(i), real(0) {}
    __CFNumber(CFNumberType t, double d) : Object(&cf::numberClass, false), type(t), isFloat(true), integer(0), real(d) {}
};

namespace cf {

namespace {

// The size of an integer type in bytes, 0 for the floating-point types, -1 for unknown ones.
int integerSize(CFNumberType type)
{
    switch (type) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType:
        return 1;
    case kCFNumberSInt16Type:
    case kCFNumberShortType:
        return 2;
    case kCFNumberSInt32Type:
    case kCFNumberIntType:
        return 4;
    case kCFNumberSInt64Type:
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
        return 8;
    case kCFNumberFloat32Type:
    case kCFNumberFloat64Type:
    case kCFNumberFloatType:
    case kCFNumberDoubleType:
        return 0;
    default:
        return -1;
    }
}

bool isSinglePrecision(CFNumberType type) { return type == kCFNumberFloat32Type || type == kCFNumberFloatType; }

CFComparisonResult compare(const __CFNumber* a, const __CFNumber* b)
{
    if (!a->isFloat && !b->isFloat) {
        if (a->integer == b->integer)
            return kCFCompareEqualTo;
        return a->integer < b->integer ? kCFCompareLessThan : kCFCompareGreaterThan;
    }
    // long double holds every 64-bit integer exactly; NaN sorts first and equals itself.
    long double x = a->isFloat ? a->real : a->integer;
    long double y = b->isFloat ? b->real : b->integer;
    bool xNaN = std::isnan(x), yNaN = std::isnan(y);
    if (xNaN || yNaN)
        return xNaN && yNaN ? kCFCompareEqualTo : xNaN ? kCFCompareLessThan : kCFCompareGreaterThan;
    if (x == y)
        return kCFCompareEqualTo;
    return x < y ? kCFCompareLessThan : kCFCompareGreaterThan;
}

void finalizeNumber(Object* object) { deleteAs<__CFNumber>(object); }

bool equalNumbers(const Object* a, const Object* b)
{
    return compare(static_cast<const __CFNumber*>(a), static_cast<const __CFNumber*>(b)) == kCFCompareEqualTo;
}

CFHashCode hashNumber(const Object* object)
{
    auto* number = static_cast<const __CFNumber*>(object);
    // Equal numbers hash alike whatever their type: whole values hash as integers.
    int64_t whole = number->integer;
    if (number->isFloat) {
        double r = number->real;
        if (!(std::trunc(r) == r && r >= -9.2e18 && r <= 9.2e18))
            return hashBytes(&r, sizeof r);
        whole = static_cast<int64_t>(r);
    }
    return hashBytes(&whole, sizeof whole);
}

std::string describeNumber(const Object* object)
{
    auto* number = static_cast<const __CFNumber*>(object);
    char value[64];
    if (number->isFloat)
        std::snprintf(value, sizeof value, "%+.17g", number->real);
    else
        std::snprintf(value, sizeof value, "%+lld", static_cast<long long>(number->integer));
    return addressTag("CFNumber", object) + "{value = " + value + "}";
}

template <class T>
bool storeInteger(int64_t value, void* out)
{
    T converted = static_cast<T>(value);
    std::memcpy(out, &converted, sizeof converted);
    return static_cast<int64_t>(converted) == value;
}

bool storeInteger(int64_t value, int size, void* out)
{
    switch (size) {
    case 1:
        return storeInteger<int8_t>(value, out);
    case 2:
        return storeInteger<int16_t>(value, out);
    case 4:
        return storeInteger<int32_t>(value, out);
    default:
        return storeInteger<int64_t>(value, out);
    }
}

} // namespace

const Class numberClass = {kNumberTypeID, "CFNumber", finalizeNumber, equalNumbers, hashNumber, describeNumber};

} // namespace cf

namespace {

const __CFNumber* number(CFNumberRef n) { return cf::as<const __CFNumber>(n, cf::numberClass); }

} // namespace

CFTypeID CFNumberGetTypeID(void) { return cf::kNumberTypeID; }

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr)
{
    int size = cf::integerSize(theType);
    if (valuePtr == nullptr || size < 0)
        return nullptr;
    switch (size) {
    case 1: {
        int8_t v;
        std::memcpy(&v, valuePtr, sizeof v);
        return new __CFNumber(kCFNumberSInt8Type, int64_t{v});
    }
    case 2: {
        int16_t v;
        std::memcpy(&v, valuePtr, sizeof v);
        return new __CFNumber(kCFNumberSInt16Type, int64_t{v});
    }
    case 4: {
        int32_t v;
        std::memcpy(&v, valuePtr, sizeof v);
        return new __CFNumber(kCFNumberSInt32Type, int64_t{v});
    }
    case 8: {
        int64_t v;
        std::memcpy(&v, valuePtr, sizeof v);
        return new __CFNumber(kCFNumberSInt64Type, v);
    }
    default:
        break;
    }
    if (cf::isSinglePrecision(theType)) {
        float v;
        std::memcpy(&v, valuePtr, sizeof v);
        return new __CFNumber(kCFNumberFloat32Type, double{v});
    }
    double v;
    std::memcpy(&v, valuePtr, sizeof v);
    return new __CFNumber(kCFNumberFloat64Type, v);
}

CFNumberType CFNumberGetType(CFNumberRef n)
{
    const __CFNumber* num = number(n);
    return num == nullptr ? 0 : num->type;
}

Boolean CFNumberIsFloatType(CFNumberRef n)
{
    const __CFNumber* num = number(n);
    return num != nullptr && num->isFloat;
}

Boolean CFNumberGetValue(CFNumberRef n, CFNumberType theType, void* valuePtr)
{
    const __CFNumber* num = number(n);
    int size = cf::integerSize(theType);
    if (num == nullptr || valuePtr == nullptr || size < 0)
        return false;
    if (size > 0) {
        if (!num->isFloat)
            return cf::storeInteger(num->integer, size, valuePtr);
        // Truncated toward zero and clamped to the 64-bit range before narrowing.
        double r = num->real;
        bool inRange = r >= -9.2233720368547758e18 && r < 9.2233720368547758e18; // false for NaN
        int64_t whole = inRange ? static_cast<int64_t>(r)
            : std::isnan(r)     ? 0
            : r > 0             ? std::numeric_limits<int64_t>::max()
                                : std::numeric_limits<int64_t>::min();
        bool stored = cf::storeInteger(whole, size, valuePtr);
        return stored && inRange && static_cast<double>(whole) == r;
    }
    double value = num->isFloat ? num->real : static_cast<double>(num->integer);
    bool exact = num->isFloat || static_cast<long double>(value) == static_cast<long double>(num->integer);
    if (cf::isSinglePrecision(theType)) {
        auto single = static_cast<float>(value);
        std::memcpy(valuePtr, &single, sizeof single);
        return exact && (std::isnan(value) || static_cast<double>(single) == value);
    }
    std::memcpy(valuePtr, &value, sizeof value);
    return exact;
}

CFComparisonResult CFNumberCompare(CFNumberRef n, CFNumberRef otherNumber, void*)
{
    const __CFNumber* a = number(n);
    const __CFNumber* b = number(otherNumber);
    if (a == nullptr || b == nullptr)
        return a == b ? kCFCompareEqualTo : a == nullptr ? kCFCompareLessThan : kCFCompareGreaterThan;
    return cf::compare(a, b);
}
