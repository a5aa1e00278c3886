// Preloaded into a program under test: malloc (calloc, aligned_alloc) of
// more than $FAIL_MALLOC_ABOVE bytes fails, as it does when the address space or the
// machine's memory runs out, whatever the program estimated beforehand.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" void *__libc_malloc(size_t size);

extern "C" void *malloc(size_t size) {
  static const size_t limit = [] {
    const char *text = std::getenv("FAIL_MALLOC_ABOVE");
    return text != nullptr ? static_cast<size_t>(std::strtoull(text, nullptr, 10)) : SIZE_MAX;
  }();
  return size > limit ? nullptr : __libc_malloc(size);
}

extern "C" void *__libc_calloc(size_t count, size_t size);

extern "C" void *calloc(size_t count, size_t size) {
  const char *text = std::getenv("FAIL_MALLOC_ABOVE");
  const size_t limit = text != nullptr ? static_cast<size_t>(std::strtoull(text, nullptr, 10)) : SIZE_MAX;
  return size != 0 && count > limit / size ? nullptr : __libc_calloc(count, size);
}

extern "C" void *__libc_memalign(size_t alignment, size_t size);

extern "C" void *aligned_alloc(size_t alignment, size_t size) {
  const char *text = std::getenv("FAIL_MALLOC_ABOVE");
  const size_t limit = text != nullptr ? static_cast<size_t>(std::strtoull(text, nullptr, 10)) : SIZE_MAX;
  return size > limit ? nullptr : __libc_memalign(alignment, size);
}
