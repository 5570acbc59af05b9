// The module loader's side that no script reaches: routine definitions resolved against the
// registry before a module runs, and the order of the module table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/routine.h"
#include "evaluator/interpreter.h"
#include "library/modules.h"
#include "runtime/roots.h"
#include "tests/unit/core_fixture.h"
#include "tests/unit/interp_natives.h"

namespace kiv {
namespace {

i32 answer() { return 42; }
i32 twice(i32 x) { return 2 * x; }

// Loads a module from text, prepares it and answers the names it leaves unresolved; `out` keeps the
// prepared code.
std::vector<std::string> prepared(std::string_view text, Cell* out) {
  library::load({"test.kiv", text, 0}, out);
  return library::prepare(out);
}

TEST(LibraryModules, RoutineDefinitionsNameRegistryEntries) {
  test::interp::boot_language();
  routine::add("test/answer", answer);
  routine::add("twice", twice);
  Cell code = test::none_cell();
  RootCell keep(code);
  const struct {
    const char* text;
    std::vector<std::string> missing;
  } cases[] = {
      {"Kiv [] f: routine [] [\"test/answer\"] twice: routine [x [integer!]] []", {}},
      {"a: routine [] []", {"a"}},
      {"o: make object! [b: routine [] [\"test/none\"] c: [d/e: routine [] []]]", {"test/none", "d/e"}},
      {"g: routine [] [test/answer] (h: routine [] [])", {"h"}},
      {"routine [] []  x: [routine 1 []]", {"(unnamed)"}},
  };
  for (const auto& c : cases) EXPECT_EQ(prepared(c.text, &code), c.missing) << c.text;

  // Once prepared, the named definitions make routines that call their entries; one in place is
  // called where it stands.
  ASSERT_TRUE(prepared("Kiv [] f: routine [] [\"test/answer\"] twice: routine [x [integer!]] [] "
                       "reduce [f twice 5 type? :f (routine [] [test/answer]) routine [x [integer!]] [twice] 4]",
                       &code)
                  .empty());
  Cell result = test::none_cell();
  RootCell keep_result(result);
  ASSERT_TRUE(interpreter::do_safe(&code, &result));
  EXPECT_EQ(test::mold_text(result), "[42 10 routine! 42 8]");
}

TEST(LibraryModules, TableFollowsThePhases) {
  i32 phase = 0;
  for (const library::Module& m : library::modules()) {
    EXPECT_GE(m.phase, phase) << m.name;
    EXPECT_FALSE(m.text.empty()) << m.name;
    phase = m.phase;
  }
}

}  // namespace
}  // namespace kiv
