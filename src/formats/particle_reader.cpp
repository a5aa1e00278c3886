#include "particle_reader.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/stat.h>

#include "fixed_format.h"

namespace {

constexpr size_t chunk_size = size_t{1} << 20;

}  // namespace

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

namespace {

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

bool parse_particle_number(const char *text, size_t length, double *value) {
  if (parse_fixed6(text, length, value)) return true;
  // A file in other units than SI: the shortest text of each double, and
  // only that text (no other spelling of the same value).
  if (length == 0 || length > shortest_max_length) return false;
  const std::from_chars_result result = std::from_chars(text, text + length, *value);
  if (result.ec != std::errc() || result.ptr != text + length) return false;
  char canonical[shortest_max_length];
  return format_shortest(*value, canonical) == length && std::memcmp(canonical, text, length) == 0;
}

namespace {

const char *const keys[7] = {"mass = ", "x_0 = ", "x_1 = ", "x_2 = ", "v_0 = ", "v_1 = ", "v_2 = "};
const size_t key_lengths[7] = {7, 6, 6, 6, 6, 6, 6};

}  // namespace

struct text_particle_reader {
  explicit text_particle_reader(std::FILE *in) : source(in) {}
  line_source source;
  long line_number = 0;
  int64_t index = 0;
  int state = 0;  // line within the section: header, 7 values, empty line
  double values[7] = {0, 0, 0, 0, 0, 0, 0};
  char header[32] = {0};
  size_t header_length = 0;
  // Every mass line of a galaxy-ic file is the same: parse it once.
  std::string previous_mass_text;
  double previous_mass = 0.0;

  std::string expected_here() const {
    if (state == 0) return "\"" + std::string(header, header_length) + "\"";
    if (state == 8) return "an empty line";
    return "\"" + std::string(keys[state - 1]) + "\" and a number (as %lf or the shortest form writes it)";
  }
};

text_particle_reader *begin_text_read(std::FILE *in) { return new text_particle_reader(in); }

void end_text_read(text_particle_reader *reader) { delete reader; }

namespace {

// Why the source stopped: the end of a well-formed file (true), or a fault.
bool judge_end(const text_particle_reader &r, read_error *error) {
  const auto fail = [&](long line, std::string what) {
    error->line = line;
    error->what = std::move(what);
    return false;
  };
  if (r.source.read_failed()) return fail(0, std::string("a readable file (") + std::strerror(errno) + ")");
  if (r.source.too_long()) {
    return fail(r.line_number + 1,
                "a line of at most " + std::to_string(particle_line_max) + " bytes: " + r.expected_here());
  }
  if (r.source.unterminated()) return fail(r.line_number + 1, r.expected_here() + " ending with a line feed");
  if (r.state != 0) return fail(r.line_number + 1, r.expected_here() + ", not the end of the file");
  return true;
}

// One value line of the current section into r.values.
bool read_value_line(text_particle_reader &r, const char *line, size_t length) {
  const size_t key_length = key_lengths[r.state - 1];
  if (!starts_with(line, length, keys[r.state - 1], key_length)) return false;
  const char *number = line + key_length;
  const size_t number_length = length - key_length;
  if (r.state == 1 && r.previous_mass_text.size() == number_length &&
      std::memcmp(r.previous_mass_text.data(), number, number_length) == 0) {
    r.values[0] = r.previous_mass;
    return true;
  }
  if (!parse_particle_number(number, number_length, &r.values[r.state - 1])) return false;
  if (r.state == 1) {
    r.previous_mass_text.assign(number, number_length);
    r.previous_mass = r.values[0];
  }
  return true;
}

}  // namespace

read_status read_text_chunk(text_particle_reader *reader, particle_data *data, size_t capacity,
                            read_error *error) {
  text_particle_reader &r = *reader;
  size_t added = 0;
  for (;;) {
    if (r.state == 0) {
      std::memcpy(r.header, "[element", 8);
      r.header_length = 8 + format_unsigned(static_cast<uint64_t>(r.index), r.header + 8);
      r.header[r.header_length++] = ']';
    }
    const char *line;
    size_t length;
    if (!r.source.next(&line, &length)) return judge_end(r, error) ? read_done : read_failed;
    ++r.line_number;
    bool ok = true;
    if (r.state == 0) {
      ok = length == r.header_length && std::memcmp(line, r.header, length) == 0;
      if (ok && r.index == INT32_MAX) {
        error->line = r.line_number;
        error->what = "at most 2147483647 sections";
        return read_failed;
      }
    } else if (r.state == 8) {
      ok = length == 0;
    } else {
      ok = read_value_line(r, line, length);
    }
    if (!ok) {
      error->line = r.line_number;
      error->what = r.expected_here();
      return read_failed;
    }
    if (r.state < 8) {
      ++r.state;
      continue;
    }
    data->mass.push_back(r.values[0]);
    data->pos.insert(data->pos.end(), r.values + 1, r.values + 4);
    data->vel.insert(data->vel.end(), r.values + 4, r.values + 7);
    data->type.push_back(1);
    ++data->nb_element;
    ++r.index;
    r.state = 0;
    if (++added == capacity) return read_more;
  }
}

bool read_particle_stream(std::FILE *in, particle_data *data, read_error *error) {
  // About 222 bytes a particle: reserving from the size saves the copies of
  // growing vectors.
  struct stat status;
  if (fstat(fileno(in), &status) == 0 && S_ISREG(status.st_mode)) {
    const size_t estimate = static_cast<size_t>(status.st_size) / 200 + 1;
    data->mass.reserve(estimate);
    data->pos.reserve(3 * estimate);
    data->vel.reserve(3 * estimate);
    data->type.reserve(estimate);
  }
  std::unique_ptr<text_particle_reader> reader(begin_text_read(in));
  read_status result;
  while ((result = read_text_chunk(reader.get(), data, SIZE_MAX, error)) == read_more) {
  }
  return result == read_done;
}
