// The system's message texts for its error codes, the way FormatMessage gives them:
// one line ending in "\r\n", in US English. Only system messages are offered, with
// the inserts left alone; the texts are those of the codes the platform and the
// tools report.
#pragma once

#include <string>

#include "platform/types.h"

namespace platform {

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
inline constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
inline constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
inline constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;

inline constexpr DWORD LANG_NEUTRAL = 0x00;
inline constexpr DWORD LANG_ENGLISH = 0x09;
inline constexpr DWORD SUBLANG_DEFAULT = 0x01;
constexpr DWORD MAKELANGID(DWORD primary, DWORD sub) {
  return (sub << 10) | primary;
}

// Writes the text of system message `messageId` to `buffer` (`size` characters, the
// terminator included) and returns its length without the terminator. `flags` must
// be FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS; `languageId` 0 (the
// default) or MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT). On failure returns 0 and
// sets the last error: ERROR_INVALID_PARAMETER (other flags, no buffer),
// ERROR_RESOURCE_LANG_NOT_FOUND (another language), ERROR_MR_MID_NOT_FOUND (no such
// message), ERROR_INSUFFICIENT_BUFFER (it does not fit; the buffer is left alone).
DWORD FormatMessage(DWORD flags, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size);

// The text of system message `code` without its line end; empty when there is none.
// The thread's last error is left as it was, so it can be read after this call.
std::wstring SystemMessageText(DWORD code);

}  // namespace platform
