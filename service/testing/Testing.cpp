#include "Testing.h"

#include "common/NativeCount.h"
#include "mixer/Engine.h"

namespace Corvane::testing {

bool InitLibWithoutOutput(int slots, int streamAboveMs) {
    detail::EngineOptions options;
    options.openOutput = false;
    if (streamAboveMs >= 0) options.streamAboveMs = streamAboveMs;
    return detail::Engine::Get().Start(slots, options);
}

bool InitLibWithBlocks(int slots, int callbackFrames, int updateFrames) {
    detail::EngineOptions options;
    options.callbackFrames = callbackFrames;
    options.updateFrames = updateFrames;
    return detail::Engine::Get().Start(slots, options);
}

std::vector<float> Render(int frames) {
    std::vector<float> out(static_cast<std::size_t>(frames) * detail::kMixChannels);
    detail::Engine::Get().Render(out.data(), frames);
    return out;
}

void ServiceStreams() { detail::Engine::Get().ServiceStreams(); }

bool WaitSpeechIdle(int timeoutMs) { return detail::Engine::Get().WaitSpeechIdle(timeoutMs); }

void SetRenderObserver(void (*observer)(const float*, int)) { detail::Engine::Get().ObserveRender(observer); }

std::vector<NativeTally> NativeTallies() {
    using detail::Native;
    static constexpr const char* kNames[] = {"OpenAL device", "OpenAL context", "OpenAL source", "OpenAL buffer",
                                             "SDL audio",     "SDL device",     "capture file",  "curl easy",
                                             "curl multi",    "curl list"};
    static_assert(std::size(kNames) == static_cast<std::size_t>(Native::Count));
    std::vector<NativeTally> tallies;
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
        const auto& count = detail::CountOf(static_cast<Native>(i));
        tallies.push_back({kNames[i], count.taken.load(), count.returned.load()});
    }
    return tallies;
}

}  // namespace Corvane::testing
