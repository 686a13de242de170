// Speech through the player's screen reader on Windows: NVDA through its
// controller client library while NVDA runs, else SAPI, the voice every
// Windows screen reader can fall back on.
#include "ScreenReader.h"

#include "Utf16.h"

#include <windows.h>
// windows.h first: SAPI's header relies on its types.
#include <sapi.h>

namespace platform {
namespace {

// NVDA's controller client library: not ours to ship, so found where the
// player has put it (beside the game or on the library path). Its calls
// return 0 on success.
constexpr wchar_t kNvdaLibrary[] = L"nvdaControllerClient64.dll";
using NvdaTest = unsigned long(__stdcall*)();
using NvdaSpeak = unsigned long(__stdcall*)(const wchar_t*);
using NvdaCancel = unsigned long(__stdcall*)();

struct Nvda final : ScreenReader {
    HMODULE library = nullptr;
    NvdaSpeak speak = nullptr;
    NvdaCancel cancel = nullptr;

    ~Nvda() override { FreeLibrary(library); }
    bool Speak(const std::string& text) override {
        cancel();
        return speak(Utf16Of(text).c_str()) == 0;
    }
    const char* Name() const override { return "NVDA"; }
};

struct Sapi final : ScreenReader {
    ISpVoice* voice = nullptr;
    bool comStarted = false;

    ~Sapi() override {
        if (voice) voice->Release();
        if (comStarted) CoUninitialize();
    }
    bool Speak(const std::string& text) override {
        // Asynchronous, and purging what it was still saying for us.
        return SUCCEEDED(voice->Speak(Utf16Of(text).c_str(), SPF_ASYNC | SPF_PURGEBEFORESPEAK, nullptr));
    }
    const char* Name() const override { return "SAPI"; }
};

template <typename Function>
Function Find(HMODULE library, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

std::unique_ptr<ScreenReader> ConnectNvda() {
    HMODULE library = LoadLibraryW(kNvdaLibrary);
    if (!library) return nullptr;
    auto reader = std::make_unique<Nvda>();
    reader->library = library;
    const auto running = Find<NvdaTest>(library, "nvdaController_testIfRunning");
    reader->speak = Find<NvdaSpeak>(library, "nvdaController_speakText");
    reader->cancel = Find<NvdaCancel>(library, "nvdaController_cancelSpeech");
    if (!running || !reader->speak || !reader->cancel || running() != 0) return nullptr;
    return reader;
}

std::unique_ptr<ScreenReader> ConnectSapi() {
    auto reader = std::make_unique<Sapi>();
    const HRESULT started = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    reader->comStarted = SUCCEEDED(started);
    if (FAILED(CoCreateInstance(CLSID_SpVoice, nullptr, CLSCTX_ALL, IID_ISpVoice,
                                reinterpret_cast<void**>(&reader->voice)))) {
        return nullptr;
    }
    return reader;
}

}  // namespace

std::unique_ptr<ScreenReader> ScreenReader::Connect(std::string& why) {
    if (auto nvda = ConnectNvda()) return nvda;
    if (auto sapi = ConnectSapi()) return sapi;
    why = "neither NVDA nor SAPI answered";
    return nullptr;
}

}  // namespace platform
