// How a Sound is made and ends, the same for every implementation of the
// service (the real one and the tests' recording one): construction from a
// file opens it and asks its length; leaving scope closes it.
#include "Corvane.h"

namespace Corvane {

Sound::Sound(const std::string& fileName) {
    Open(fileName);
    GetLength();
}

Sound::~Sound() { Close(); }

bool Sound::Init(const std::string& fileName) { return Open(fileName); }

std::shared_ptr<detail::Voice> Sound::Handle() const {
    std::lock_guard lock(mutex_);
    return voice_;
}

}  // namespace Corvane
