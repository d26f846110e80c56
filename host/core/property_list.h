// The plug-in's property list ("PIPL" resource 16000), decoded field by field.
// The module carries it as an ELF note (name "PIPL", type 16000) whose
// descriptor is the list's bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/core/elf_reader.h"

namespace lfhost {

inline constexpr uint32_t kPropertyListNoteType = 16000;
inline constexpr const char* kPropertyListNoteName = "PIPL";

struct Property {
  std::string vendor;            // four-character code, e.g. "QXRS"
  std::string key;               // four-character code, e.g. "kind"
  uint32_t id = 0;
  uint32_t length = 0;           // value length as stored (excludes padding)
  std::vector<uint8_t> value;    // `length` bytes
  uint32_t padding = 0;          // zero bytes after the value
  size_t offset = 0;             // byte offset of the property in the list
};

struct PropertyList {
  uint16_t version = 0;
  uint32_t reserved = 0;
  uint32_t count = 0;
  std::vector<Property> properties;
  size_t totalBytes = 0;
};

// Decodes the list's bytes; throws HostError (mentioning `label`) when a length
// runs past the end or the count does not match.
PropertyList DecodePropertyList(const std::vector<uint8_t>& bytes, const std::string& label);

// Reads the list from the module file's note without loading the module.
// Returns the raw bytes; throws HostError if the file has no such note.
std::vector<uint8_t> ReadPropertyListBytes(const std::string& modulePath);
// The same from a file already read; `label` names it in messages.
std::vector<uint8_t> PropertyListBytes(const ElfFile& elf, const std::string& label);

// A four-character code as stored: a little-endian 32-bit number whose most
// significant byte is the code's first character.
std::string FourCCFromStored(const uint8_t* fourBytes);
std::string FourCCFromNumber(uint32_t code);

// One line per property, each value shown in its own terms ("kind  eFKT",
// "name  \"$$$/...=Lens Flare\"", "eSVR  13.28", ...), for `lensflare info`.
std::vector<std::string> DescribeProperties(const PropertyList& list);

}  // namespace lfhost
