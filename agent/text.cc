#include "agent/text.h"

#include <string.h>

size_t copyText(char* dst, size_t dstSize, const char* src, size_t maxChars) {
  if (dst == nullptr || dstSize == 0) return 0;
  // Never read further than the field can hold, whatever the source's length.
  size_t n = src != nullptr ? strnlen(src, maxChars < dstSize - 1 ? maxChars : dstSize - 1) : 0;
  if (n > 0) memcpy(dst, src, n);
  dst[n] = '\0';
  return n;
}

size_t copyText(char* dst, size_t dstSize, const char* src) {
  return copyText(dst, dstSize, src, dstSize);
}
