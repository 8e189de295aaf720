#include <gtest/gtest.h>

#include <chrono>

#include "orsa/OrsaClock.h"
#include "orsa/OrsaView.h"

namespace {

TEST(OrsaClockTest, CurrentMillisIsTheSteadyClockInMilliseconds) {
  auto steady = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  int64_t before = steady();
  int64_t ours = currentMillis();
  int64_t after = steady();
  EXPECT_GE(ours, before);
  EXPECT_LE(ours, after);
}

TEST(OrsaClockTest, SleepUntilReachesTheDeadlineAndSkipsPastOnes) {
  int64_t deadline = currentMillis() + 15;
  sleepUntil(deadline);
  EXPECT_GE(currentMillis(), deadline);

  // Deadlines already passed (or less than 1 ms ahead) return at once; a sleep of the
  // (negative) remainder would be a hang or an error here.
  int64_t start = currentMillis();
  sleepUntil(start - 1000000);
  sleepUntil(start);
  sleepUntil(INT64_MIN);
  EXPECT_LT(currentMillis() - start, 1000);
}

TEST(OrsaViewTest, SubviewsMoveBetweenParentsAndCyclesAreRefused) {
  auto root = std::make_shared<OrsaView>(OrsaRect{5, 6, 320, 240});
  auto a = std::make_shared<OrsaView>();
  auto b = std::make_shared<OrsaView>();
  EXPECT_EQ(root->bounds(), (OrsaRect{0, 0, 320, 240}));

  ASSERT_TRUE(root->addSubview(a));
  ASSERT_TRUE(a->addSubview(b));
  EXPECT_EQ(b->superview(), a);
  EXPECT_EQ(root->subviews(), std::vector<std::shared_ptr<OrsaView>>{a});

  EXPECT_FALSE(b->addSubview(root));  // an ancestor
  EXPECT_FALSE(b->addSubview(a));
  EXPECT_FALSE(a->addSubview(a));
  EXPECT_FALSE(a->addSubview(nullptr));
  EXPECT_EQ(root->superview(), nullptr);

  // Moving b under root takes it out of a.
  ASSERT_TRUE(root->addSubview(b));
  EXPECT_TRUE(a->subviews().empty());
  EXPECT_EQ(root->subviews(), (std::vector<std::shared_ptr<OrsaView>>{a, b}));
  EXPECT_EQ(b->superview(), root);

  b->removeFromSuperview();
  EXPECT_EQ(b->superview(), nullptr);
  EXPECT_EQ(root->subviews(), std::vector<std::shared_ptr<OrsaView>>{a});

  // Parents own their subviews; subviews do not own their parents.
  std::weak_ptr<OrsaView> weakRoot = root;
  std::weak_ptr<OrsaView> weakA = a;
  a.reset();
  EXPECT_FALSE(weakA.expired());
  root.reset();
  EXPECT_TRUE(weakRoot.expired());
  EXPECT_TRUE(weakA.expired());
}

TEST(OrsaViewTest, DescriptionNamesClassAndFrame) {
  OrsaView v(OrsaRect{1, 2, 30, 40});
  v.setAutoresizingMask(OrsaAutoresizingFlexibleWidth | OrsaAutoresizingFlexibleHeight);
  EXPECT_EQ(v.autoresizingMask(), 18u);
  std::string d = v.description();
  EXPECT_EQ(d.rfind("<OrsaView: 0x", 0), 0u) << d;
  EXPECT_NE(d.find("frame = (1 2; 30 40)>"), std::string::npos) << d;
}

}  // namespace
