// Speaks numbers with eSpeak NG on one thread of its own (eSpeak NG is not
// thread-safe), rendered into memory and handed to the mixer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace Corvane::detail {

class Engine;

// The words eSpeak NG is given for a number: a negative one is "minus" and
// its magnitude, so -5 is "minus 5".
std::string NumberText(std::int32_t number);

class SpeechWorker {
public:
    explicit SpeechWorker(Engine& engine);
    ~SpeechWorker();  // abandons pending speech and joins the thread

    // Queues a number; a newer request replaces one not yet spoken and
    // aborts one being synthesized.
    void Request(std::int32_t number);
    // True once nothing is queued or being synthesized (tests only).
    bool WaitIdle(int timeoutMs);

    // eSpeak NG's sample callback.
    static int OnSamples(short* wav, int count, void* events);

private:
    void Run();
    // True once a newer number or the end of the service makes this one moot.
    bool Abandoned();

    Engine& engine_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<std::int32_t> pending_;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace Corvane::detail
