#include "app/data/text_copy.h"

#include <cerrno>

namespace Korvo_Tallisk {

int CopyText(char16_t* dst, std::size_t dstSize, const char16_t* src) {
  if (dst == nullptr || dstSize == 0) return EINVAL;
  if (src == nullptr) {
    dst[0] = u'\0';
    return EINVAL;
  }
  for (std::size_t i = 0; i < dstSize; ++i) {
    dst[i] = src[i];
    if (src[i] == u'\0') return 0;
  }
  // No room for the terminator: take back what was written rather than leave a
  // truncated text behind.
  dst[0] = u'\0';
  return ERANGE;
}

}  // namespace Korvo_Tallisk
