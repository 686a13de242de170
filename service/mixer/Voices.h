// The voice table: every sound the mixer handed out, the decoded buffers
// they share, the exclusive slots, and closed sounds still sounding. It
// holds no lock of its own: the engine calls it under its lock.
#pragma once

#include "mixer/AlObjects.h"
#include "mixer/Stream.h"

#include "Corvane.h"
#include "Files.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Corvane::detail {

// Decoded samples uploaded once into an OpenAL buffer, shared by every sound
// opened from the same file; freed when the last sound and the cache let go.
struct Buffer {
    AlBuffer id;
    int channels = 0;
    int lengthMs = 0;
    platform::FileVersion version;
};

// One sound's place in the mixer: a whole decoded buffer, or a stream. The
// sound data is declared first, so the source that plays it is given back
// before it.
struct Voice {
    std::shared_ptr<const Buffer> buffer;
    std::unique_ptr<Stream> stream;
    AlSource source;
    int slot = -1;
    int volume = 255;              // as last played or set, before its group's scale
    Group group = Group::Effects;  // whose volume scales it
    int pitchCents = 0;            // as last set; 0 plays as recorded
    bool closing = false;          // closed, playing out or fading: its gain is the table's
    bool spoken = false;           // a spoken prompt: the music ducks while it plays
    bool held = false;             // paused, or fading out to be: silent whatever its volume

    int Channels() const { return buffer ? buffer->channels : stream ? stream->Channels() : 0; }
    int LengthMs() const { return buffer ? buffer->lengthMs : stream ? stream->LengthMs() : 0; }
    // Gives back the source, then the sound data; the sound is empty after.
    void Empty() {
        if (stream && source) stream->Detach(source.Get());
        source.Reset();
        stream.reset();
        buffer.reset();
    }
};

// Pan 0..255 (0 hard left, 128 centre, 255 hard right) of a mono voice;
// stereo voices play as recorded.
void ApplyPan(const Voice& voice, int pan);
// Volume 0..255 as a gain, linear in amplitude.
float Gain(int volume);
// The voice's pitch (cents, kLowestPitch..kHighestPitch) on its source.
void ApplyPitch(const Voice& voice);

class VoiceTable {
public:
    explicit VoiceTable(int slots) : slots_(static_cast<std::size_t>(slots > 0 ? slots : 0)) {}
    // Sounds still held by the game are emptied; whatever it calls on them
    // afterwards does nothing. The cache goes last.
    ~VoiceTable();
    VoiceTable(const VoiceTable&) = delete;
    VoiceTable& operator=(const VoiceTable&) = delete;

    // The cached buffer of the file at `path`, if it is still that version.
    std::shared_ptr<const Buffer> Cached(const std::string& path, const platform::FileVersion& version) const;
    // A file changed on disk: sounds still playing its old version keep that
    // buffer until they end.
    void Cache(const std::string& path, std::shared_ptr<const Buffer> buffer) { cache_[path] = std::move(buffer); }

    // Sets up a fresh voice's source (placed relative to the listener, a
    // stereo one played as recorded, centred) and adds it to the table.
    void Adopt(const std::shared_ptr<Voice>& voice);
    // Puts `voice` on `slot` (if one of ours), stopping the sound there.
    void TakeSlot(const std::shared_ptr<Voice>& voice, int slot);
    // Takes the sound's last handle: lets a short one-shot play out, fades
    // anything else, or empties it at once when it is not playing.
    void Release(std::shared_ptr<Voice> voice);
    // Empties closed sounds that have ended or faded.
    void Reap();
    // Refills every streamed sound's queue.
    void ServiceStreams();
    // Calls `f` on every sound handed out and not closed.
    template <typename F>
    void ForEachOpen(F f) {
        for (const auto& weak : voices_) {
            if (auto voice = weak.lock(); voice && voice->source && !voice->closing) f(*voice);
        }
    }

private:
    using Clock = std::chrono::steady_clock;
    // A closed sound still sounding: played out, or fading until `stopAt`.
    struct Closing {
        std::shared_ptr<Voice> voice;
        Clock::time_point stopAt;
    };

    std::map<std::string, std::shared_ptr<const Buffer>> cache_;
    std::vector<std::weak_ptr<Voice>> slots_;
    std::vector<std::weak_ptr<Voice>> voices_;  // every sound handed out
    std::vector<Closing> closing_;
};

}  // namespace Corvane::detail
