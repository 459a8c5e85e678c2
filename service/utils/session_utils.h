// Finding the interactive user's session, a token of the user logged on there, and a
// process of a session by its executable name.
#pragma once

#include "platform/types.h"

namespace Utils {

// The session of the interactive user: the first active session, else the session
// attached to the console; 0 when there is none.
platform::DWORD GetCurrentSessionID();

// A token of the user logged on in `sessionId` (the caller closes it), taken from the
// session or, when that fails, from the user's shell; INVALID_HANDLE_VALUE on failure.
// Reverts the calling thread's impersonation.
platform::HANDLE GetActiveSessionToken(platform::DWORD sessionId);

// The first process of `sessionId` whose name begins with `exeName` (without regard to
// case); 0 when there is none.
platform::DWORD GetProcessIDInCurrentLogOn(platform::DWORD sessionId, const wchar_t* exeName);

// A primary token of the interactive user (the caller closes it): the linked, full
// token when the user's log-on token is a filtered one, else that token itself.
// ERROR_SUCCESS with `token` set, or the error that stopped it.
platform::DWORD GetElevatedUserToken(platform::HANDLE& token);

}  // namespace Utils
