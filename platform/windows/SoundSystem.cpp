#include "SoundSystem.h"

namespace platform {

// Windows' sound libraries print nothing of their own while SDL looks for a
// device.
void QuietSoundSystem() {}

}  // namespace platform
