// Each cross-built library doing, under Wine, the job the game gives it.
#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <SDL.h>
#include <curl/curl.h>
#include <espeak-ng/speak_lib.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

long long FramesIn(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return -1;
    std::vector<short> buffer(4096 * std::max(info.channels, 1));
    long long total = 0;
    for (sf_count_t got; (got = sf_readf_short(file, buffer.data(), 4096)) > 0;) total += got;
    sf_close(file);
    return total;
}

}  // namespace

TEST(DepsSmoke, SndfileDecodesWavAndMp3) {
    EXPECT_GT(FramesIn(MEDIA_DIR "/Shot.wav"), 1000);
    EXPECT_GT(FramesIn(MEDIA_DIR "/Background.mp3"), 44100);
}

TEST(DepsSmoke, OpenAlLoopbackRendersATone) {
    auto openLoopback =
        reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
    auto render = reinterpret_cast<LPALCRENDERSAMPLESSOFT>(alcGetProcAddress(nullptr, "alcRenderSamplesSOFT"));
    ASSERT_NE(openLoopback, nullptr);
    ALCdevice* device = openLoopback(nullptr);
    ASSERT_NE(device, nullptr);
    const ALCint attributes[] = {
        ALC_FORMAT_CHANNELS_SOFT, ALC_STEREO_SOFT, ALC_FORMAT_TYPE_SOFT, ALC_SHORT_SOFT, ALC_FREQUENCY, 44100, 0};
    ALCcontext* context = alcCreateContext(device, attributes);
    ASSERT_NE(context, nullptr);
    alcMakeContextCurrent(context);
    std::vector<short> tone(44100);
    for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<short>(8000 * std::sin(i * 0.0627));
    ALuint buffer = 0, source = 0;
    alGenBuffers(1, &buffer);
    alBufferData(buffer, AL_FORMAT_MONO16, tone.data(), static_cast<ALsizei>(tone.size() * 2), 44100);
    alGenSources(1, &source);
    alSourcei(source, AL_BUFFER, static_cast<ALint>(buffer));
    alSourcePlay(source);
    std::vector<short> out(2 * 4410);
    render(device, out.data(), 4410);
    int peak = 0;
    for (short s : out) peak = std::max(peak, std::abs(static_cast<int>(s)));
    EXPECT_GT(peak, 1000);
    alDeleteSources(1, &source);
    alDeleteBuffers(1, &buffer);
    alcMakeContextCurrent(nullptr);
    alcDestroyContext(context);
    alcCloseDevice(device);
}

TEST(DepsSmoke, EspeakSpeaksIntoMemory) {
    static std::vector<short> samples;
    const int rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, ESPEAK_DATA, espeakINITIALIZE_DONT_EXIT);
    ASSERT_GT(rate, 0);
    espeak_SetSynthCallback([](short* wav, int count, espeak_EVENT*) {
        if (wav && count > 0) samples.insert(samples.end(), wav, wav + count);
        return 0;
    });
    ASSERT_EQ(espeak_SetVoiceByName("en"), EE_OK);
    const char text[] = "forty two";
    ASSERT_EQ(espeak_Synth(text, sizeof text, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr, nullptr), EE_OK);
    EXPECT_GT(samples.size(), static_cast<std::size_t>(rate / 4));
}

TEST(DepsSmoke, SdlOpensTheDummyDriver) {
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_AUDIO), 0) << SDL_GetError();
    EXPECT_STREQ(SDL_GetCurrentAudioDriver(), "dummy");
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

TEST(DepsSmoke, CurlSpeaksHttpsThroughSchannel) {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    ASSERT_NE(info->ssl_version, nullptr);
    EXPECT_NE(std::strstr(info->ssl_version, "Schannel"), nullptr) << info->ssl_version;
    bool https = false;
    for (const char* const* p = info->protocols; *p; ++p) https = https || std::strcmp(*p, "https") == 0;
    EXPECT_TRUE(https);
}
