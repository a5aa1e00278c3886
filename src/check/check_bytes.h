// The checks' accumulators as bytes, to be merged on another rank: plain
// values and arrays in this machine's layout (every rank runs the same
// program on the same kind of machine).
#ifndef CHECK_BYTES_H
#define CHECK_BYTES_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

struct byte_writer {
  std::vector<unsigned char> bytes;
  template <class T>
  void put(const T &value) {
    static_assert(std::is_trivially_copyable<T>::value, "plain values only");
    const unsigned char *p = reinterpret_cast<const unsigned char *>(&value);
    bytes.insert(bytes.end(), p, p + sizeof value);
  }
  template <class T>
  void put_array(const T *values, size_t n) {
    put<uint64_t>(n);
    const unsigned char *p = reinterpret_cast<const unsigned char *>(values);
    bytes.insert(bytes.end(), p, p + n * sizeof(T));
  }
  void put_text(const std::string &text) { put_array(text.data(), text.size()); }
  // An array of bytes written in place: its count, once known, by
  // end_bytes(begin_bytes()).
  size_t begin_bytes() {
    put<uint64_t>(0);
    return bytes.size();
  }
  void end_bytes(size_t start) {
    const uint64_t n = bytes.size() - start;
    std::memcpy(bytes.data() + start - sizeof n, &n, sizeof n);
  }
};

struct byte_reader {
  const unsigned char *at = nullptr, *end = nullptr;
  bool ok = true;
  static byte_reader of(const std::vector<unsigned char> &bytes) { return {bytes.data(), bytes.data() + bytes.size()}; }
  template <class T>
  bool get(T *value) {
    if (!ok || static_cast<size_t>(end - at) < sizeof(T)) return ok = false;
    std::memcpy(value, at, sizeof(T));
    at += sizeof(T);
    return true;
  }
  // An array of at most most values.
  template <class T>
  bool get_array(std::vector<T> *values, uint64_t most = UINT64_MAX) {
    uint64_t n = 0;
    if (!get(&n) || n > most || n > static_cast<uint64_t>(end - at) / sizeof(T)) return ok = false;
    values->resize(static_cast<size_t>(n));
    if (n > 0) std::memcpy(values->data(), at, static_cast<size_t>(n) * sizeof(T));
    at += n * sizeof(T);
    return true;
  }
  // An array of bytes where it lies, without a copy: a reader of its own.
  bool get_bytes(byte_reader *part) {
    uint64_t n = 0;
    if (!get(&n) || n > static_cast<uint64_t>(end - at)) return ok = false;
    *part = byte_reader{at, at + n};
    at += n;
    return true;
  }
  bool get_text(std::string *text) {
    std::vector<char> chars;
    if (!get_array(&chars)) return false;
    text->assign(chars.begin(), chars.end());
    return true;
  }
};

#endif
