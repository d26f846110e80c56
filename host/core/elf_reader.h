// A minimal reader of 64-bit little-endian ELF files: notes and the dynamic
// symbol table. It reads the file's bytes only, so a plug-in can be listed and
// inspected without running any of its code (no dlopen, no libelf).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lfhost {

struct ElfNote {
  std::string name;              // the note's owner name, without its NUL
  uint32_t type = 0;
  std::vector<uint8_t> descriptor;
};

struct ElfSymbol {
  std::string name;
  uint8_t binding = 0;           // STB_* (1 global, 2 weak)
  uint8_t type = 0;              // STT_* (1 object, 2 function)
  uint8_t visibility = 0;        // STV_*
  bool defined = false;          // false for symbols the file imports
};

class ElfFile {
 public:
  // Reads the whole file; throws HostError naming the file if it is not a
  // 64-bit little-endian ELF file or a header points outside it.
  static ElfFile Read(const std::string& path);
  static ElfFile FromBytes(std::vector<uint8_t> bytes, const std::string& label);

  // All notes, from the note sections (or, without section headers, from the
  // PT_NOTE segments).
  std::vector<ElfNote> Notes() const;
  // The symbols of the dynamic symbol table (.dynsym), in table order, without
  // the null entry.
  std::vector<ElfSymbol> DynamicSymbols() const;
  // Names of the symbols the file exports: defined, global or weak, default or
  // protected visibility.
  std::vector<std::string> ExportedSymbols() const;

 private:
  std::vector<uint8_t> bytes_;
  std::string label_;
};

}  // namespace lfhost
