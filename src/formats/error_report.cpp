#include "error_report.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

thread_local std::string *collected = nullptr;
thread_local int *collected_number = nullptr;

}  // namespace

void report_error(const char *format, ...) {
  va_list args;
  va_start(args, format);
  if (collected == nullptr) {
    std::vprintf(format, args);
    va_end(args);
    return;
  }
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (length > 0) {
    std::vector<char> text(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    collected->append(text.data(), static_cast<size_t>(length));
  }
  va_end(again);
}

void report_error_number(int error_number) {
  if (collected_number != nullptr && *collected_number == 0) *collected_number = error_number;
}

error_capture::error_capture(std::string *text, int *error_number)
    : previous_(collected), previous_number_(collected_number) {
  collected = text;
  collected_number = error_number;
}

error_capture::~error_capture() {
  collected = previous_;
  collected_number = previous_number_;
}
