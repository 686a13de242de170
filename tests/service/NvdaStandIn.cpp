// A stand-in for NVDA's controller client library, with the same entry
// points, built by the tests: it writes each call as a line to the file
// named by BARNBLAST_NVDA_LOG, and says NVDA runs unless BARNBLAST_NVDA_DOWN
// is set.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

void Note(const std::string& line) {
    char path[MAX_PATH];
    if (GetEnvironmentVariableA("BARNBLAST_NVDA_LOG", path, MAX_PATH) == 0) return;
    if (FILE* log = std::fopen(path, "ab")) {
        std::fprintf(log, "%s\n", line.c_str());
        std::fclose(log);
    }
}

std::string Utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

}  // namespace

extern "C" {

__declspec(dllexport) unsigned long __stdcall nvdaController_testIfRunning() {
    Note("test");
    return GetEnvironmentVariableA("BARNBLAST_NVDA_DOWN", nullptr, 0) == 0 ? 0 : 1717;  // RPC_S_UNKNOWN_IF
}

__declspec(dllexport) unsigned long __stdcall nvdaController_speakText(const wchar_t* text) {
    Note("speak " + Utf8(text));
    return 0;
}

__declspec(dllexport) unsigned long __stdcall nvdaController_cancelSpeech() {
    Note("cancel");
    return 0;
}
}
