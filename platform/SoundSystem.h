// The system's own sound libraries, beneath the one the service plays
// through. A POSIX and a Windows version (posix/SoundSystem.cpp,
// windows/SoundSystem.cpp).
#pragma once

namespace platform {

// Keeps the sound system's own libraries from printing diagnostics of
// their own while SDL looks for a device (ALSA on Linux; nothing on
// Windows).
void QuietSoundSystem();

}  // namespace platform
