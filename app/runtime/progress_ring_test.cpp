#include "app/runtime/progress_ring.h"

#include <gtest/gtest.h>

#include "app/testing/ui_test.h"

namespace app_runtime {
namespace {

using ProgressRingTest = testing::UiTest;

TEST_F(ProgressRingTest, AnActiveRingIsShownAndSpinsWhileOnScreen) {
  QWidget parent;
  auto* ring = new ProgressRing(&parent);
  EXPECT_FALSE(ring->IsActive());
  parent.show();
  EXPECT_FALSE(ring->isVisible()) << "inactive at the start";
  EXPECT_FALSE(ring->IsSpinning());

  ring->SetIsActive(true);
  EXPECT_TRUE(ring->isVisible());
  EXPECT_TRUE(ring->IsSpinning());

  // Off screen with its parent, it stays active but does not spin.
  parent.hide();
  EXPECT_TRUE(ring->IsActive());
  EXPECT_FALSE(ring->IsSpinning());
  parent.show();
  EXPECT_TRUE(ring->IsSpinning());

  ring->SetIsActive(false);
  EXPECT_FALSE(ring->isVisible());
  EXPECT_FALSE(ring->IsSpinning());
}

TEST_F(ProgressRingTest, ActiveBeforeItsParentIsShownItSpinsOnceShown) {
  QWidget parent;
  auto* ring = new ProgressRing(&parent);
  ring->setProperty("IsActive", true);  // as a form's markup sets it
  EXPECT_TRUE(ring->IsActive());
  EXPECT_FALSE(ring->IsSpinning());
  parent.show();
  EXPECT_TRUE(ring->isVisible());
  EXPECT_TRUE(ring->IsSpinning());
}

}  // namespace
}  // namespace app_runtime
