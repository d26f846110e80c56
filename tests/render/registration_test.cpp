#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/commands.h"

namespace {

struct Registration {
  void* hostData;
  std::string nameKey, matchName, categoryKey, entryPoint;
  uint32_t kind;
  int32_t major, minor;
  uint32_t trailingWord;
};
std::vector<Registration> gRegistrations;
int32_t gAnswer = 0;

int32_t RecordRegistration(void* hostData, const char* nameKey, const char* matchName,
                           const char* categoryKey, const char* entryPoint, uint32_t kind,
                           int32_t major, int32_t minor, uint32_t trailingWord) {
  gRegistrations.push_back(
      {hostData, nameKey, matchName, categoryKey, entryPoint, kind, major, minor, trailingWord});
  return gAnswer;
}

TEST(RegistrationTest, OneEntryOneCallItsAnswerReturned) {
  int hostData = 0;
  for (int32_t answer : {0, -5}) {
    gRegistrations.clear();
    gAnswer = answer;
    EXPECT_EQ(PluginDataEntryFunction(&hostData, &RecordRegistration), answer);
    ASSERT_EQ(gRegistrations.size(), 1u);
    const Registration& r = gRegistrations[0];
    EXPECT_EQ(r.hostData, &hostData);
    EXPECT_EQ(r.nameKey, "$$$/VX/Effect/Name/LensFlare=Lens Flare");
    EXPECT_EQ(r.matchName, "NRVN Lens Flare");
    EXPECT_EQ(r.categoryKey, "$$$/Pixwell/FiltersAndEffects/Category/Generate=Generate");
    EXPECT_EQ(r.entryPoint, "FilterMain");
    EXPECT_EQ(r.kind, 0x65464B54u);  // 'eFKT'
    EXPECT_EQ(r.major, 13);
    EXPECT_EQ(r.minor, 28);
    EXPECT_EQ(r.trailingWord, 0u);
  }
}

}  // namespace
