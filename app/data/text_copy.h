// The bounds-checked copy of wide text that the app uses wherever text crosses into a
// buffer of fixed size: it copies the whole text or nothing, never a truncated part.
#pragma once

#include <cstddef>

namespace Korvo_Tallisk {

// Copies `src` with its terminating NUL into `dst`, which holds `dstSize` characters.
// Returns 0 on success. Otherwise returns EINVAL (a null argument or a size of 0) or
// ERANGE (the text with its NUL does not fit); `dst` is then left empty (dst[0] = 0)
// whenever it can be written at all. At most `dstSize` characters of `src` are read, so
// an unterminated source of that length fails rather than being read past.
int CopyText(char16_t* dst, std::size_t dstSize, const char16_t* src);

}  // namespace Korvo_Tallisk
