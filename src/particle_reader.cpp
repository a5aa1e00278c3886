#include "particle_reader.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/stat.h>

#include "fixed_format.h"

namespace {

constexpr size_t chunk_size = size_t{1} << 20;

// Line-by-line view of a stream through one bounded buffer.
class line_source {
 public:
  explicit line_source(std::FILE *in) : in_(in), buffer_(new char[chunk_size + particle_line_max]) {}

  // Next line without its line feed. Returns false at the end of the stream
  // (read_failed() tells a read error apart), or for a line that is too
  // long or lacks its line feed (too_long() / unterminated()).
  bool next(const char **line, size_t *length) {
    for (;;) {
      const size_t available = end_ - begin_;
      const char *start = buffer_.get() + begin_;
      const size_t scan = available < particle_line_max + 1 ? available : particle_line_max + 1;
      const char *feed = static_cast<const char *>(std::memchr(start, '\n', scan));
      if (feed != nullptr) {
        *line = start;
        *length = static_cast<size_t>(feed - start);
        begin_ += *length + 1;
        return true;
      }
      if (available > particle_line_max) {
        too_long_ = true;
        return false;
      }
      if (eof_) {
        unterminated_ = available > 0;
        return false;
      }
      refill();
    }
  }

  bool read_failed() const { return read_failed_; }
  bool too_long() const { return too_long_; }
  bool unterminated() const { return unterminated_; }

 private:
  void refill() {
    const size_t available = end_ - begin_;
    std::memmove(buffer_.get(), buffer_.get() + begin_, available);
    begin_ = 0;
    end_ = available;
    const size_t got = std::fread(buffer_.get() + end_, 1, chunk_size + particle_line_max - end_, in_);
    end_ += got;
    if (got == 0) {
      eof_ = true;
      read_failed_ = std::ferror(in_) != 0;
    }
  }

  std::FILE *in_;
  std::unique_ptr<char[]> buffer_;
  size_t begin_ = 0, end_ = 0;
  bool eof_ = false, read_failed_ = false, too_long_ = false, unterminated_ = false;
};

bool starts_with(const char *line, size_t length, const char *prefix, size_t prefix_length) {
  return length >= prefix_length && std::memcmp(line, prefix, prefix_length) == 0;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The value of eight ASCII digits, first digit most significant; false if
// any byte is not a digit. Pairs, then fours, then all eight are combined
// inside one word.
inline bool eight_digit_value(const char *text, uint64_t *value) {
  uint64_t word;
  std::memcpy(&word, text, 8);
  const uint64_t digits = word - 0x3030303030303030ull;
  if ((((digits + 0x7676767676767676ull) | digits) & 0x8080808080808080ull) != 0) return false;
  uint64_t v = (digits * 10 + (digits >> 8)) & 0x00ff00ff00ff00ffull;
  v = (v * 100 + (v >> 16)) & 0x0000ffff0000ffffull;
  *value = (v * 10000 + (v >> 32)) & 0xffffffffull;
  return true;
}

}  // namespace

bool parse_fixed6(const char *text, size_t length, double *value) {
  const bool negative = length > 0 && text[0] == '-';
  const char *p = text + negative;
  const size_t rest = length - negative;
  if (rest == 3 && (std::memcmp(p, "inf", 3) == 0 || std::memcmp(p, "nan", 3) == 0)) {
    const double magnitude = p[0] == 'i' ? HUGE_VAL : std::nan("");
    *value = negative ? -magnitude : magnitude;
    return true;
  }
  // Digits, a point, exactly six digits; no leading zero before another
  // digit; at most the 309 integer digits of the largest double.
  if (rest < 8 || p[rest - 7] != '.') return false;
  const size_t int_digits = rest - 7;
  if (int_digits > 309 || (int_digits > 1 && p[0] == '0')) return false;
  uint64_t integer = 0;
  size_t i = 0;
  for (; i + 8 <= int_digits && i + 8 <= 16; i += 8) {
    uint64_t chunk;
    if (!eight_digit_value(p + i, &chunk)) return false;
    integer = integer * 100000000 + chunk;
  }
  for (; i < int_digits; ++i) {
    if (!is_digit(p[i])) return false;
    if (i < 19) integer = integer * 10 + static_cast<uint64_t>(p[i] - '0');
  }
  // The six decimals at once: the point and the digits as one word, each
  // byte checked to be a digit, then combined pairwise.
  uint64_t word;
  std::memcpy(&word, p + int_digits - 1, 8);  // last integer digit, point, six decimals
  const uint64_t digits = (word >> 16) - 0x0000303030303030ull;
  const uint64_t not_digit =
      ((digits + 0x0000767676767676ull) | digits) & 0x0000808080808080ull;
  if (not_digit != 0) return false;
  uint64_t pairs = (digits * 10 + (digits >> 8)) & 0x000000ff00ff00ffull;  // 3 pairs
  const uint32_t fraction = static_cast<uint32_t>((pairs & 0xff) * 10000 + ((pairs >> 16) & 0xff) * 100 +
                                                  ((pairs >> 32) & 0xff));

  // Exact shortcuts: below 2^53 millionths, n / 10^6 is one correctly
  // rounded division; an integer below 10^19 converts correctly rounded.
  // Both are what strtod returns. The rest goes to strtod.
  constexpr uint64_t two_pow_53 = uint64_t{1} << 53;
  double magnitude;
  if (int_digits <= 13 && integer * 1000000 + fraction < two_pow_53) {
    magnitude = static_cast<double>(integer * 1000000 + fraction) / 1000000.0;
  } else if (int_digits <= 19 && fraction == 0) {
    magnitude = static_cast<double>(integer);
  } else {
    char copy[fixed6_max_length + 1];
    std::memcpy(copy, p, rest);
    copy[rest] = '\0';
    errno = 0;
    magnitude = std::strtod(copy, nullptr);
    if (errno == ERANGE && std::isinf(magnitude)) return false;
  }
  *value = negative ? -magnitude : magnitude;
  return true;
}

bool read_particle_stream(std::FILE *in, particle_data *data, read_error *error) {
  static const char *const keys[7] = {"mass = ", "x_0 = ", "x_1 = ", "x_2 = ",
                                      "v_0 = ",  "v_1 = ",  "v_2 = "};
  static const size_t key_lengths[7] = {7, 6, 6, 6, 6, 6, 6};
  line_source source(in);
  long line_number = 0;
  int64_t index = 0;
  int state = 0;  // line within the section: header, 7 values, empty line
  double values[7];
  char header[32];
  size_t header_length = 0;
  // Every mass line of a galaxy-ic file is the same: parse it once.
  std::string previous_mass_text;
  double previous_mass = 0.0;

  // About 222 bytes a particle: reserving from the size saves the copies of
  // growing vectors.
  struct stat status;
  if (fstat(fileno(in), &status) == 0 && S_ISREG(status.st_mode)) {
    const size_t estimate = static_cast<size_t>(status.st_size) / 200 + 1;
    data->mass.reserve(estimate);
    data->pos.reserve(3 * estimate);
    data->vel.reserve(3 * estimate);
  }

  const auto fail = [&](long line, std::string what) {
    error->line = line;
    error->what = std::move(what);
    return false;
  };
  const auto expected_here = [&]() -> std::string {
    if (state == 0) return "\"" + std::string(header, header_length) + "\"";
    if (state == 8) return "an empty line";
    return "\"" + std::string(keys[state - 1]) + "\" and a number as %lf writes it";
  };

  for (;;) {
    if (state == 0) {
      std::memcpy(header, "[element", 8);
      header_length = 8 + format_unsigned(static_cast<uint64_t>(index), header + 8);
      header[header_length++] = ']';
    }
    const char *line;
    size_t length;
    if (!source.next(&line, &length)) {
      if (source.read_failed()) return fail(0, std::string("a readable file (") + std::strerror(errno) + ")");
      if (source.too_long()) {
        return fail(line_number + 1,
                    "a line of at most " + std::to_string(particle_line_max) + " bytes: " + expected_here());
      }
      if (source.unterminated()) return fail(line_number + 1, expected_here() + " ending with a line feed");
      if (state != 0) return fail(line_number + 1, expected_here() + ", not the end of the file");
      return true;
    }
    ++line_number;
    if (state == 0) {
      if (length != header_length || std::memcmp(line, header, length) != 0) {
        return fail(line_number, expected_here());
      }
      if (index == INT32_MAX) return fail(line_number, "at most 2147483647 sections");
    } else if (state == 8) {
      if (length != 0) return fail(line_number, expected_here());
      data->mass.push_back(values[0]);
      data->pos.insert(data->pos.end(), values + 1, values + 4);
      data->vel.insert(data->vel.end(), values + 4, values + 7);
      ++index;
      data->nb_element = index;
      state = 0;
      continue;
    } else {
      const size_t key_length = key_lengths[state - 1];
      if (!starts_with(line, length, keys[state - 1], key_length)) return fail(line_number, expected_here());
      const char *number = line + key_length;
      const size_t number_length = length - key_length;
      if (state == 1 && previous_mass_text.size() == number_length &&
          std::memcmp(previous_mass_text.data(), number, number_length) == 0) {
        values[0] = previous_mass;
      } else if (!parse_fixed6(number, number_length, &values[state - 1])) {
        return fail(line_number, expected_here());
      } else if (state == 1) {
        previous_mass_text.assign(number, number_length);
        previous_mass = values[0];
      }
    }
    ++state;
  }
}
