// Speaks numbers with eSpeak NG on one thread of its own (eSpeak NG is not
// thread-safe), rendered into memory and handed to a sink (the mixer).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace Corvane::detail {

// Takes one whole utterance: mono 16-bit samples at `rate` per second.
// Called on the speech thread.
using SpeechSink = std::function<void(const std::vector<std::int16_t>& samples, int rate)>;

// The words eSpeak NG is given for a number: a negative one is "minus" and
// its magnitude, so -5 is "minus 5".
std::string NumberText(std::int32_t number);

class SpeechWorker {
public:
    SpeechWorker(SpeechSink sink, int wordsPerMinute, const std::string& voice);
    ~SpeechWorker();  // abandons pending speech and joins the thread

    // Queues a number; a newer request replaces one not yet spoken and
    // aborts one being synthesized.
    void Request(std::int32_t number);
    // Speaks from the next number on at `wordsPerMinute` (0: eSpeak NG's
    // own) with `voice` ("" for English).
    void Configure(int wordsPerMinute, const std::string& voice);
    // True once nothing is queued or being synthesized (tests only).
    bool WaitIdle(int timeoutMs);

    // eSpeak NG's sample callback.
    static int OnSamples(short* wav, int count, void* events);

private:
    void Run();
    // Hands the voice asked for to eSpeak NG; on the speech thread.
    void ApplyVoice(int wordsPerMinute, const std::string& voice);
    // True once a newer number or the end of the service makes this one moot.
    bool Abandoned();

    SpeechSink sink_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<std::int32_t> pending_;
    // The voice asked for, applied on the speech thread before the next number.
    int wordsPerMinute_ = 0;
    std::string voice_;
    bool voiceChanged_ = true;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace Corvane::detail
