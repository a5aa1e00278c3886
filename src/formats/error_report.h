// The "erreur: ..." messages of a generator run. They go to standard
// output, without a line feed, unless a caller on the same thread collects
// them (an embedding program that raises them as its own errors).
#ifndef ERROR_REPORT_H
#define ERROR_REPORT_H

#include <string>

// Prints (or collects) one message, printf-style.
void report_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Notes the errno behind a message about to be reported, for a collecting
// caller (the first one noted is kept); nothing when none collects.
void report_error_number(int error_number);

// While alive, report_error on this thread appends to text instead of
// printing, and report_error_number sets *error_number (when not null) if
// still 0. Captures nest: the innermost one collects.
class error_capture {
 public:
  explicit error_capture(std::string *text, int *error_number = nullptr);
  ~error_capture();
  error_capture(const error_capture &) = delete;
  error_capture &operator=(const error_capture &) = delete;

 private:
  std::string *previous_;
  int *previous_number_;
};

#endif
