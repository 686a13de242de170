# shellcheck shell=bash disable=SC2154 # deps.sh sets prefix, work and the rest
# SDL2: the game uses its audio subsystem only (WASAPI, DirectSound, WinMM
# and the dummy driver), so no render drivers, OpenGL, GLES or Vulkan.
build_sdl2() {
    unpack sdl2 libsdl2_2.26.5+dfsg-1.dsc
    cmake_build sdl2 "$work/sdl2" -DSDL_SHARED=OFF -DSDL_STATIC=ON -DSDL_TEST=OFF \
        -DSDL_JOYSTICK=OFF -DSDL_HAPTIC=OFF -DSDL_HIDAPI=OFF -DSDL_SENSOR=OFF -DSDL_POWER=OFF \
        -DSDL_RENDER=OFF -DSDL_RENDER_D3D=OFF -DSDL_OPENGL=OFF -DSDL_OPENGLES=OFF -DSDL_VULKAN=OFF \
        -DSDL_XINPUT=OFF -DSDL_DISKAUDIO=OFF -DSDL_DUMMYAUDIO=ON
    # (Its video subsystem stays: without it SDL 2.26's Windows build leaves
    # functions of its dynamic API undefined.)
    # The game is a console program with its own main: no SDL_main, no GUI
    # subsystem (-mwindows).
    sed -i -e 's/ -Dmain=SDL_main//' -e '/^Libs/ s/ -mwindows\| -lSDL2main\| -lmingw32//g' \
        "$prefix/lib/pkgconfig/sdl2.pc"
}
