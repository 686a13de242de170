#include "RecordingService.h"

#include "Corvane.h"
#include "FakePlatform.h"

#include <mutex>
#include <utility>

namespace recording {
namespace {

struct Log {
    std::mutex mutex;
    std::vector<Call> calls;
    std::map<std::string, int> lengths;
    std::vector<std::string> rounds;
    std::optional<std::pair<std::string, std::uint32_t>> token;
};

Log& L() {
    static Log* log = new Log;  // outlives the static sounds closed at exit
    return *log;
}

void Record(const std::string& what) {
    std::lock_guard lock(L().mutex);
    L().calls.push_back({fake::Now(), what});
}

std::string Base(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void Reset(const std::map<std::string, int>& lengthsMs) {
    std::lock_guard lock(L().mutex);
    L().calls.clear();
    L().lengths = lengthsMs;
    L().rounds.clear();
    L().token.reset();
}

std::vector<std::string> RoundRecords() {
    std::lock_guard lock(L().mutex);
    return L().rounds;
}

void AnswerRoundTokens(std::optional<std::pair<std::string, std::uint32_t>> answer) {
    std::lock_guard lock(L().mutex);
    L().token = std::move(answer);
}

std::vector<Call> Calls() {
    std::lock_guard lock(L().mutex);
    return L().calls;
}

std::vector<std::string> What() {
    std::vector<std::string> out;
    for (auto& c : Calls()) out.push_back(c.what);
    return out;
}

std::vector<std::string> On(const std::string& file) {
    std::vector<std::string> out;
    const std::string prefix = file + " ";
    for (auto& c : Calls())
        if (c.what.compare(0, prefix.size(), prefix) == 0) out.push_back(c.what.substr(prefix.size()));
    return out;
}

}  // namespace recording

namespace Corvane {

using recording::Record;

bool InitLib(int slots) {
    Record("InitLib(" + std::to_string(slots) + ")");
    return true;
}

void CloseLib() { Record("CloseLib()"); }

namespace {
const char* NameOf(Group group) {
    return group == Group::Music ? "Music" : group == Group::Speech ? "Speech" : "Effects";
}
}  // namespace

void SetGroupVolume(Group group, int percent) {
    Record("SetGroupVolume(" + std::string(NameOf(group)) + "," + std::to_string(percent) + ")");
}

void SetSpeechVoice(int wordsPerMinute, const std::string& voice) {
    Record("SetSpeechVoice(" + std::to_string(wordsPerMinute) + "," + voice + ")");
}

void SpeakNumber(std::int32_t number) { Record("SpeakNumber(" + std::to_string(number) + ")"); }

void SpeakText(const std::string& text) { Record("SpeakText(" + text + ")"); }

void SetDuck(int decibels) { Record("SetDuck(" + std::to_string(decibels) + ")"); }

void SetScreenReader(bool on) { Record(std::string("SetScreenReader(") + (on ? "on" : "off") + ")"); }

void SetOneEar(bool on) { Record(std::string("SetOneEar(") + (on ? "on" : "off") + ")"); }

bool SetHeadphones(bool on) {
    Record(std::string("SetHeadphones(") + (on ? "on" : "off") + ")");
    return true;
}

// The command line's calls, for the suites that link it: no device to list.
std::vector<std::string> AudioDevices() { return {}; }
void SetAudioDevice(const std::string& name) { Record("SetAudioDevice(" + name + ")"); }

void PostScore(std::string& game, std::int32_t score, std::string& name, std::string& site) {
    Record("PostScore(" + game + "," + std::to_string(score) + "," + name + "," + site + ")");
}

void SetRoundRecord(const std::string& record) {
    std::lock_guard lock(recording::L().mutex);
    recording::L().rounds.push_back(record);
}

bool GetRoundToken(const std::string& game, const std::string& site, std::uint32_t waitMs, std::string& token,
                   std::uint32_t& seed) {
    Record("GetRoundToken(" + game + "," + site + "," + std::to_string(waitMs) + ")");
    std::lock_guard lock(recording::L().mutex);
    if (!recording::L().token) return false;
    token = recording::L().token->first;
    seed = recording::L().token->second;
    return true;
}

// The double keeps only which file a sound holds.
struct Sound::Impl {
    std::mutex mutex;
    std::string file;  // "" while empty

    std::string Get() {
        std::lock_guard lock(mutex);
        return file;
    }
};

Sound::Sound() : impl_(std::make_unique<Impl>()) {}

// A sound made from a file is recorded as its Open alone: what the service
// does inside its constructor is the service's, not the game's.
Sound::Sound(const std::string& fileName) : Sound() { Open(fileName); }

Sound::~Sound() { Close(); }

bool Sound::Init(const std::string& fileName) { return Open(fileName); }

bool Sound::Open(const std::string& fileName) {
    const std::string file = recording::Base(fileName);
    Record(file + " Open(" + fileName + ")");
    std::lock_guard lock(impl_->mutex);
    impl_->file = file;
    return true;
}

void Sound::Play(int slot, bool loop, int pan, int volume) {
    if (auto v = impl_->Get(); !v.empty())
        Record(v + " Play(" + std::to_string(slot) + "," + (loop ? "true" : "false") + "," + std::to_string(pan) + "," +
               std::to_string(volume) + ")");
}

void Sound::Stop() {
    if (auto v = impl_->Get(); !v.empty()) Record(v + " Stop()");
}

void Sound::Pause() {
    if (auto v = impl_->Get(); !v.empty()) Record(v + " Pause()");
}

void Sound::Resume() {
    if (auto v = impl_->Get(); !v.empty()) Record(v + " Resume()");
}

void Sound::Close() {
    std::string v;
    {
        std::lock_guard lock(impl_->mutex);
        v = std::exchange(impl_->file, {});
    }
    if (!v.empty()) Record(v + " Close()");
}

void Sound::Pan(int pan) {
    if (auto v = impl_->Get(); !v.empty()) Record(v + " Pan(" + std::to_string(pan) + ")");
}

void Sound::Volume(int volume) {
    if (auto v = impl_->Get(); !v.empty()) Record(v + " Volume(" + std::to_string(volume) + ")");
}

void Sound::Pitch(int cents) {
    if (auto v = impl_->Get(); !v.empty()) Record(v + " Pitch(" + std::to_string(cents) + ")");
}

void Sound::SetGroup(Group group) {
    if (auto v = impl_->Get(); !v.empty()) Record(v + " SetGroup(" + NameOf(group) + ")");
}

// Whether a sound is speech is heard on the mix (the service's tests), not
// asked of the game's: recording it would change every prompt's calls.
void Sound::SetSpoken(bool) {}

int Sound::GetLength() const {
    const std::string v = impl_->Get();
    if (v.empty()) return 0;
    Record(v + " GetLength()");
    std::lock_guard lock(recording::L().mutex);
    auto it = recording::L().lengths.find(v);
    return it == recording::L().lengths.end() ? 1000 : it->second;
}

}  // namespace Corvane
