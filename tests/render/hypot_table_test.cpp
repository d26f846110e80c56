#include "render/hypot_table.h"

#include <gtest/gtest.h>

namespace {

// Entry i = round(16384 x sqrt(1 + (i/256)^2)); 192 is exact (16384 x 1.25) and 256
// is sqrt(2) x 2^14.
TEST(HypotTableTest, TellingEntries) {
  struct Case {
    int index;
    uint16_t entry;
  };
  const Case cases[] = {{0, 16384},   {1, 16384},   {2, 16384},   {3, 16385},   {16, 16416},
                        {64, 16888},  {128, 18318}, {192, 20480}, {255, 23125}, {256, 23170}};
  HypotTable table{};
  FillHypotTable(table);
  for (const Case& c : cases) EXPECT_EQ(table.entry[c.index], c.entry) << "entry " << c.index;
}

}  // namespace
