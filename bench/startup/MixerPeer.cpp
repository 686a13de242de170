// The same scene as a round waiting for keys, played by SDL_mixer: the music
// looping at 1/8 volume and the cluck looping on target. A peer for the
// start-up benchmark's memory figures. Arguments: media folder, seconds.
#include <SDL2/SDL.h>
#include <SDL2/SDL_mixer.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    const std::string media = argc > 1 ? argv[1] : "Media";
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 4;
    if (SDL_Init(SDL_INIT_AUDIO) != 0 || Mix_OpenAudio(48000, AUDIO_F32SYS, 2, 480) != 0) {
        std::fprintf(stderr, "mixer peer: %s\n", SDL_GetError());
        return 1;
    }
    Mix_Init(MIX_INIT_MP3);
    Mix_Music* music = Mix_LoadMUS((media + "/Background.mp3").c_str());
    Mix_Chunk* cluck = Mix_LoadWAV((media + "/Chicken.wav").c_str());
    if (!music || !cluck) {
        std::fprintf(stderr, "mixer peer: %s\n", Mix_GetError());
        return 1;
    }
    Mix_VolumeMusic(MIX_MAX_VOLUME / 8);
    Mix_PlayMusic(music, -1);
    Mix_PlayChannel(-1, cluck, -1);
    SDL_Delay(static_cast<Uint32>(seconds) * 1000);
    Mix_FreeChunk(cluck);
    Mix_FreeMusic(music);
    Mix_CloseAudio();
    SDL_Quit();
    return 0;
}
