// The hook table: a start-up that leaves a required hook unset stops and names it, whatever else is
// missing; pending hooks may stay unset.
#include <gtest/gtest.h>

#include "runtime/hooks.h"

using namespace kiv;

namespace {

// Installs every required hook with a stand-in (the stand-ins are never called), then unsets one.
void boot_without(hooks::Entry* missing) {
  for (hooks::Entry* e = hooks::entries(); e; e = e->next)
    if (e->need == hooks::Need::required) e->installed = true;
  missing->installed = false;
  hooks::check();
  std::_Exit(0);
}

}  // namespace

TEST(HooksDeathTest, ARequiredHookLeftUnsetStopsTheStartUpWithItsName) {
  EXPECT_EXIT(boot_without(&hooks::series_notify), ::testing::ExitedWithCode(98),
              "hook series_notify is not set \\(datatypes/ownership sets it\\)");
  EXPECT_EXIT(boot_without(&hooks::eval_block), ::testing::ExitedWithCode(98), "hook eval_block is not set");
}

TEST(HooksDeathTest, PendingHooksMayStayUnset) {
  EXPECT_EXIT(boot_without(&hooks::error_box), ::testing::ExitedWithCode(0), "");
}
