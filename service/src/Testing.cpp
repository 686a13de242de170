#include "Testing.h"

#include "Engine.h"

namespace Corvane::testing {

bool InitLibWithoutOutput(int slots) {
    detail::EngineOptions options;
    options.openOutput = false;
    return detail::Engine::Get().Start(slots, options);
}

std::vector<float> Render(int frames) {
    std::vector<float> out(static_cast<std::size_t>(frames) * detail::kMixChannels);
    // Without a mixer there is nothing to render: silence.
    if (detail::Engine::Get().Running()) detail::Engine::Get().Render(out.data(), frames);
    return out;
}

bool WaitSpeechIdle(int timeoutMs) { return detail::Engine::Get().WaitSpeechIdle(timeoutMs); }

void SetRenderObserver(void (*observer)(const float*, int)) {
    detail::Engine::Get().renderObserver.store(observer, std::memory_order_release);
}

}  // namespace Corvane::testing
