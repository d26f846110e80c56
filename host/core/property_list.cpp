#include "host/core/property_list.h"

#include <cstdio>
#include <cstring>

#include "host/core/elf_reader.h"
#include "host/core/host_error.h"

namespace lfhost {
namespace {

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

// Text values: a length byte, then that many characters.
std::string PascalString(const std::vector<uint8_t>& value) {
  if (value.empty()) return "";
  const size_t n = std::min<size_t>(value[0], value.size() - 1);
  return std::string(reinterpret_cast<const char*>(value.data()) + 1, n);
}

std::string CString(const std::vector<uint8_t>& value) {
  // An empty value has no storage to read (its data() may be null).
  if (value.empty()) return "";
  const auto* text = reinterpret_cast<const char*>(value.data());
  return std::string(text, strnlen(text, value.size()));
}

}  // namespace

std::string FourCCFromNumber(uint32_t code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[i] = static_cast<char>((code >> (24 - 8 * i)) & 0xff);
  return text;
}

std::string FourCCFromStored(const uint8_t* fourBytes) { return FourCCFromNumber(Read32(fourBytes)); }

PropertyList DecodePropertyList(const std::vector<uint8_t>& bytes, const std::string& label) {
  auto fail = [&](const std::string& what) {
    return HostError(label + ": malformed property list (" + what + ")");
  };
  constexpr size_t kHeaderBytes = 10;
  if (bytes.size() < kHeaderBytes) throw fail("shorter than its 10-byte header");
  PropertyList list;
  list.version = Read16(bytes.data());
  list.reserved = Read32(bytes.data() + 2);
  list.count = Read32(bytes.data() + 6);
  size_t p = kHeaderBytes;
  for (uint32_t i = 0; i < list.count; ++i) {
    if (bytes.size() - p < 16) throw fail("property " + std::to_string(i + 1) + " is cut short");
    Property prop;
    prop.offset = p;
    prop.vendor = FourCCFromStored(bytes.data() + p);
    prop.key = FourCCFromStored(bytes.data() + p + 4);
    prop.id = Read32(bytes.data() + p + 8);
    prop.length = Read32(bytes.data() + p + 12);
    p += 16;
    if (prop.length > bytes.size() - p) throw fail("the value of " + prop.key + " runs past the end");
    prop.value.assign(bytes.begin() + static_cast<std::ptrdiff_t>(p),
                      bytes.begin() + static_cast<std::ptrdiff_t>(p + prop.length));
    // Zero bytes up to the next multiple of 4 counted from the value's start.
    prop.padding = (4 - prop.length % 4) % 4;
    p += prop.length;
    if (prop.padding > bytes.size() - p) throw fail("the padding of " + prop.key + " runs past the end");
    p += prop.padding;
    list.properties.push_back(std::move(prop));
  }
  if (p != bytes.size()) throw fail(std::to_string(bytes.size() - p) + " bytes after the last property");
  list.totalBytes = p;
  return list;
}

std::vector<uint8_t> PropertyListBytes(const ElfFile& elf, const std::string& label) {
  for (const ElfNote& note : elf.Notes()) {
    if (note.name == kPropertyListNoteName && note.type == kPropertyListNoteType) return note.descriptor;
  }
  throw HostError(label + ": no property list (no \"PIPL\" note of type 16000)");
}

std::vector<uint8_t> ReadPropertyListBytes(const std::string& modulePath) {
  return PropertyListBytes(ElfFile::Read(modulePath), modulePath);
}

std::vector<std::string> DescribeProperties(const PropertyList& list) {
  std::vector<std::string> lines;
  lines.push_back("version " + std::to_string(list.version) + ", " + std::to_string(list.count) +
                  " properties, " + std::to_string(list.totalBytes) + " bytes");
  for (const Property& p : list.properties) {
    std::string shown;
    const auto& v = p.value;
    if (p.key == "kind" && v.size() == 4) {
      shown = FourCCFromStored(v.data());
    } else if ((p.key == "name" || p.key == "catg" || p.key == "eMNA") && !v.empty()) {
      shown = "\"" + PascalString(v) + "\"";
    } else if (p.key == "8664") {
      shown = "entry point \"" + CString(v) + "\"";
    } else if (p.key == "eSVR" && v.size() == 4) {
      shown = std::to_string(Read16(v.data())) + "." + std::to_string(Read16(v.data() + 2));
    } else if ((p.key == "eVER" || p.key == "eGLO" || p.key == "eGL2") && v.size() == 4) {
      shown = Hex(Read32(v.data()));
    } else if (v.size() == 4) {
      shown = std::to_string(Read32(v.data()));
    } else if (v.size() == 2) {
      shown = std::to_string(Read16(v.data()));
    } else {
      for (uint8_t b : v) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", b);
        shown += hex;
      }
    }
    char head[64];
    std::snprintf(head, sizeof head, "  %s %s id %u, %u bytes%s: ", p.vendor.c_str(), p.key.c_str(), p.id,
                  p.length, p.padding ? (" + " + std::to_string(p.padding) + " padding").c_str() : "");
    lines.push_back(head + shown);
  }
  return lines;
}

}  // namespace lfhost
