// Fixed byte orders of binary files, whatever the machine's own.
#ifndef BYTE_ORDER_H
#define BYTE_ORDER_H

#include <cstdint>
#include <cstring>

enum byte_order { little_endian, big_endian };

// Stores the low `bytes` bytes of value at out in order.
inline void store_uint(uint64_t value, int bytes, byte_order order, unsigned char *out) {
  for (int i = 0; i < bytes; ++i) {
    const int shift = 8 * (order == little_endian ? i : bytes - 1 - i);
    out[i] = static_cast<unsigned char>(value >> shift);
  }
}

inline uint64_t load_uint(const unsigned char *in, int bytes, byte_order order) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    const int shift = 8 * (order == little_endian ? i : bytes - 1 - i);
    value |= static_cast<uint64_t>(in[i]) << shift;
  }
  return value;
}

// A value as float32 (rounded to nearest) or float64, in order.
inline void store_real(double value, int bytes, byte_order order, unsigned char *out) {
  if (bytes == 4) {
    const float single = static_cast<float>(value);
    uint32_t bits;
    std::memcpy(&bits, &single, 4);
    store_uint(bits, 4, order, out);
  } else {
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    store_uint(bits, 8, order, out);
  }
}

inline double load_real(const unsigned char *in, int bytes, byte_order order) {
  if (bytes == 4) {
    const uint32_t bits = static_cast<uint32_t>(load_uint(in, 4, order));
    float single;
    std::memcpy(&single, &bits, 4);
    return single;
  }
  const uint64_t bits = load_uint(in, 8, order);
  double value;
  std::memcpy(&value, &bits, 8);
  return value;
}

#endif
