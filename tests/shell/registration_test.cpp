// What the module tells a plug-in loader: the registration call, the property
// list in its file, and its exported symbols.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "host/core/elf_reader.h"
#include "host/core/host_error.h"
#include "host/core/property_list.h"
#include "tests/host/module_fixture.h"

namespace {

using lftest::TestModule;

// The property list built from its published layout, independently of the
// module's assembly source.
std::vector<uint8_t> ExpectedPropertyList() {
  std::vector<uint8_t> b;
  auto u16 = [&](uint32_t v) { b.push_back(v & 0xff); b.push_back((v >> 8) & 0xff); };
  auto u32 = [&](uint32_t v) { u16(v & 0xffff); u16(v >> 16); };
  auto fourcc = [&](const char* c) {  // stored little-endian, first character most significant
    for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(c[i]));
  };
  auto property = [&](const char* key, const std::vector<uint8_t>& value, uint32_t length) {
    fourcc("QXRS");
    fourcc(key);
    u32(0);
    u32(length);
    b.insert(b.end(), value.begin(), value.end());
    while ((b.size() % 4) != 2) b.push_back(0);   // values start at offset 2 mod 4 (10-byte header)
  };
  auto pascal = [](const std::string& s, size_t padTo) {
    std::vector<uint8_t> v(padTo, 0);
    v[0] = static_cast<uint8_t>(s.size());
    std::copy(s.begin(), s.end(), v.begin() + 1);
    return v;
  };
  auto word = [](uint32_t v) { return std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; };
  u16(1);
  u32(0);
  u32(12);
  property("kind", {'T', 'K', 'F', 'e'}, 4);
  property("name", pascal("$$$/Montavo/VXEffect/Name/LensFlare=Lens Flare", 48), 48);
  property("catg", pascal("$$$/Montavo/VXEffect/Category/Generate=Generate", 48), 48);
  property("8664", {'E', 'f', 'f', 'e', 'c', 't', 'M', 'a', 'i', 'n', 0, 0}, 12);
  property("ePVR", word(2), 4);
  property("eSVR", {13, 0, 28, 0}, 4);
  property("eVER", word(0x80600), 4);
  property("eINF", {0, 0}, 2);
  property("eGLO", word(0x40), 4);
  property("eGL2", word(0x40), 4);
  property("eMNA", pascal("NRVN Lens Flare", 16), 16);
  property("vxFL", word(0), 4);
  return b;
}

TEST(PropertyListTest, NoteHoldsThe358PublishedBytes) {
  const std::vector<uint8_t> bytes = lfhost::ReadPropertyListBytes(LF_TEST_PLUGIN_PATH);
  const std::vector<uint8_t> expected = ExpectedPropertyList();
  ASSERT_EQ(expected.size(), 358u);
  EXPECT_EQ(bytes, expected);
}

TEST(PropertyListTest, TruncatedListIsRefusedWithTheLabel) {
  std::vector<uint8_t> bytes = lfhost::ReadPropertyListBytes(LF_TEST_PLUGIN_PATH);
  bytes.resize(100);
  try {
    lfhost::DecodePropertyList(bytes, "cut.so");
    FAIL() << "a cut list was accepted";
  } catch (const lfhost::HostError& e) {
    EXPECT_NE(std::string(e.what()).find("cut.so"), std::string::npos);
  }
}

// A module file without section headers: `count` program headers, `entrySize`
// bytes apart, each naming the one PT_NOTE segment, which holds a 400-byte note.
std::vector<uint8_t> NoteSegmentsFile(uint16_t count, uint16_t entrySize) {
  constexpr size_t kTable = 0x40, kNoteBytes = 400;
  const size_t stride = std::max<size_t>(entrySize, 0x38), note = kTable + count * stride;
  std::vector<uint8_t> b(note + kNoteBytes, 0);
  auto put = [&](size_t at, auto value) { std::memcpy(b.data() + at, &value, sizeof value); };
  std::memcpy(b.data(), "\x7f" "ELF\x02\x01\x01", 7);
  put(0x20, uint64_t{kTable});
  put(0x36, entrySize);
  put(0x38, count);
  for (size_t i = 0; i < count; ++i) {
    put(kTable + i * stride, uint32_t{4});
    put(kTable + i * stride + 0x08, uint64_t{note});
    put(kTable + i * stride + 0x20, uint64_t{kNoteBytes});
  }
  put(note, uint32_t{5});
  put(note + 4, uint32_t{kNoteBytes - 20});
  put(note + 8, lfhost::kPropertyListNoteType);
  std::memcpy(b.data() + note + 12, "PIPL", 5);
  return b;
}

// Headers that name the notes' bytes again and again are refused before the
// notes are copied, so a small file cannot take any amount of memory.
TEST(PropertyListTest, NotesReadOnceFromAModuleFile) {
  struct Case {
    uint16_t count, entrySize;
    std::string error;
  };
  const Case cases[] = {
      {1, 0x38, ""},
      {4, 0x38, "m.so: not a valid ELF file (note sections overlap)"},
      {2, 0, "m.so: not a valid ELF file (program header size)"},
  };
  for (const Case& c : cases) {
    const lfhost::ElfFile elf = lfhost::ElfFile::FromBytes(NoteSegmentsFile(c.count, c.entrySize), "m.so");
    try {
      EXPECT_EQ(lfhost::PropertyListBytes(elf, "m.so").size(), 380u) << c.count;
      EXPECT_EQ(c.error, "") << c.count;
    } catch (const lfhost::HostError& e) {
      EXPECT_EQ(e.what(), c.error) << c.count;
    }
  }
}

TEST(RegistrationTest, OneCallWithThePublishedArguments) {
  const auto& regs = TestModule().registrations();
  ASSERT_EQ(regs.size(), 1u);
  const lfhost::EffectRegistration& r = regs[0];
  EXPECT_TRUE(r.hostDataPassedOn);
  EXPECT_EQ(r.nameKey, "$$$/VX/Effect/Name/LensFlare=Lens Flare");
  EXPECT_EQ(r.matchName, "NRVN Lens Flare");
  EXPECT_EQ(r.categoryKey, "$$$/Pixwell/FiltersAndEffects/Category/Generate=Generate");
  EXPECT_EQ(r.entryPoint, "FilterMain");
  EXPECT_EQ(r.kind, 0x65464B54u);
  EXPECT_EQ(r.interfaceMajor, 13);
  EXPECT_EQ(r.interfaceMinor, 28);
  EXPECT_EQ(r.trailingWord, 0u);
  EXPECT_EQ(TestModule().entryFunctionResult(), 0);
  EXPECT_EQ(TestModule().displayName(), "Lens Flare");
}

TEST(RegistrationTest, RefusalComesBackFromTheEntryFunction) {
  lfhost::LoadOptions options;
  options.registerEffectAnswer = 42;
  try {
    lfhost::EffectModule::Load(LF_TEST_PLUGIN_PATH, options);
    FAIL() << "a refused registration loaded";
  } catch (const lfhost::HostError& e) {
    EXPECT_NE(std::string(e.what()).find("code 42"), std::string::npos) << e.what();
  }
}

TEST(ExportsTest, ExactlyThreeSymbolsLeaveTheModule) {
  std::vector<std::string> names = lfhost::ElfFile::Read(LF_TEST_PLUGIN_PATH).ExportedSymbols();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"FilterMain", "NRVN_Lens_Flare_G_zref", "PluginDataEntryFunction"}));
}

}  // namespace
