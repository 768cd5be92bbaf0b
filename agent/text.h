// Bounded text copies: the only way fixed-size text fields are written.
#ifndef TNMIBD_AGENT_TEXT_H_
#define TNMIBD_AGENT_TEXT_H_

#include <stddef.h>

// Copies src (null counts as empty) into dst of dstSize bytes, cutting it to
// dstSize - 1 characters; dst is always terminated when dstSize > 0. Returns
// the number of characters stored.
size_t copyText(char* dst, size_t dstSize, const char* src);

// Same, for at most maxChars characters of src (a value that is not terminated there).
size_t copyText(char* dst, size_t dstSize, const char* src, size_t maxChars);

// The same for a fixed array field, whose size the compiler knows.
template <size_t N>
inline size_t copyText(char (&dst)[N], const char* src) {
  return copyText(dst, N, src);
}

#endif  // TNMIBD_AGENT_TEXT_H_
