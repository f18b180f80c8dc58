// Little-endian loads and stores of stored numbers, byte by byte.
//
// Every number the engine keeps in a file or a record image goes through these helpers so
// that the files are the same on every processor; no struct overlays, no alignment needs.
// Pure functions on caller-owned bytes; safe from any thread.
#pragma once

#include <cstdint>
#include <cstring>

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

}  // namespace veldor
