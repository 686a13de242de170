// The service's one singleton policy, for the engine and the score poster:
// each is made on first use and never destroyed, because Sounds held in
// static objects are closed after the game has returned and must find the
// service still there. Their threads are stopped by CloseLib, or at exit when
// the program never called it (registered by InitLib).
#pragma once

namespace Corvane::detail {

template <typename T>
T& Singleton() {
    static T* instance = new T;
    return *instance;
}

}  // namespace Corvane::detail
