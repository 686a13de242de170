// Speaks numbers and short texts with eSpeak NG on one thread of its own
// (eSpeak NG is not thread-safe), rendered into memory and handed to a sink
// (the mixer); or, when the player asks, through their own screen reader,
// from the same thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform {
class ScreenReader;
}

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

    // Queues a text; a newer request replaces one not yet spoken and aborts
    // one being synthesized (or cuts off the screen reader).
    void Request(std::string text);
    // Speaks from the next text on at `wordsPerMinute` (0: eSpeak NG's own)
    // with `voice` ("" for English).
    void Configure(int wordsPerMinute, const std::string& voice);
    // Hands the texts to the player's screen reader instead (connected at
    // once, on the speech thread); when there is none, says so once and
    // speaks on with our own voice.
    void UseScreenReader(bool on);
    // True once nothing is queued or being synthesized (tests only).
    bool WaitIdle(int timeoutMs);

    // eSpeak NG's sample callback.
    static int OnSamples(short* wav, int count, void* events);

private:
    void Run();
    // Hands the voice asked for to eSpeak NG; on the speech thread.
    void ApplyVoice(int wordsPerMinute, const std::string& voice);
    // True once a newer text or the end of the service makes this one moot.
    bool Abandoned();
    // Connects to or lets go of the screen reader as asked; on the speech thread.
    void ApplyScreenReader(bool on);
    // Our own voice: eSpeak NG, rendered and handed to the sink.
    void Synthesize(const std::string& text, bool voiceChanged, int wordsPerMinute, const std::string& voice);

    SpeechSink sink_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<std::string> pending_;
    // The voice asked for, applied on the speech thread before the next number.
    int wordsPerMinute_ = 0;
    std::string voice_;
    bool voiceChanged_ = true;
    bool screenReaderAsked_ = false;
    bool screenReaderChanged_ = false;
    std::unique_ptr<platform::ScreenReader> screenReader_;  // the speech thread's alone
    int rate_ = -1;                                         // eSpeak NG's sample rate once started; 0 when it cannot
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace Corvane::detail
