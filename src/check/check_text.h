// Text of the report's lines: printf-style, into a string.
#ifndef CHECK_TEXT_H
#define CHECK_TEXT_H

#include <string>

std::string format_text(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

#endif
