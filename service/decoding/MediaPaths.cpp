#include "decoding/MediaPaths.h"

#include "Environment.h"
#include "Files.h"
#include "Folders.h"
#include "decoding/Decoder.h"

#include <algorithm>
#include <string_view>

#ifndef BARNBLAST_INSTALLED_DATA_DIR
#define BARNBLAST_INSTALLED_DATA_DIR "/usr/local/share/barnblast"
#endif

namespace Corvane::detail {
namespace {

bool IsFile(const std::string& path) {
    const auto facts = platform::LookAt(ResolvePath(path));
    return facts && facts->kind != platform::FileKind::Folder;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// "Media/Chicken.wav" -> "Chicken.wav"; the data folders hold the files of
// the source tree's Media/ folder directly.
std::string WithoutMediaFolder(const std::string& fileName) {
    constexpr std::string_view kMedia = "media/";
    if (fileName.size() > kMedia.size() &&
        std::equal(kMedia.begin(), kMedia.end(), fileName.begin(), [](char a, char b) { return a == LowerAscii(b); }))
        return fileName.substr(kMedia.size());
    return fileName;
}

// `name` inside `dir`, with the system's own separator between them.
std::string Join(const std::string& dir, const std::string& name) {
    return platform::Utf8Of(platform::PathFromUtf8(dir) / platform::PathFromUtf8(name));
}

}  // namespace

std::string InstalledDataDir() { return platform::InstalledDataFolder(BARNBLAST_INSTALLED_DATA_DIR); }

std::string LocateMedia(const std::string& fileName, const std::string& installedDir) {
    // An absolute name is meant exactly; so is one that is there as asked.
    if (fileName.empty() || platform::IsAbsolutePath(fileName) || IsFile(fileName)) return fileName;
    const std::string inData = WithoutMediaFolder(fileName);
    if (const std::string data = platform::EnvText("BARNBLAST_DATA"); !data.empty()) {
        const std::string candidate = Join(data, inData);
        if (IsFile(candidate)) return candidate;
    }
    if (!installedDir.empty()) {
        const std::string candidate = Join(installedDir, inData);
        if (IsFile(candidate)) return candidate;
    }
    return fileName;
}

std::string LocateMedia(const std::string& fileName) { return LocateMedia(fileName, InstalledDataDir()); }

}  // namespace Corvane::detail
