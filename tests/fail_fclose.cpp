// Preloaded into a program under test: fclose of any stream but the three
// standard ones closes it, then reports EIO, as a failing network or
// quota-checking file system can at close time.
#include <dlfcn.h>

#include <cerrno>
#include <cstdio>

extern "C" int fclose(FILE *stream) {
  using fclose_function = int (*)(FILE *);
  static const auto real_fclose = reinterpret_cast<fclose_function>(dlsym(RTLD_NEXT, "fclose"));
  const bool standard = stream == stdin || stream == stdout || stream == stderr;
  const int result = real_fclose(stream);
  if (standard || result != 0) return result;
  errno = EIO;
  return EOF;
}
