#include "device/VIDPID.h"

#include <gtest/gtest.h>

#include <tuple>

TEST(VIDPID, FamiliesFollowTheirTables)
{
    const VIDPID bulk(0x7E01, 0x0003), bulkInIsocOut(0x7E03, 0x801E), marlowOnly(0x7E01, 0x0002);
    const VIDPID other(0x7E01, 0x0001), swapped(0x0003, 0x7E01);

    // Both only on a high-speed link.
    EXPECT_EQ(std::tuple(bulk.isQuentaBulkDevice(true), bulk.isQuentaBulkDevice(false),
                         bulk.isQuentaBulkInIsocOutDevice(true), bulkInIsocOut.isQuentaBulkInIsocOutDevice(true),
                         bulkInIsocOut.isQuentaBulkInIsocOutDevice(false), bulkInIsocOut.isQuentaBulkDevice(true)),
              std::tuple(true, false, false, true, false, false));
    for (const VIDPID& none : {marlowOnly, other, swapped})
        EXPECT_FALSE(none.isQuentaBulkDevice(true)) << std::hex << none.vendorID << ":" << none.productID;

    for (const VIDPID& marlow : {bulk, bulkInIsocOut, marlowOnly, VIDPID(0x7E0A, 0x0021), VIDPID(0x7E01, 0x5B01)})
        EXPECT_TRUE(marlow.isMarlowCompatible()) << std::hex << marlow.vendorID << ":" << marlow.productID;
    EXPECT_FALSE(other.isMarlowCompatible());
    EXPECT_FALSE(VIDPID(0x7E0C, 0x4040).isMarlowCompatible());
    EXPECT_TRUE(bulk.isDevice(0x7E01, 0x0003));
    EXPECT_FALSE(bulk.isDevice(0x7E01, 0x0002));
}
