#include "device/VIDPID.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr VIDPID kBulkDevices[] = {
    {0x7E01, 0x0003}, {0x7E01, 0xDA01}, {0x7E01, 0xFF01}, {0x7E01, 0xFF4D}, {0x7E01, 0xCF00},
    {0x7E02, 0x0111}, {0x7E02, 0x0121}, {0x7E02, 0x3216},
};

constexpr VIDPID kBulkInIsocOutDevices[] = {
    {0x7E03, 0x800F}, {0x7E03, 0x8020}, {0x7E03, 0x8017}, {0x7E03, 0x8025}, {0x7E03, 0x801E},
    {0x7E04, 0x0070}, {0x7E04, 0x0071}, {0x7E04, 0x0074},
    {0x7E05, 0x0030},
    {0x7E06, 0x001A}, {0x7E06, 0x0018}, {0x7E06, 0x0019},
    {0x7E01, 0x5B01},
};

// The union of the two tables above and a few more.
constexpr VIDPID kMarlowOnly[] = {
    {0x7E01, 0x0002}, {0x7E07, 0x0034}, {0x7E08, 0x100A}, {0x7E02, 0x00C2},
    {0x7E09, 0x7011}, {0x7E09, 0x7021}, {0x7E03, 0x800E}, {0x7E03, 0x8021},
    {0x7E0A, 0x0020}, {0x7E0A, 0x0021},
};

template <size_t N>
bool contains(const VIDPID (&table)[N], const VIDPID& pair)
{
    return std::find(table, table + N, pair) != table + N;
}

} // namespace

bool VIDPID::isQuentaBulkDevice(bool flag) const
{
    return contains(kBulkDevices, *this) && flag;
}

bool VIDPID::isQuentaBulkInIsocOutDevice(bool flag) const
{
    return contains(kBulkInIsocOutDevices, *this) && flag;
}

bool VIDPID::isMarlowCompatible() const
{
    return contains(kBulkDevices, *this) || contains(kBulkInIsocOutDevices, *this)
        || contains(kMarlowOnly, *this);
}
