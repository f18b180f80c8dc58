// Little-endian loads and stores of stored numbers, byte by byte, and the other small
// pieces of stored formats (length-prefixed strings, I/O buffers).
//
// Every number the engine keeps in a file or a record image goes through these helpers so
// that the files are the same on every processor; no struct overlays, no alignment needs.
// Pure functions on caller-owned bytes; safe from any thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace veldor {

inline uint16_t LoadU16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t LoadU32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t LoadU64(const uint8_t* p) {
  return uint64_t(LoadU32(p)) | (uint64_t(LoadU32(p + 4)) << 32);
}
inline int16_t LoadI16(const uint8_t* p) { return int16_t(LoadU16(p)); }
inline int32_t LoadI32(const uint8_t* p) { return int32_t(LoadU32(p)); }
inline int64_t LoadI64(const uint8_t* p) { return int64_t(LoadU64(p)); }
inline double LoadDouble(const uint8_t* p) {
  uint64_t bits = LoadU64(p);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

inline void StoreU16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void StoreU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void StoreU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void StoreI16(uint8_t* p, int16_t v) { StoreU16(p, uint16_t(v)); }
inline void StoreI32(uint8_t* p, int32_t v) { StoreU32(p, uint32_t(v)); }
inline void StoreI64(uint8_t* p, int64_t v) { StoreU64(p, uint64_t(v)); }
inline void StoreDouble(uint8_t* p, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  StoreU64(p, bits);
}

// A length-prefixed string of at most `capacity` characters at `at` (a length byte, then
// the characters, unused bytes zero). Reading never goes past the area, whatever the
// length byte says; writing cuts the text to the capacity.
inline std::string LoadShortString(const uint8_t* at, int capacity) {
  size_t length = std::min<size_t>(at[0], size_t(capacity));
  return std::string(reinterpret_cast<const char*>(at + 1), length);
}
inline void StoreShortString(uint8_t* at, int capacity, std::string_view text) {
  size_t length = std::min<size_t>(text.size(), size_t(capacity));
  std::memset(at, 0, size_t(capacity) + 1);
  at[0] = uint8_t(length);
  std::memcpy(at + 1, text.data(), length);
}

// Grows an I/O buffer to hold `needed` bytes, in steps of 4096; never shrinks it.
inline void GrowBuffer(std::vector<uint8_t>& buffer, size_t needed) {
  constexpr size_t kStep = 4096;
  if (buffer.size() < needed) buffer.resize((needed + kStep - 1) / kStep * kStep);
}

// Copies a short piece of a record or key (a field slot, an index entry) in fixed-size
// moves, overlapping at the end and never touching a byte outside either range: a copy
// whose size is known only at run time otherwise becomes a library call or a string
// instruction whose start-up costs more than the copy, and these run once per field and
// row or per entry of a page.
inline void CopyShort(uint8_t* to, const uint8_t* from, size_t n) {
  if (n >= 16) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) std::memcpy(to + i, from + i, 16);
    if (i < n) std::memcpy(to + n - 16, from + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else {
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
  }
}

}  // namespace veldor
