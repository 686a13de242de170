#include "PulseServer.h"

#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>

namespace testsupport {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string PulseServerMissing() {
    for (const char* program : {"pulseaudio", "parec", "pactl"}) {
        if (!OnPath(program)) return std::string(program) + " is not installed (Debian: pulseaudio pulseaudio-utils)";
    }
    return "";
}

PulseServer::PulseServer() {
    std::error_code ignored;
    for (const char* folder : {"run", "home", "state"}) fs::create_directories(root_ / folder, ignored);
    // The daemon refuses a runtime folder others may enter.
    fs::permissions(root_ / "run", fs::perms::owner_all, ignored);
}

PulseServer::~PulseServer() {
    StopRecording();
    KillAndReap(daemon_);
}

std::vector<std::pair<std::string, std::string>> PulseServer::ClientEnvironment() const {
    // The runtime folder and home too: a client must find no other daemon,
    // and no cookie or configuration of the machine's.
    return {{"PULSE_SERVER", "unix:" + (root_ / "run" / "pa.sock").string()},
            {"XDG_RUNTIME_DIR", (root_ / "run").string()},
            {"PULSE_RUNTIME_PATH", (root_ / "run").string()},
            {"PULSE_STATE_PATH", (root_ / "state").string()},
            {"HOME", (root_ / "home").string()}};
}

void PulseServer::UseInThisProcess() const {
    for (const auto& [name, value] : ClientEnvironment()) ::setenv(name.c_str(), value.c_str(), 1);
}

bool PulseServer::Start(std::string& error) {
    if (daemon_ > 0) return true;
    const fs::path socketPath = root_ / "run" / "pa.sock";
    std::error_code ignored;
    fs::remove(socketPath, ignored);
    const int log = ::open((root_ / "daemon.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    daemon_ = Spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                     "--use-pid-file=no", "--log-target=stderr",
                     "--load=module-native-protocol-unix socket=" + socketPath.string() + " auth-anonymous=1",
                     "--load=module-null-sink sink_name=bbsink rate=48000 channels=2 "
                     "sink_properties=device.description=" +
                         std::string(kSinkDescription)},
                    ClientEnvironment(), log, log);
    if (log >= 0) ::close(log);
    if (WaitToAnswer(daemon_, socketPath)) return true;
    error = "pulseaudio did not start: " + Log();
    return false;
}

void PulseServer::Kill() {
    KillAndReap(daemon_);
    EndRecorder();
}

void PulseServer::Freeze(bool frozen) {
    if (daemon_ > 0) ::kill(daemon_, frozen ? SIGSTOP : SIGCONT);
}

std::string PulseServer::Log() const {
    std::ifstream in(root_ / "daemon.log");
    return {std::istreambuf_iterator<char>(in), {}};
}

bool PulseServer::StartRecording(std::string& error, bool realTime) {
    StopRecording();
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    const std::size_t before = RecordedFrames();
    std::vector<std::string> command{"parec",        "-d",           "bbsink.monitor", "--format=float32le",
                                     "--rate=48000", "--channels=2", "--raw",          "--latency-msec=20"};
    if (realTime && OnPath("chrt")) command.insert(command.begin(), {"chrt", "-f", "6"});
    recorder_ = Spawn(command, ClientEnvironment(), pipe[1], -1);
    ::close(pipe[1]);
    {
        std::lock_guard lock(mutex_);
        recording_ = true;
    }
    reader_ = std::thread([this, fd = pipe[0]] { ReadRecorder(fd); });
    // A fresh null sink sleeps in blocks of up to 2 s; suspended and resumed
    // once the recorder is connected, it takes the recorder's 20 ms at once,
    // and from then on the recording keeps up with what is played.
    bool connected = false;
    for (const auto until = Clock::now() + std::chrono::seconds(20); !connected && Clock::now() < until;) {
        const auto outputs = Pactl({"list", "short", "source-outputs"});
        connected = outputs && !outputs->empty();  // the recorder is the only one
        if (!connected && RecordedFrames() == before) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!connected || !Pactl({"suspend-sink", "bbsink", "1"}) || !Pactl({"suspend-sink", "bbsink", "0"}) ||
        !WaitForFrames(before, 1, std::chrono::seconds(20))) {
        error = "parec records nothing: " + Log();
        StopRecording();
        return false;
    }
    return true;
}

void PulseServer::ReadRecorder(int fd) {
    std::vector<char> bytes;
    char chunk[16384];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
        const std::size_t whole = bytes.size() / (2 * sizeof(float)) * (2 * sizeof(float));
        {
            std::lock_guard lock(mutex_);
            const std::size_t at = recorded_.size();
            recorded_.resize(at + whole / sizeof(float));
            std::memcpy(recorded_.data() + at, bytes.data(), whole);
        }
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(whole));
        grew_.notify_all();
    }
    ::close(fd);
    {
        std::lock_guard lock(mutex_);
        recording_ = false;
    }
    grew_.notify_all();
}

void PulseServer::EndRecorder() {
    KillAndReap(recorder_);
    if (reader_.joinable()) reader_.join();
}

void PulseServer::StopRecording() { EndRecorder(); }

std::size_t PulseServer::RecordedFrames() const {
    std::lock_guard lock(mutex_);
    return recorded_.size() / 2;
}

std::vector<float> PulseServer::Recorded(std::size_t from) const {
    std::lock_guard lock(mutex_);
    if (2 * from >= recorded_.size()) return {};
    return {recorded_.begin() + static_cast<std::ptrdiff_t>(2 * from), recorded_.end()};
}

bool PulseServer::WaitForRecording(std::size_t from, const std::function<bool(const std::vector<float>&)>& wanted,
                                   std::chrono::milliseconds patience) {
    const auto until = Clock::now() + patience;
    std::unique_lock lock(mutex_);
    std::size_t seen = SIZE_MAX;
    for (;;) {
        if (recorded_.size() != seen) {
            seen = recorded_.size();
            const std::vector<float> part = 2 * from < seen
                                                ? std::vector<float>(recorded_.begin() + 2 * from, recorded_.end())
                                                : std::vector<float>{};
            lock.unlock();
            if (wanted(part)) return true;
            lock.lock();
            continue;
        }
        if (!recording_) return false;
        if (grew_.wait_until(lock, until) == std::cv_status::timeout && recorded_.size() == seen) return false;
    }
}

bool PulseServer::WaitForFrames(std::size_t from, std::size_t frames, std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    return grew_.wait_for(lock, patience, [&] { return recorded_.size() / 2 >= from + frames || !recording_; }) &&
           recorded_.size() / 2 >= from + frames;
}

std::optional<std::string> PulseServer::Pactl(const std::vector<std::string>& args) const {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return std::nullopt;
    std::vector<std::string> command{"pactl"};
    command.insert(command.end(), args.begin(), args.end());
    auto env = ClientEnvironment();
    env.emplace_back("LC_ALL", "C");
    pid_t pid = Spawn(command, env, pipe[1], -1);
    ::close(pipe[1]);
    std::string text;
    char chunk[4096];
    for (ssize_t got; (got = ::read(pipe[0], chunk, sizeof chunk)) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(pipe[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return text;
}

namespace {

// Each sink input's block of `pactl list sink-inputs`.
std::vector<std::string> SinkInputs(const std::string& listing) {
    std::vector<std::string> blocks;
    std::size_t at = listing.find("Sink Input #");
    while (at != std::string::npos) {
        const std::size_t next = listing.find("Sink Input #", at + 1);
        blocks.push_back(listing.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    return blocks;
}

}  // namespace

std::vector<PlayingStream> PulseServer::PlayingStreams() const {
    std::vector<PlayingStream> streams;
    const auto listing = Pactl({"list", "sink-inputs"});
    const auto sinks = Pactl({"list", "short", "sinks"});
    if (!listing || !sinks) return streams;
    std::map<std::string, std::string> sinkNames;  // by index
    std::istringstream sinkLines(*sinks);
    for (std::string index, name, rest; sinkLines >> index >> name && std::getline(sinkLines, rest);)
        sinkNames[index] = name;
    const std::regex buffer(R"(Buffer Latency: (\d+) usec)");
    const std::regex sink(R"(Sink Latency: (\d+) usec)");
    const std::regex sinkIndex(R"(\n\s*Sink: (\d+))");
    const std::regex name(R"re(application\.name = "([^"]*)")re");
    for (const std::string& block : SinkInputs(*listing)) {
        std::smatch b, s, i, n;
        PlayingStream stream;
        if (std::regex_search(block, b, buffer)) stream.latency.bufferUs = std::stol(b[1]);
        if (std::regex_search(block, s, sink)) stream.latency.sinkUs = std::stol(s[1]);
        if (std::regex_search(block, i, sinkIndex)) stream.sink = sinkNames[i[1]];
        if (std::regex_search(block, n, name)) stream.client = n[1];
        streams.push_back(stream);
    }
    return streams;
}

Loudness MeasureLoudness(const std::vector<float>& stereo, std::size_t from, std::size_t to) {
    to = std::min(to, stereo.size() / 2);
    Loudness loudness;
    if (to <= from) return loudness;
    for (std::size_t i = from; i < to; ++i) {
        loudness.left += double(stereo[2 * i]) * stereo[2 * i];
        loudness.right += double(stereo[2 * i + 1]) * stereo[2 * i + 1];
    }
    loudness.left = std::sqrt(loudness.left / double(to - from));
    loudness.right = std::sqrt(loudness.right / double(to - from));
    return loudness;
}

bool HeardIn(const std::vector<float>& stereo, const Judgement& heard) {
    for (std::size_t at = 0; at + kJudgedFrames <= stereo.size() / 2; at += kJudgedFrames / 2) {
        if (heard(MeasureLoudness(stereo, at, at + kJudgedFrames))) return true;
    }
    return false;
}

}  // namespace testsupport
