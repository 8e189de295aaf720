#include <gtest/gtest.h>

#include <chrono>

#include "orsa/OrsaClock.h"
#include "orsa/OrsaView.h"

namespace {

TEST(OrsaClockTest, SleepUntilReachesTheDeadlineAndSkipsPastOnes) {
  const int64_t deadline = currentMillis() + 15;
  sleepUntil(deadline);
  EXPECT_GE(currentMillis(), deadline);
  // A sleep of a negative remainder would hang or fail here.
  const int64_t start = currentMillis();
  for (int64_t past : {start - 1000000, start, INT64_MIN}) sleepUntil(past);
  EXPECT_LT(currentMillis() - start, 1000);
}

TEST(OrsaViewTest, SubviewsMoveBetweenParentsAndCyclesAreRefused) {
  auto root = std::make_shared<OrsaView>(OrsaRect{5, 6, 320, 240});
  auto a = std::make_shared<OrsaView>();
  auto b = std::make_shared<OrsaView>();
  ASSERT_TRUE(root->addSubview(a));
  ASSERT_TRUE(a->addSubview(b));
  for (auto& refused : {root, a, std::shared_ptr<OrsaView>()}) EXPECT_FALSE(b->addSubview(refused));
  EXPECT_FALSE(a->addSubview(a));
  EXPECT_EQ(root->superview(), nullptr);

  ASSERT_TRUE(root->addSubview(b));  // taken out of a
  EXPECT_TRUE(a->subviews().empty());
  EXPECT_EQ(root->subviews(), (std::vector{a, b}));
  EXPECT_EQ(b->superview(), root);
  b->removeFromSuperview();
  EXPECT_EQ(b->superview(), nullptr);
  EXPECT_EQ(root->subviews(), std::vector{a});

  // Parents own their subviews; subviews do not own their parents.
  std::weak_ptr<OrsaView> weakRoot = root, weakA = a;
  a.reset();
  EXPECT_FALSE(weakA.expired());
  root.reset();
  EXPECT_TRUE(weakRoot.expired());
  EXPECT_TRUE(weakA.expired());
}

}  // namespace
