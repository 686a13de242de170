// The sound, speech and score service as the game uses it.
//
// Every call may come from any thread, also while another thread calls
// another operation on the same Sound. Calls made before InitLib or after
// CloseLib do nothing, except PostScore, which still keeps the score for the
// next start.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Corvane {

// Starts the mixer, the output device and the speech thread. `slots` is the
// number of exclusive playback slots (0..slots-1) that Sound::Play accepts.
// Returns false only when the mixer itself cannot start; a missing sound card
// is not a failure (the service then plays silently).
bool InitLib(int slots);

// Stops the output, joins every thread the service started and releases every
// sound. Scores not yet sent get a short grace, then wait in the outbox.
// Sounds closed afterwards are harmless no-ops.
void CloseLib();

// The longest sound that Close lets play out.
inline constexpr int kPlayOutMs = 1500;

// The kinds of sound a player sets a volume for.
enum class Group {
    Effects,  // every sound unless told otherwise: cluck, shot, prompts
    Music,
    Speech,  // the numbers SpeakNumber says
};

// Scales every sound of `group`: percent 0..100 of the level it is played
// at (100, the default, leaves it as it is; 50 is half the amplitude, -6 dB;
// linear in amplitude). Heard at once, also on sounds already playing, and
// kept for every sound played later, across CloseLib and InitLib.
void SetGroupVolume(Group group, int percent);

inline constexpr int kLowestPitch = -1200;
inline constexpr int kHighestPitch = 1200;

class Sound {
public:
    Sound();                                      // empty
    explicit Sound(const std::string& fileName);  // Open, then GetLength
    ~Sound();                                     // Close

    Sound(const Sound&) = delete;
    Sound& operator=(const Sound&) = delete;

    // Loads a file into this sound, replacing what it held. Same as Open.
    bool Init(const std::string& fileName);
    // Decodes a WAV or MP3 file. On failure one line on standard error names
    // the file and the reason, and the sound stays empty.
    bool Open(const std::string& fileName);

    // Starts the sound from its beginning and returns at once.
    // slot:   0..slots-1 plays on that exclusive slot, stopping any other sound
    //         playing there; -1 plays on no slot (one-shots never fail).
    // loop:   repeat seamlessly until Stop or Close.
    // pan:    0..255 as in Pan; -1 leaves the sound unpositioned (a stereo
    //         sound plays as recorded, a mono one centred).
    // volume: 0..255 as in Volume.
    void Play(int slot, bool loop, int pan, int volume);
    // Silences the sound; a later Play starts it again from the beginning.
    void Stop();
    // Silences a playing sound where it is, faded out over 2.5 ms as Close
    // fades it, so no click is heard; Resume plays on from there (a loop, a
    // streamed one too, keeps its place, give or take the few hundredths of
    // a second passed over while the fade is mixed), faded in as briefly.
    // Play still starts from the beginning. Pause does nothing to a sound
    // not playing, Resume nothing to one not paused.
    void Pause();
    void Resume();
    // Releases the sound; it is empty afterwards. A sound still playing is
    // heard to its end if it is a short effect played once (at most
    // kPlayOutMs long: a shot closed as soon as it is fired); anything else (a
    // loop, a spoken prompt) fades out over 2.5 ms and stops, so a prompt
    // closed or replayed never talks over itself.
    void Close();
    // Stereo position 0..255: 0 hard left, 128 centre, 255 hard right.
    // Applies to mono sounds, also while stopped; default centre.
    void Pan(int pan);
    // Loudness 0..255: 255 full (unity gain), 0 silent; linear in amplitude.
    // Also while stopped; default 255.
    void Volume(int volume);
    // Which group's volume scales this sound; Effects by default. Also while
    // playing; kept when the sound is opened again.
    void SetGroup(Group group);
    // Marks the sound as speech (a spoken prompt): while it plays, the music
    // steps down as SetDuck asks. Off by default; kept when opened again.
    void SetSpoken(bool spoken);
    // Pitch in cents (hundredths of a semitone), kLowestPitch..kHighestPitch:
    // 0, the default, plays the sound as recorded; +1200 an octave higher
    // (and twice as fast). Also while playing or stopped; kept by Play.
    void Pitch(int cents);
    // Length in milliseconds, 0 for an empty sound.
    int GetLength() const;

    // What the service keeps of a sound: its own business, so that another
    // implementation of this interface (a test's) defines its own.
    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Speaks a number aloud through the mixer, centred at full volume. Returns
// before the speech is over; a new number cuts off one still speaking.
void SpeakNumber(std::int32_t number);
// Speaks a short text (UTF-8) the same way; it and numbers cut each other off.
void SpeakText(const std::string& text);

// While speech plays (numbers, texts, spoken sounds, and for about as long
// as a text takes to say when the screen reader speaks it) the Music group
// steps down by `decibels`, over about 100 ms each way so that no click is
// heard. 0, the default, leaves the music as it is; kept across CloseLib and
// InitLib.
void SetDuck(int decibels);
inline constexpr int kDuckRampMs = 100;

// Speech through the player's own screen reader instead of the game's voice
// (speech-dispatcher on Linux; NVDA, else SAPI, on Windows), with its own
// voice, rate and volume. When there is none, one line says so and the game's
// voice speaks on. Off by default; kept across CloseLib and InitLib.
void SetScreenReader(bool on);

// Where the service's messages go: one line each, without its line end
// (a missing sound card, a file that cannot be opened, a score that cannot
// be kept). nullptr, the default, writes them to standard error. The sink is
// called from the service's threads and must not call back into it.
using MessageSink = void (*)(const char* line);
void SetMessageSink(MessageSink sink);

// How numbers are spoken from the next one on: `wordsPerMinute` from
// kSlowestSpeech to kFastestSpeech (eSpeak NG's range, a rate outside it
// taken as its nearest end; 0 keeps eSpeak NG's own, 175), and `voice`, the
// name of an installed eSpeak NG voice ("" for English, the default). An
// unknown voice is said in one line, and English speaks instead.
void SetSpeechVoice(int wordsPerMinute, const std::string& voice);
inline constexpr int kSlowestSpeech = 80;
inline constexpr int kFastestSpeech = 450;

// For a player who hears with one ear: both channels carry the same sound
// (the mix's left and right averaged), so nothing is lost to the other ear.
// Off by default; heard at once, kept across CloseLib and InitLib.
void SetOneEar(bool on);

// For headphones: positioned (mono) sounds rendered through OpenAL Soft's
// HRTF, heard as coming from around the head. Off by default: plain stereo
// panning, where pan 0 leaves the right channel silent. Heard at once, kept
// across CloseLib and InitLib. False when HRTF could not be turned on (the
// sound then stays plain stereo, said in one line).
bool SetHeadphones(bool on);

// Posts one score to the score table at `site` (a host name, optionally with
// a port; BARNBLAST_SCORE_SITE overrides it). The score is first stored in
// the outbox on disk, then sent in the background and retried until the
// table takes it, also after a restart. Returns within a millisecond or so.
void PostScore(std::string& game, std::int32_t score, std::string& name, std::string& site);

// The record of the round whose score is posted next (text the score table
// can replay): the next PostScore sends it with the score and keeps it with
// the score in the outbox, then forgets it. Without one a score posts alone.
void SetRoundRecord(const std::string& record);

// Asks the score table at `site` (as PostScore names it) for a token for a
// round of `game` about to start, and the generator seed the table chose
// for it. Waits at most `waitMs`; false, with `token` and `seed` untouched,
// when the table is unreachable, does not answer in time or refuses.
bool GetRoundToken(const std::string& game, const std::string& site, std::uint32_t waitMs, std::string& token,
                   std::uint32_t& seed);

// The output devices the sound system offers, by the names SetAudioDevice
// takes; empty when there is no sound system (one line is said why).
std::vector<std::string> AudioDevices();
// Plays through the output device called `name` from the next InitLib on;
// "" for the system's default. Without a call, BARNBLAST_AUDIO_DEVICE names
// it. A name the sound system does not list is said in one line, and the
// default device plays instead.
void SetAudioDevice(const std::string& name);

}  // namespace Corvane
