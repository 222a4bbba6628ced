#include "foundation/ZmCollection.h"
#include "foundation/ZmString.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// Counts its own destruction and the commands it receives.
struct Probe : ZmObject {
    explicit Probe(int* deaths = nullptr, int id = 0) : deaths(deaths), id(id) {}
    ~Probe() override { if (deaths) ++*deaths; }
    void onCommand(long command, long argument) override { received.push_back(command * 100 + argument); }
    bool isEqual(const ZmObject& other) const override
    {
        auto* p = dynamic_cast<const Probe*>(&other);
        return p != nullptr && p->id == id;
    }
    int* deaths;
    int id;
    std::vector<long> received;
};

} // namespace

TEST(ZmCollection, GrowsByDoublingAndKeepsOrderOnRemoval)
{
    ZmCollection c;
    EXPECT_EQ(c.count(), 0);
    EXPECT_EQ(c.atPos(0), nullptr);
    EXPECT_FALSE(c.add(nullptr));

    std::vector<Probe*> items;
    for (int i = 0; i < 11; ++i) {
        items.push_back(new Probe(nullptr, i));
        items.back()->incReferences(); // keep them alive for inspection
        ASSERT_TRUE(c.add(items.back()));
        if (i == 4) {
            EXPECT_EQ(c.getCapacity(), 5);
        }
        if (i == 5) {
            EXPECT_EQ(c.getCapacity(), 10);
        }
    }
    EXPECT_EQ(c.getCapacity(), 20);

    c.remove(items[5]);
    EXPECT_EQ(c.count(), 10);
    EXPECT_EQ(c.atPos(4), items[4]);
    EXPECT_EQ(c.atPos(5), items[6]);
    EXPECT_EQ(c.atPos(9), items[10]);
    EXPECT_EQ(c.atPos(10), nullptr);
    EXPECT_EQ(items[5]->getReferences(), 1);
    c.removeAll();
    EXPECT_EQ(c.getCapacity(), 20);
    for (Probe* p : items) {
        EXPECT_EQ(p->getReferences(), 1);
        p->decReferences();
    }
}

TEST(ZmCollection, ReferencesFollowMembership)
{
    int deaths = 0;
    ZmCollection c;
    auto* owned = new Probe(&deaths);
    auto* shared = new Probe(&deaths);
    auto* stranger = new Probe(&deaths);
    shared->incReferences();
    c.add(owned);
    c.add(shared);
    c.add(shared); // twice: two references
    EXPECT_EQ(shared->getReferences(), 3);
    EXPECT_EQ(c.findSameIndex(shared), 1);
    EXPECT_TRUE(c.findSame(owned));
    EXPECT_FALSE(c.findSame(stranger));
    EXPECT_FALSE(c.findSame(nullptr));

    c.remove(stranger); // not held: untouched
    EXPECT_EQ(stranger->getReferences(), 0);
    c.remove(nullptr);
    c.remove(owned);
    EXPECT_EQ(deaths, 1);
    c.removeAll();
    EXPECT_EQ(deaths, 1) << "still held outside the collection";
    EXPECT_EQ(shared->getReferences(), 1);
    shared->decReferences();
    EXPECT_EQ(deaths, 2);
    delete stranger; // never added anywhere: its owner deletes it directly
    {
        ZmCollection scoped;
        scoped.add(new Probe(&deaths));
    }
    EXPECT_EQ(deaths, 4);
}

TEST(ZmCollection, FindUsesEqualityAndForEachBroadcasts)
{
    ZmCollection c;
    auto* a = new Probe(nullptr, 1);
    auto* b = new Probe(nullptr, 2);
    c.add(a);
    c.add(b);
    Probe key(nullptr, 2);
    EXPECT_EQ(c.findIndex(&key), 1);
    EXPECT_EQ(c.find(&key), b);
    Probe missing(nullptr, 9);
    EXPECT_EQ(c.findIndex(&missing), -1);
    EXPECT_EQ(c.find(&missing), nullptr);
    EXPECT_EQ(c.findIndex(nullptr), -1);

    // With the default equality every object matches the first item.
    ZmCollection strings;
    strings.add(new ZmString("x"));
    strings.add(new ZmString("y"));
    ZmObject any;
    EXPECT_EQ(strings.findIndex(&any), 0);

    c.forEach(3, 7);
    EXPECT_EQ(a->received, std::vector<long>{307});
    EXPECT_EQ(b->received, std::vector<long>{307});
}

TEST(ZmCollection, RefusesBeyondItsLastGrowth)
{
    ZmCollection c;
    ZmObject item;
    item.incReferences(); // the collection's references never bring it to zero
    for (int i = 0; i < 40960; ++i)
        ASSERT_TRUE(c.add(&item)) << i;
    EXPECT_EQ(c.getCapacity(), 40960);
    EXPECT_FALSE(c.add(&item));
    EXPECT_EQ(c.count(), 40960);
    EXPECT_EQ(item.getReferences(), 40961);
    c.removeAll();
    EXPECT_EQ(item.getReferences(), 1);
}

TEST(ZmObject, ConcurrentReleasesDeleteExactlyOnce)
{
    for (int round = 0; round < 20; ++round) {
        int deaths = 0;
        auto* p = new Probe(&deaths);
        constexpr int kThreads = 4;
        for (int i = 0; i < kThreads; ++i)
            p->incReferences();
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i)
            threads.emplace_back([p] {
                for (int k = 0; k < 1000; ++k) {
                    p->incReferences();
                    p->decReferences();
                }
                p->decReferences();
            });
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(deaths, 1);
    }
}
