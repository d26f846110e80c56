#include <gtest/gtest.h>

#include <string>

#include "shell/string_table.h"

namespace {

TEST(StringTableTest, SevenEntriesAndATerminator) {
  const StringTableRecord* table = NRVN_Lens_Flare_G_zref;
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(std::string(table->tableName), "NRVN_Lens_Flare");
  ASSERT_EQ(table->entryCount, 8u);

  const char* const texts[] = {
      "$$$/VX/Lens_Flare/LStr/0000=Lens Flare, v%ld.%ld#{cr}#{cr}Generate a synthetic lens flare.",
      "$$$/VX/Lens_Flare/LStr/0001=Flare Brightness",
      "$$$/VX/Lens_Flare/LStr/0002=Flare Center",
      "$$$/VX/Lens_Flare/LStr/0003=Lens Type",
      "$$$/VX/Lens_Flare/LStr/0004=50-300mm Zoom|35mm Prime|105mm Prime",
      "$$$/VX/Lens_Flare/LStr/0005=Not enough memory to execute Lens Flare.",
      "$$$/VX/Lens_Flare/LStr/0006=Blend With Original",
  };
  for (int i = 0; i < 7; ++i) {
    const StringEntry& entry = table->entries[i];
    ASSERT_NE(entry.text, nullptr) << i;
    EXPECT_EQ(std::string(entry.text), texts[i]);
    EXPECT_EQ(entry.field1, 0u);
    EXPECT_EQ(entry.field2, 0u);
    EXPECT_EQ(entry.field3, 0u);
  }
  const StringEntry& terminator = table->entries[7];
  EXPECT_EQ(terminator.text, nullptr);
  EXPECT_EQ(terminator.field1, UINT64_MAX);
  EXPECT_EQ(terminator.field2, UINT64_MAX);
  EXPECT_EQ(terminator.field3, 0u);
}

}  // namespace
