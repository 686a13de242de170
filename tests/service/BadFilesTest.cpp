// A sound file that cannot be played leaves an empty sound and one message.
#include "AudioFiles.h"
#include "Corvane.h"
#include "decoding/Decoder.h"
#ifndef _WIN32
#include "HostileFiles.h"
#endif
#include "Testing.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

namespace {

using Corvane::Sound;

std::string WriteBytes(const std::string& name, const std::string& bytes) {
    const std::string path = (testfiles::TempDir() / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void PutLe(std::string& bytes, std::size_t at, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// A canonical 44-byte WAV header announcing `dataBytes` of audio.
std::string WavHeader(int channels, int rate, int bitsPerSample, int formatTag, std::uint32_t dataBytes) {
    std::string h = "RIFF????WAVEfmt ????????????????????data????";
    PutLe(h, 4, 36 + dataBytes, 4);
    PutLe(h, 16, 16, 4);
    PutLe(h, 20, formatTag, 2);
    PutLe(h, 22, channels, 2);
    PutLe(h, 24, rate, 4);
    PutLe(h, 28, rate * channels * bitsPerSample / 8, 4);
    PutLe(h, 32, channels * bitsPerSample / 8, 2);
    PutLe(h, 34, bitsPerSample, 2);
    PutLe(h, 40, dataBytes, 4);
    return h;
}

// MPEG-1 layer III frames, 128 kbit/s, 44.1 kHz stereo, whose side
// information and main data are all zero: each decodes to 1152 frames of
// silence. The first is a Xing header claiming `claimedFrames`.
std::string SilentMp3(int frames, std::uint32_t claimedFrames) {
    constexpr std::size_t kFrameBytes = 417;  // 144 * 128000 / 44100
    std::string bytes;
    for (int i = 0; i < frames; ++i) {
        std::string frame(kFrameBytes, '\0');
        frame[0] = static_cast<char>(0xFF);
        frame[1] = static_cast<char>(0xFB);
        frame[2] = static_cast<char>(0x90);
        bytes += frame;
    }
    const std::size_t xing = 4 + 32;  // after the header and stereo side information
    bytes.replace(xing, 4, "Xing");
    const unsigned char fields[] = {0,
                                    0,
                                    0,
                                    1,  // flags: a frame count follows
                                    static_cast<unsigned char>(claimedFrames >> 24),
                                    static_cast<unsigned char>(claimedFrames >> 16),
                                    static_cast<unsigned char>(claimedFrames >> 8),
                                    static_cast<unsigned char>(claimedFrames)};
    bytes.replace(xing + 4, sizeof fields, reinterpret_cast<const char*>(fields), sizeof fields);
    return bytes;
}

class BadFiles : public ::testing::TestWithParam<std::pair<const char*, const char*>> {
protected:
    void SetUp() override { ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5)); }
    void TearDown() override { Corvane::CloseLib(); }
};

std::string MakeBadFile(const std::string& kind) {
    if (kind == "missing") return (testfiles::TempDir() / "nothing-here.wav").string();
    if (kind == "empty") return WriteBytes("empty.wav", "");
    if (kind == "folder") return testfiles::TempDir().string();
    if (kind == "text") return WriteBytes("notes.wav", "these are not the sounds you are looking for\n");
    if (kind == "random") {
        std::string noise(4096, '\0');
        for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
        return WriteBytes("noise.mp3", noise);
    }
#ifndef _WIN32  // no named pipes, devices or permission bits of this kind on Windows
    if (kind == "fifo") {
        const std::string path = (testfiles::TempDir() / "pipe.wav").string();
        ::mkfifo(path.c_str(), 0600);
        return path;
    }
    if (kind == "device") return "/dev/null";
    if (kind == "unreadable") {
        const std::string path = testfiles::WriteWav("locked.wav", testfiles::Sine(4800), 1);
        ::chmod(path.c_str(), 0200);
        return path;
    }
#endif
    if (kind == "toolong") {
        // Ten minutes and one second of 48 kHz stereo float, left sparse:
        // a whole, valid file that is refused before any of it is read.
        const std::uint32_t dataBytes = 601u * 48000 * 2 * 4;
        const std::string path = WriteBytes("long.wav", WavHeader(2, 48000, 32, 3, dataBytes));
        std::filesystem::resize_file(path, 44 + dataBytes);
        return path;
    }
    if (kind == "mpeginwav") return WriteBytes("mpeg.wav", WavHeader(2, 44100, 0, 0x55, 4) + "\xFF\xFB\x90\x00");
    if (kind == "mp3noise") {
        // Frame sync, then noise: the MP3 decoder finds nothing it can use.
        std::string noise(4096, '\0');
        for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
        return WriteBytes("noise2.mp3", "\xFF\xFB\x90\x00" + noise);
    }
    // truncated: a valid file cut in the middle of its audio
    std::string whole = FileBytes(testfiles::WriteWav("whole.wav", testfiles::Sine(48000), 1));
    return WriteBytes("cut.wav", whole.substr(0, whole.size() / 2));
}

TEST_P(BadFiles, LeaveAnEmptySoundAndNameTheFile) {
    const std::string path = MakeBadFile(GetParam().first);
    ::testing::internal::CaptureStderr();
    const std::string kind = GetParam().first;
#ifndef _WIN32
    std::optional<hostile::WithoutPermissionOverride> asPlayer;
    if (kind == "unreadable") asPlayer.emplace();
    std::optional<hostile::FifoWatchdog> watchdog;
    if (kind == "fifo") watchdog.emplace(path);
#endif
    Sound s(path);
#ifndef _WIN32
    if (watchdog) {
        EXPECT_TRUE(watchdog->Finish()) << "blocked opening the pipe";
    }
    asPlayer.reset();
#endif
    s.Play(1, true, 0, 255);  // everything on an empty sound does nothing
    s.Pan(255);
    s.Volume(0);
    s.Stop();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_NE(err.find(path), std::string::npos) << err;
    EXPECT_NE(err.find(GetParam().second), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(Corvane::testing::Render(4800), std::vector<float>(9600, 0.0f));
}

// Each kind of bad file and a word its one line of complaint must hold.
const std::pair<const char*, const char*> kBadKinds[] = {
    {"missing", "No such file"},
    {"empty", "empty"},
    {"folder", "folder"},
    {"text", "not a WAV or MP3"},
    {"random", "not a WAV or MP3"},
    {"truncated", "truncated"},
#ifndef _WIN32
    {"fifo", "named pipe"},
    {"device", "device"},
    {"unreadable", "no permission"},
#endif
    {"mpeginwav", "MPEG audio"},
    {"mp3noise", "not a WAV or MP3"},
};

INSTANTIATE_TEST_SUITE_P(Kinds, BadFiles, ::testing::ValuesIn(kBadKinds),
                         [](const auto& info) { return std::string(info.param.first); });

// A host program takes the service's messages: the same one line each, none
// left on standard error.
TEST(Messages, GoToTheSinkAHostSetInsteadOfStandardError) {
    static std::vector<std::string> lines;
    lines.clear();
    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    Corvane::SetMessageSink([](const char* line) { lines.emplace_back(line); });
    ::testing::internal::CaptureStderr();
    { Sound missing("no-such-file.wav"); }
    const std::string err = ::testing::internal::GetCapturedStderr();
    Corvane::SetMessageSink(nullptr);
    Corvane::CloseLib();
    EXPECT_EQ(err, "");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("sound: cannot open \"no-such-file.wav\": ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].find('\n'), std::string::npos) << lines[0];
}

// Sounds held whole in memory have a limit; the service streams anything
// longer instead (see StreamTest), so only the decoder itself refuses one.
TEST(Decoder, RefusesToHoldMoreThanTenMinutesWhole) {
    const std::string path = MakeBadFile("toolong");
    Corvane::detail::DecodedAudio audio;
    std::string error;
    EXPECT_FALSE(Corvane::detail::Decode(path, audio, error));
    EXPECT_NE(error.find("too long"), std::string::npos) << error;
    EXPECT_TRUE(audio.samples.empty());
}

// A 20 KB MP3 whose Xing header claims four billion frames, under the name
// of a WAV the game plays: what is really there plays, and nothing is said.
TEST(HostileFiles, LyingXingHeaderPlaysWhatIsThere) {
    const std::string path = WriteBytes("SendScore.wav", SilentMp3(48, 0xFFFFFFFFu));
    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    ::testing::internal::CaptureStderr();
    Sound s(path);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "");
    // 47 frames of audio after the header frame, 26 ms each.
    EXPECT_GT(s.GetLength(), 1000);
    EXPECT_LT(s.GetLength(), 1300);
    Corvane::CloseLib();
}

// However an MP3 is damaged, the decoder's own complaints never reach the
// player's terminal: only the service's one line, if the file is refused.
TEST(HostileFiles, DamagedMp3PrintsAtMostOneLine) {
    const std::string whole = SilentMp3(24, 23);
    std::string flipped = whole;
    for (std::size_t i = 40; i < flipped.size(); i += 7) flipped[i] = static_cast<char>(flipped[i] ^ 0x5A);
    const std::vector<std::pair<const char*, std::string>> damaged = {
        {"cut-in-header.mp3", whole.substr(0, 3)},
        {"cut-in-frame.mp3", whole.substr(0, 417 * 5 + 100)},
        {"bits-flipped.mp3", flipped},
        {"header-only.mp3", whole.substr(0, 417)},
    };
    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    for (const auto& [name, bytes] : damaged) {
        const std::string path = WriteBytes(name, bytes);
        ::testing::internal::CaptureStderr();
        Sound s(path);
        const std::string err = ::testing::internal::GetCapturedStderr();
        if (s.GetLength() > 0) {
            EXPECT_EQ(err, "") << name;
        } else {
            EXPECT_EQ(err.rfind("sound: cannot open \"" + path + "\": ", 0), 0u) << err;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        }
    }
    Corvane::CloseLib();
}

// The decoder fuzzer's seeds: hostile files, every layout and codec the
// decoders take, and what fuzzing has found. Each plays or is refused with
// the service's one line; no library adds a word on either stream.
TEST(HostileFiles, FuzzSeedsPrintNothingButTheServicesOneLine) {
    const std::filesystem::path folder = std::filesystem::path(SOURCE_DIR) / "fuzz" / "corpus" / "decoder";
    std::vector<std::filesystem::path> seeds;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) seeds.push_back(entry.path());
    std::sort(seeds.begin(), seeds.end());
    ASSERT_GE(seeds.size(), 30u) << folder;
    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    int played = 0;
    for (const auto& seed : seeds) {
        const std::string path = seed.string();
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int length = Sound(path).GetLength();
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(out, "") << path;
        if (length > 0) {
            ++played;
            EXPECT_EQ(err, "") << path;
        } else {
            EXPECT_EQ(err.rfind("sound: cannot open \"" + path + "\": ", 0), 0u) << err;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        }
    }
    Corvane::CloseLib();
    EXPECT_GE(played, seeds.size() / 2) << "most seeds are playable files";
}

// MPEG layers I and II are not MP3, and libmpg123's layer II decoder prints
// a warning on some joint-stereo frames whatever it is told. Such files are
// refused before a frame is decoded; layer II frames after layer III ones
// end the sound where they start.
TEST(HostileFiles, OtherMpegLayersAreNeverDecoded) {
    const std::filesystem::path folder = std::filesystem::path(SOURCE_DIR) / "fuzz" / "corpus" / "decoder";
    const std::string found = FileBytes((folder / "found-layer2-stereo-bound.mp3").string());
    ASSERT_EQ(found.size(), 1128u);
    // Its layer II frames start at byte 64.
    const std::string partway = SilentMp3(9, 0).substr(417) + found.substr(64);
    const struct {
        const char* name;
        std::string bytes;
        const char* refusal;  // nullptr: plays its 8 layer III frames
    } cases[] = {
        {"Chicken.wav", found, "layer II,"},
        {"layer1.mp3", FileBytes((folder / "l1-stereo.mp3").string()), "layer I,"},
        {"layer2.mp3", FileBytes((folder / "l2-joint-low-rate.mp3").string()), "layer II,"},
        {"layer2-after-layer3.mp3", partway, nullptr},
    };
    for (const auto& c : cases) {
        const std::string path = WriteBytes(c.name, c.bytes);
        Corvane::detail::DecodedAudio audio;
        std::string error;
        ::testing::internal::CaptureStderr();
        const bool decoded = Corvane::detail::Decode(path, audio, error);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << c.name;
        if (c.refusal) {
            EXPECT_FALSE(decoded) << c.name;
            EXPECT_NE(error.find(c.refusal), std::string::npos) << c.name << ": " << error;
        } else {
            ASSERT_TRUE(decoded) << c.name << ": " << error;
            EXPECT_EQ(audio.Frames(), 8 * 1152) << c.name;
        }
    }
}

// Windows' file systems match names ignoring case themselves; the service
// looks names up only where the file system does not.
#ifndef _WIN32
TEST(FileNames, FolderSpellingIsResolvedIgnoringCase) {
    auto dir = testfiles::TempDir() / "Media";
    std::filesystem::create_directories(dir);
    auto sine = testfiles::Sine(4800);
    testfiles::WriteWav("Media/scoreless.wav", sine, 1);
    const std::string lower = (testfiles::TempDir() / "media" / "scoreless.wav").string();
    const std::string upper = (testfiles::TempDir() / "MEDIA" / "SCORELESS.WAV").string();
    EXPECT_EQ(Corvane::detail::ResolvePath(lower), (dir / "scoreless.wav").string());
    EXPECT_EQ(Corvane::detail::ResolvePath(upper), (dir / "scoreless.wav").string());

    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    EXPECT_EQ(Sound(lower).GetLength(), 100);
    Corvane::CloseLib();
}

TEST(FileNames, RelativeNamesResolveFromTheWorkingFolder) {
    auto previous = std::filesystem::current_path();
    std::filesystem::create_directories(testfiles::TempDir() / "Media");
    testfiles::WriteWav("Media/Chicken.wav", testfiles::Sine(4800), 1);
    std::filesystem::current_path(testfiles::TempDir());
    EXPECT_EQ(Corvane::detail::ResolvePath("media/chicken.WAV"), "Media/Chicken.wav");
    EXPECT_EQ(Corvane::detail::ResolvePath("media/absent.wav"), "media/absent.wav");
    std::filesystem::current_path(previous);
}
#endif

TEST(Lifetime, CallsOutsideTheServiceAreHarmless) {
    const std::string tone = testfiles::WriteWav("life.wav", testfiles::Sine(4800), 1);
    Sound before(tone);  // before InitLib: stays empty
    EXPECT_EQ(before.GetLength(), 0);

    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    Sound open(tone);
    open.Play(1, true, 128, 255);
    Corvane::SpeakNumber(12);
    Corvane::CloseLib();
    // After CloseLib every call on a sound still held is a no-op.
    open.Play(1, true, 128, 255);
    open.Pan(0);
    open.Volume(3);
    open.Stop();
    EXPECT_EQ(open.GetLength(), 0);
    open.Close();
    Corvane::SpeakNumber(3);
    Corvane::CloseLib();  // twice is fine too

    // And the service starts again afterwards.
    ASSERT_TRUE(Corvane::testing::InitLibWithoutOutput(5));
    EXPECT_EQ(Sound(tone).GetLength(), 100);
    Corvane::CloseLib();
}

}  // namespace
