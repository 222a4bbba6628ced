#include "device/PropertyItem.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Host : PropertyItemHost {
    void onPropertyChanged(PropertyItem* item) override { changes.push_back(item->getUInt32()); }
    std::vector<uint32_t> changes;
};

} // namespace

TEST(PropertyItem, TellsTheHostOnlyAboutRealChanges)
{
    Host host;
    PropertyItem item(&host);
    EXPECT_EQ(item.getUInt32(), 0u);
    EXPECT_FALSE(item.set(0, true)) << "the value held already";
    EXPECT_TRUE(item.set(256, true));
    EXPECT_FALSE(item.set(256, true));
    EXPECT_TRUE(item.set(512, false)) << "changed, but nobody is told";
    EXPECT_EQ(item.getUInt32(), 512u);
    EXPECT_EQ(host.changes, std::vector<uint32_t>{256});

    PropertyItem odd(&host, EPropType(3));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(odd.set(1, true));
    EXPECT_EQ(odd.getUInt32(), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "PropertyItem::set(UInt32 v) invalid type 3\nPropertyItem::getUInt32 invalid type 3\n");
    EXPECT_EQ(host.changes.size(), 1u);
}
