#include "host/core/elf_reader.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "host/core/host_error.h"

namespace lfhost {
namespace {

// ELF64 header fields and constants used here (little-endian files only).
constexpr uint8_t kElfClass64 = 2;
constexpr uint8_t kElfDataLittle = 1;
constexpr uint32_t kSectionNote = 7;      // SHT_NOTE
constexpr uint32_t kSectionDynsym = 11;   // SHT_DYNSYM
constexpr uint32_t kSegmentNote = 4;      // PT_NOTE
constexpr uint16_t kSectionUndefined = 0; // SHN_UNDEF

struct Reader {
  const std::vector<uint8_t>& bytes;
  const std::string& label;

  void Need(uint64_t offset, uint64_t size) const {
    if (offset > bytes.size() || size > bytes.size() - offset) {
      throw HostError(label + ": not a valid ELF file (a header points past the end of the file)");
    }
  }
  template <typename T>
  T At(uint64_t offset) const {
    Need(offset, sizeof(T));
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
  }
  std::string CString(uint64_t offset, uint64_t limit) const {
    std::string text;
    while (offset < limit && offset < bytes.size() && bytes[offset] != 0) text += static_cast<char>(bytes[offset++]);
    return text;
  }
};

struct SectionHeader {
  uint32_t type;
  uint64_t offset, size, entrySize;
  uint32_t link;
};

std::vector<SectionHeader> Sections(const Reader& r) {
  const uint64_t tableOffset = r.At<uint64_t>(0x28);
  const uint16_t entrySize = r.At<uint16_t>(0x3a);
  const uint16_t count = r.At<uint16_t>(0x3c);
  std::vector<SectionHeader> sections;
  if (tableOffset == 0 || count == 0) return sections;
  if (entrySize < 0x40) throw HostError(r.label + ": not a valid ELF file (section header size)");
  for (uint16_t i = 0; i < count; ++i) {
    const uint64_t h = tableOffset + static_cast<uint64_t>(i) * entrySize;
    r.Need(h, 0x40);
    sections.push_back({r.At<uint32_t>(h + 4), r.At<uint64_t>(h + 0x18), r.At<uint64_t>(h + 0x20),
                        r.At<uint64_t>(h + 0x38), r.At<uint32_t>(h + 0x28)});
  }
  return sections;
}

// Notes are copied out, so the regions read may together be no larger than the
// file: headers that name the same bytes again and again would otherwise make a
// small file take any amount of memory. `covered` counts the bytes read so far.
void ParseNotes(const Reader& r, uint64_t offset, uint64_t size, uint64_t& covered, std::vector<ElfNote>& notes) {
  r.Need(offset, size);
  covered += size;
  if (covered > r.bytes.size()) throw HostError(r.label + ": not a valid ELF file (note sections overlap)");
  const uint64_t end = offset + size;
  uint64_t p = offset;
  auto align4 = [](uint64_t v) { return (v + 3) & ~uint64_t{3}; };
  while (p + 12 <= end) {
    const uint32_t nameSize = r.At<uint32_t>(p);
    const uint32_t descSize = r.At<uint32_t>(p + 4);
    ElfNote note;
    note.type = r.At<uint32_t>(p + 8);
    const uint64_t nameAt = p + 12;
    const uint64_t descAt = nameAt + align4(nameSize);
    if (descAt > end || descSize > end - descAt) {
      throw HostError(r.label + ": not a valid ELF file (a note runs past its section)");
    }
    note.name = r.CString(nameAt, nameAt + nameSize);
    note.descriptor.assign(r.bytes.begin() + static_cast<std::ptrdiff_t>(descAt),
                           r.bytes.begin() + static_cast<std::ptrdiff_t>(descAt + descSize));
    notes.push_back(std::move(note));
    p = descAt + align4(descSize);
  }
}

}  // namespace

ElfFile ElfFile::Read(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw HostError(path + ": cannot open the file");
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) throw HostError(path + ": cannot read the file");
  return FromBytes(std::move(bytes), path);
}

ElfFile ElfFile::FromBytes(std::vector<uint8_t> bytes, const std::string& label) {
  if (bytes.size() < 0x40 || std::memcmp(bytes.data(), "\x7f" "ELF", 4) != 0) {
    throw HostError(label + ": not an ELF shared library");
  }
  if (bytes[4] != kElfClass64 || bytes[5] != kElfDataLittle) {
    throw HostError(label + ": not a 64-bit little-endian ELF file");
  }
  ElfFile elf;
  elf.bytes_ = std::move(bytes);
  elf.label_ = label;
  return elf;
}

std::vector<ElfNote> ElfFile::Notes() const {
  const Reader r{bytes_, label_};
  std::vector<ElfNote> notes;
  bool sawNoteSection = false;
  uint64_t covered = 0;
  for (const SectionHeader& s : Sections(r)) {
    if (s.type != kSectionNote) continue;
    sawNoteSection = true;
    ParseNotes(r, s.offset, s.size, covered, notes);
  }
  if (sawNoteSection) return notes;
  // Stripped of section headers: the loader's view still lists the notes.
  const uint64_t tableOffset = r.At<uint64_t>(0x20);
  const uint16_t entrySize = r.At<uint16_t>(0x36);
  const uint16_t count = r.At<uint16_t>(0x38);
  if (tableOffset == 0 || count == 0) return notes;
  if (entrySize < 0x38) throw HostError(label_ + ": not a valid ELF file (program header size)");
  for (uint16_t i = 0; i < count; ++i) {
    const uint64_t h = tableOffset + static_cast<uint64_t>(i) * entrySize;
    r.Need(h, 0x38);
    if (r.At<uint32_t>(h) != kSegmentNote) continue;
    ParseNotes(r, r.At<uint64_t>(h + 0x08), r.At<uint64_t>(h + 0x20), covered, notes);
  }
  return notes;
}

std::vector<ElfSymbol> ElfFile::DynamicSymbols() const {
  const Reader r{bytes_, label_};
  const std::vector<SectionHeader> sections = Sections(r);
  std::vector<ElfSymbol> symbols;
  for (const SectionHeader& s : sections) {
    if (s.type != kSectionDynsym) continue;
    if (s.link >= sections.size() || s.entrySize < 24) {
      throw HostError(label_ + ": not a valid ELF file (dynamic symbol table)");
    }
    const SectionHeader& strings = sections[s.link];
    r.Need(s.offset, s.size);
    r.Need(strings.offset, strings.size);
    for (uint64_t e = s.offset + s.entrySize; e + 24 <= s.offset + s.size; e += s.entrySize) {
      ElfSymbol symbol;
      const uint32_t nameOffset = r.At<uint32_t>(e);
      const uint8_t info = r.At<uint8_t>(e + 4);
      symbol.binding = info >> 4;
      symbol.type = info & 0xf;
      symbol.visibility = r.At<uint8_t>(e + 5) & 0x3;
      symbol.defined = r.At<uint16_t>(e + 6) != kSectionUndefined;
      if (nameOffset < strings.size) {
        symbol.name = r.CString(strings.offset + nameOffset, strings.offset + strings.size);
      }
      symbols.push_back(std::move(symbol));
    }
  }
  return symbols;
}

std::vector<std::string> ElfFile::ExportedSymbols() const {
  std::vector<std::string> names;
  for (const ElfSymbol& s : DynamicSymbols()) {
    const bool globalOrWeak = s.binding == 1 || s.binding == 2;
    const bool visible = s.visibility == 0 || s.visibility == 3;  // default or protected
    if (s.defined && globalOrWeak && visible && !s.name.empty()) names.push_back(s.name);
  }
  return names;
}

}  // namespace lfhost
