// A private PulseAudio daemon with one null sink, for every suite that hears
// the sound as a player does: the daemon runs in a scratch folder of its own
// (no system daemon is touched), can be killed and started again on the same
// socket, and the sink's monitor is recorded as float stereo at 48 kHz.
#pragma once

#include "TempFolder.h"

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

// Why the daemon cannot be had here ("" when pulseaudio and parec are
// installed), for a suite to skip with.
std::string PulseServerMissing();

// The latency the server reports for one playing stream, in microseconds.
struct StreamLatency {
    long bufferUs = 0;
    long sinkUs = 0;
    long TotalUs() const { return bufferUs + sinkUs; }
};

// Energy of interleaved stereo from frame `from` to `to`, as root mean
// squares per channel.
struct Loudness {
    double left = 0;
    double right = 0;
    double Both() const { return (left + right) / 2; }
};
Loudness MeasureLoudness(const std::vector<float>& stereo, std::size_t from, std::size_t to);

// Whether some 100 ms of `stereo` (windows overlapping by half) is `heard`:
// a judgement by ear on the loudness of each side.
using Judgement = std::function<bool(const Loudness&)>;
bool HeardIn(const std::vector<float>& stereo, const Judgement& heard);
inline constexpr std::size_t kJudgedFrames = 4800;

// Sound on both sides, above the noise floor.
inline bool Sounding(const Loudness& l) { return l.left > 0.01 && l.right > 0.01; }

// One stream playing to a sink of the daemon.
struct PlayingStream {
    std::string client;  // its application.name
    std::string sink;    // the sink's name, such as bbsink
    StreamLatency latency;
};

class PulseServer {
public:
    static constexpr int kRate = 48000;
    static constexpr const char* kSinkDescription = "BarnblastTestSink";

    PulseServer();   // makes the scratch folder; starts nothing
    ~PulseServer();  // the recorder and the daemon killed, the folder removed
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Starts the daemon (again, after Kill) and waits until it answers; the
    // daemon's log in `error` when it does not.
    bool Start(std::string& error);
    // SIGKILL, as when a desktop's sound server dies; clients find out on
    // their own. The recorder ends with it.
    void Kill();
    // Stops the daemon where it stands (it answers nobody, as a hung server
    // does) or lets it go on.
    void Freeze(bool frozen);
    bool Running() const { return daemon_ > 0; }

    // The variables a client needs to reach this daemon and nothing else.
    std::vector<std::pair<std::string, std::string>> ClientEnvironment() const;
    // Sets them in this process (for the service run in the test itself).
    void UseInThisProcess() const;

    // Starts recording the sink's monitor, appending to what was recorded
    // before; true once the recorder's stream runs. `realTime`: the recorder
    // runs at a real-time priority above the player's (where chrt may), so
    // that a benchmark's load starves the player, not the measurement.
    bool StartRecording(std::string& error, bool realTime = false);
    void StopRecording();
    // Frames recorded so far, and a copy of them from frame `from` on
    // (interleaved left, right).
    std::size_t RecordedFrames() const;
    std::vector<float> Recorded(std::size_t from = 0) const;
    // Waits until `wanted` holds for the recording from frame `from` on,
    // looking again whenever more arrives; false after `patience`, a bound
    // for liveness only, or when the recorder has ended.
    bool WaitForRecording(std::size_t from, const std::function<bool(const std::vector<float>&)>& wanted,
                          std::chrono::milliseconds patience);
    // Waits until the recording from frame `from` on holds something `heard`.
    bool WaitToHear(std::size_t from, const Judgement& heard, std::chrono::milliseconds patience) {
        return WaitForRecording(
            from, [&](const std::vector<float>& stereo) { return HeardIn(stereo, heard); }, patience);
    }
    // Waits until `frames` more than `from` are recorded.
    bool WaitForFrames(std::size_t from, std::size_t frames, std::chrono::milliseconds patience);

    // What `pactl args...` prints; nullopt when it fails.
    std::optional<std::string> Pactl(const std::vector<std::string>& args) const;
    // Every stream now playing, as the server reports it.
    std::vector<PlayingStream> PlayingStreams() const;

    const std::filesystem::path& Folder() const { return root_.path(); }
    std::string Log() const;  // what the daemon wrote

private:
    void ReadRecorder(int fd);
    void EndRecorder();

    TempFolder root_{"barnblast-pulse"};
    pid_t daemon_ = -1;
    pid_t recorder_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable grew_;
    std::vector<float> recorded_;  // guarded by mutex_
    bool recording_ = false;       // guarded by mutex_
};

}  // namespace testsupport
