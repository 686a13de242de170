#include "ThreadPriority.h"

#include <windows.h>

namespace platform {

std::int64_t CurrentThreadNumber() { return static_cast<std::int64_t>(GetCurrentThreadId()); }

// SDL already runs its audio thread at the highest priority Windows gives
// a thread without asking the user.
bool RaiseAudioThread(std::int64_t /*thread*/) { return false; }

}  // namespace platform
