// Fuzzes the pid parser: names of decimal digits whose value fits an int give
// that value, and every other name gives -1 (the empty name gives 0).
#include <limits.h>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  const std::string_view digits(name.c_str());  // what the parser sees
  long long expected = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') {
      expected = -1;
      break;
    }
    expected = expected * 10 + (c - '0');
    if (expected > INT_MAX) {
      // Any further digit keeps it too large; any other character makes it -1.
      expected = -1;
      break;
    }
  }
  if (get_pid(name.c_str()) != expected) abort();
  return 0;
}
