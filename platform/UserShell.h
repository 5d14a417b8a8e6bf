// Opening an address as the signed-in user. The installer runs elevated: a
// browser it started would run elevated too, on the user's own profile,
// whose extensions, settings and helper programs any of the user's
// unelevated programs can change. The desktop's shell (Explorer, running
// unelevated) is asked to open it instead.
#pragma once

#include <string>

namespace platform {

// Asks the desktop's shell to open AAddress as it would a double-clicked
// item. COM must be running on the calling thread. False when there is no
// such shell to ask (none running, or another one) or it refused: the
// address is then not opened at all.
bool OpenAsDesktopUser(const std::wstring& AAddress);

}  // namespace platform
