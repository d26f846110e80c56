// SHA-256 of a byte buffer, as lowercase hex: whole renders are compared by it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

std::string Sha256Hex(const uint8_t* data, size_t size);
