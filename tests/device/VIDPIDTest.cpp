#include "device/VIDPID.h"

#include <gtest/gtest.h>

TEST(VIDPID, FamiliesFollowTheirTables)
{
    const VIDPID bulk(0x7E01, 0x0003), bulkInIsocOut(0x7E03, 0x801E), marlowOnly(0x7E01, 0x0002);
    const VIDPID other(0x7E01, 0x0001), swapped(0x0003, 0x7E01);

    EXPECT_TRUE(bulk.isQuentaBulkDevice(true));
    EXPECT_FALSE(bulk.isQuentaBulkDevice(false)) << "only on a high-speed link";
    EXPECT_FALSE(bulk.isQuentaBulkInIsocOutDevice(true));
    EXPECT_TRUE(bulkInIsocOut.isQuentaBulkInIsocOutDevice(true));
    EXPECT_FALSE(bulkInIsocOut.isQuentaBulkInIsocOutDevice(false));
    EXPECT_FALSE(bulkInIsocOut.isQuentaBulkDevice(true));
    EXPECT_FALSE(marlowOnly.isQuentaBulkDevice(true));
    EXPECT_FALSE(other.isQuentaBulkDevice(true));
    EXPECT_FALSE(swapped.isQuentaBulkDevice(true));

    for (const VIDPID& marlow : {bulk, bulkInIsocOut, marlowOnly, VIDPID(0x7E0A, 0x0021), VIDPID(0x7E01, 0x5B01)})
        EXPECT_TRUE(marlow.isMarlowCompatible()) << std::hex << marlow.vendorID << ":" << marlow.productID;
    EXPECT_FALSE(other.isMarlowCompatible());
    EXPECT_FALSE(VIDPID(0x7E0C, 0x4040).isMarlowCompatible());
    EXPECT_TRUE(bulk.isDevice(0x7E01, 0x0003));
    EXPECT_FALSE(bulk.isDevice(0x7E01, 0x0002));
}
