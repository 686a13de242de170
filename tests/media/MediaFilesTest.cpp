// Checks the shipped sound files as the game will hear them: decoded by the
// service's own decoder, from the paths the game opens.
#include "decoding/Decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Corvane::detail::Decode;
using Corvane::detail::DecodedAudio;

struct MediaFile {
    const char* path;  // exactly as the game spells it
    int channels;
    double minSeconds;
    double maxSeconds;
    bool loops;
};

const MediaFile kFiles[] = {
    {"Media/Chicken.wav", 1, 1.0, 6.0, true},
    {"Media/Background.mp3", 2, 30.0, 180.0, true},
    {"Media/Shot.wav", 1, 0.1, 0.999, false},
    {"Media/KillChicken.wav", 1, 0.7, 1.5, false},
    {"Media/PlayAgain.wav", 1, 1.0, 8.0, false},
    {"Media/SendScore.wav", 1, 1.5, 10.0, false},
    {"Media/Name.wav", 1, 1.0, 8.0, false},
    // Lower-case folder on purpose: that is how the game names it.
    {"media/scoreless.wav", 1, 1.0, 8.0, false},
};

void PrintTo(const MediaFile& f, std::ostream* os) { *os << f.path; }

std::string NameOf(const testing::TestParamInfo<MediaFile>& info) {
    std::string name = info.param.path;
    name = name.substr(name.find('/') + 1);
    return name.substr(0, name.find('.'));
}

std::vector<float> Channel(const DecodedAudio& audio, int ch) {
    std::vector<float> out;
    out.reserve(static_cast<size_t>(audio.Frames()));
    for (size_t i = static_cast<size_t>(ch); i < audio.samples.size(); i += static_cast<size_t>(audio.channels))
        out.push_back(audio.samples[i]);
    return out;
}

// Loudness of the sounding part only: 10 ms blocks within 30 dB of the
// loudest block, so pauses between words or clucks don't lower it.
double ActiveRmsDb(const DecodedAudio& audio) {
    const size_t block = static_cast<size_t>(audio.sampleRate / 100 * audio.channels);
    std::vector<double> power;
    for (size_t i = 0; i < audio.samples.size(); i += block) {
        const size_t end = std::min(audio.samples.size(), i + block);
        double sum = 0;
        for (size_t j = i; j < end; ++j) sum += double(audio.samples[j]) * audio.samples[j];
        power.push_back(sum / double(end - i));
    }
    const double loudest = *std::max_element(power.begin(), power.end());
    double sum = 0;
    int used = 0;
    for (double p : power)
        if (p >= loudest * 1e-3) {
            sum += p;
            ++used;
        }
    return 10.0 * std::log10(sum / used);
}

std::vector<unsigned char> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class MediaFileTest : public testing::TestWithParam<MediaFile> {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(Decode(GetParam().path, audio_, error)) << GetParam().path << ": " << error;
        ASSERT_GT(audio_.Frames(), 0);
    }
    DecodedAudio audio_;
};

TEST_P(MediaFileTest, HasTheExpectedFormatAndLength) {
    const MediaFile& f = GetParam();
    EXPECT_EQ(audio_.channels, f.channels);
    EXPECT_TRUE(audio_.sampleRate == 44100 || audio_.sampleRate == 48000) << audio_.sampleRate;
    const double seconds = double(audio_.Frames()) / audio_.sampleRate;
    EXPECT_GE(seconds, f.minSeconds);
    EXPECT_LE(seconds, f.maxSeconds);
}

TEST_P(MediaFileTest, StaysUnderTheCeilingWithoutDcOffset) {
    const float ceiling = std::pow(10.0f, -1.0f / 20.0f);
    for (int ch = 0; ch < audio_.channels; ++ch) {
        const std::vector<float> x = Channel(audio_, ch);
        float peak = 0;
        double sum = 0;
        for (float v : x) {
            peak = std::max(peak, std::fabs(v));
            sum += v;
        }
        EXPECT_LE(peak, ceiling) << "channel " << ch << " peaks at " << 20 * std::log10(peak) << " dBFS";
        EXPECT_LT(std::fabs(sum / double(x.size())), 0.002) << "channel " << ch;
        EXPECT_GT(peak, 0.1f) << "channel " << ch << " is nearly silent";
    }
}

TEST_P(MediaFileTest, StartsWithinFiftyMilliseconds) {
    const float threshold = 0.01f;  // -40 dBFS
    size_t first = audio_.samples.size();
    for (size_t i = 0; i < audio_.samples.size(); ++i)
        if (std::fabs(audio_.samples[i]) > threshold) {
            first = i;
            break;
        }
    const std::size_t frame = first / size_t(audio_.channels);
    const double ms = 1000.0 * double(frame) / audio_.sampleRate;
    EXPECT_LE(ms, 50.0);
}

// A loop clicks when the jump from its last sample back to its first stands
// out: larger than any step inside the file, or than the steps around the
// loop point on either side, or when it cuts a sound off.
using LoopingMediaFileTest = MediaFileTest;

TEST_P(LoopingMediaFileTest, LoopsWithoutAClick) {
    const size_t around = static_cast<size_t>(audio_.sampleRate / 100);
    for (int ch = 0; ch < audio_.channels; ++ch) {
        const std::vector<float> x = Channel(audio_, ch);
        ASSERT_GT(x.size(), 2 * around);
        float inside = 0, nearSeam = 0;
        for (size_t i = 0; i + 1 < x.size(); ++i) {
            const float step = std::fabs(x[i + 1] - x[i]);
            inside = std::max(inside, step);
            if (i < around || i + 1 + around >= x.size()) nearSeam = std::max(nearSeam, step);
        }
        const float seam = std::fabs(x.front() - x.back());
        EXPECT_LE(seam, inside) << "channel " << ch;
        EXPECT_LE(seam, 2 * nearSeam + 2.0f / 32768) << "channel " << ch;

        // Broadband sound has steps as large as a cut, so also check that
        // whatever still sounds at the end carries on at the start: a sound
        // cut off mid-note clicks even where the steps hide it. The reverse,
        // silence then a sharp onset, is a cluck starting and is fine.
        const size_t edge = static_cast<size_t>(audio_.sampleRate / 500);
        auto rms = [&](size_t from) {
            double sum = 0;
            for (size_t i = from; i < from + edge; ++i) sum += double(x[i]) * x[i];
            return std::sqrt(sum / double(edge));
        };
        const double tail = rms(x.size() - edge), head = rms(0);
        if (tail > 0.01) {
            EXPECT_GE(head, tail / 4) << "channel " << ch << ": the end is cut off (tail rms " << tail << ", head rms "
                                      << head << ")";
        }
    }
}

std::vector<MediaFile> Looping() {
    std::vector<MediaFile> out;
    std::copy_if(std::begin(kFiles), std::end(kFiles), std::back_inserter(out),
                 [](const MediaFile& f) { return f.loops; });
    return out;
}

INSTANTIATE_TEST_SUITE_P(Shipped, MediaFileTest, testing::ValuesIn(kFiles), NameOf);
INSTANTIATE_TEST_SUITE_P(Shipped, LoopingMediaFileTest, testing::ValuesIn(Looping()), NameOf);

// The WAVs are plain 16-bit PCM, which every player reads; the decoder hides
// the sample format, so look at the header itself.
TEST(MediaWavHeaders, AreSixteenBitPcm) {
    for (const MediaFile& f : kFiles) {
        const std::string path = Corvane::detail::ResolvePath(f.path);
        if (path.ends_with(".mp3")) continue;
        const std::vector<unsigned char> b = ReadBytes(path);
        ASSERT_GE(b.size(), 44u) << path;
        ASSERT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF") << path;
        size_t pos = 12;
        bool found = false;
        while (pos + 8 <= b.size()) {
            const uint32_t size = b[pos + 4] | b[pos + 5] << 8 | b[pos + 6] << 16 | uint32_t(b[pos + 7]) << 24;
            if (std::string(b.begin() + pos, b.begin() + pos + 4) == "fmt " && pos + 24 <= b.size()) {
                EXPECT_EQ(b[pos + 8] | b[pos + 9] << 8, 1) << path << ": not integer PCM";
                EXPECT_EQ(b[pos + 22] | b[pos + 23] << 8, 16) << path;
                found = true;
                break;
            }
            pos += 8 + size + (size & 1);
        }
        EXPECT_TRUE(found) << path << ": no fmt chunk";
    }
}

// The one-shots and prompts play back to back with no mixing desk between
// them, so none may be much louder or softer than the rest.
TEST(MediaLoudness, PromptsAndEffectsAreLevelled) {
    std::map<std::string, double> loudness;
    for (const MediaFile& f : kFiles) {
        if (f.channels != 1) continue;
        DecodedAudio audio;
        std::string error;
        ASSERT_TRUE(Decode(f.path, audio, error)) << f.path << ": " << error;
        loudness[f.path] = ActiveRmsDb(audio);
    }
    const auto [lo, hi] = std::minmax_element(loudness.begin(), loudness.end(),
                                              [](const auto& a, const auto& b) { return a.second < b.second; });
    EXPECT_LE(hi->second - lo->second, 4.0)
        << hi->first << " at " << hi->second << " dB, " << lo->first << " at " << lo->second << " dB";
}

// The music only seams if the decoder honours the encoder's gapless header:
// exactly frames x 1152 - delay - padding samples, as LAME's Info tag records.
TEST(MediaMusicLoop, DecodesToTheEncodedLengthExactly) {
    const std::string path = Corvane::detail::ResolvePath("Media/Background.mp3");
    const std::vector<unsigned char> b = ReadBytes(path);
    const std::string text(b.begin(), b.begin() + std::min<size_t>(b.size(), 4096));
    size_t tag = text.find("Info");
    if (tag == std::string::npos) tag = text.find("Xing");
    ASSERT_NE(tag, std::string::npos) << "no Info/Xing tag";
    auto be32 = [&](size_t p) { return uint32_t(b[p]) << 24 | b[p + 1] << 16 | b[p + 2] << 8 | b[p + 3]; };
    const uint32_t flags = be32(tag + 4);
    ASSERT_TRUE(flags & 1) << "tag has no frame count";
    size_t p = tag + 8;
    const uint32_t frames = be32(p);
    p += 4;
    if (flags & 2) p += 4;
    if (flags & 4) p += 100;
    if (flags & 8) p += 4;
    ASSERT_EQ(text.substr(p, 4), "LAME") << "no LAME extension with delay and padding";
    const long long delay = b[p + 21] << 4 | b[p + 22] >> 4;
    const long long padding = (b[p + 22] & 0x0F) << 8 | b[p + 23];
    const long long expected = 1152LL * frames - delay - padding;

    DecodedAudio audio;
    std::string error;
    ASSERT_TRUE(Decode("Media/Background.mp3", audio, error)) << error;
    EXPECT_EQ(audio.Frames(), expected) << "decoder adds or drops " << audio.Frames() - expected << " frames";
}

}  // namespace
