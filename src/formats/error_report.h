// The "erreur: ..." messages of a generator run. They go to standard
// output, without a line feed, unless a caller on the same thread collects
// them (an embedding program that raises them as its own errors).
#ifndef ERROR_REPORT_H
#define ERROR_REPORT_H

#include <string>

// Prints (or collects) one message, printf-style.
void report_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// While alive, report_error on this thread appends to text instead of
// printing. Captures nest: the innermost one collects.
class error_capture {
 public:
  explicit error_capture(std::string *text);
  ~error_capture();
  error_capture(const error_capture &) = delete;
  error_capture &operator=(const error_capture &) = delete;

 private:
  std::string *previous_;
};

#endif
