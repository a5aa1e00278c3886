// Fixed-point formatting of doubles, byte for byte as printf("%lf") writes
// them in the C locale, without going through printf.
#ifndef FIXED_FORMAT_H
#define FIXED_FORMAT_H

#include <cstddef>
#include <cstdint>

// Longest text format_fixed6 writes: sign, 309 integer digits of DBL_MAX,
// the point and six decimals.
constexpr size_t fixed6_max_length = 1 + 309 + 1 + 6;

// The formatters store whole 8-byte words: they may overwrite up to this
// many bytes after the text they return, which later writes cover.
constexpr size_t format_slack = 8;

// Writes value with six decimals as "%lf" does (correctly rounded, ties to
// even, "-0.000000" for negative zero, "inf"/"nan" spellings) into out,
// which must hold fixed6_max_length + format_slack bytes. No terminator.
// Returns the length of the text.
size_t format_fixed6(double value, char *out);

// Longest text format_shortest writes ("-2.2250738585072014e-308").
constexpr size_t shortest_max_length = 24;

// Writes the shortest text that reads back to value exactly (fixed or
// exponent form, whichever is shorter, as std::to_chars chooses; "inf",
// "-inf", "nan", "-nan" otherwise) into out, which must hold
// shortest_max_length bytes. No terminator. Returns the length.
size_t format_shortest(double value, char *out);

// Writes value in decimal, as "%d" does for non-negative values, into out,
// which must hold 20 + format_slack bytes. No terminator. Returns the
// length of the text.
size_t format_unsigned(uint64_t value, char *out);

#endif
