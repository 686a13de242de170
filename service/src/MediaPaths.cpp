#include "MediaPaths.h"

#include "Decoder.h"

#include <strings.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string_view>

#ifndef BARNBLAST_INSTALLED_DATA_DIR
#define BARNBLAST_INSTALLED_DATA_DIR "/usr/local/share/barnblast"
#endif

namespace Corvane::detail {
namespace {

bool IsFile(const std::string& path) {
    struct stat st {};
    return ::stat(ResolvePath(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// "Media/Chicken.wav" -> "Chicken.wav"; the data folders hold the files of
// the source tree's Media/ folder directly.
std::string WithoutMediaFolder(const std::string& fileName) {
    constexpr std::string_view kMedia = "media/";
    if (fileName.size() > kMedia.size() && ::strncasecmp(fileName.c_str(), kMedia.data(), kMedia.size()) == 0)
        return fileName.substr(kMedia.size());
    return fileName;
}

std::string Join(const std::string& dir, const std::string& name) {
    return !dir.empty() && dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace

std::string InstalledDataDir() { return BARNBLAST_INSTALLED_DATA_DIR; }

std::string LocateMedia(const std::string& fileName, const std::string& installedDir) {
    // An absolute name is meant exactly; so is one that is there as asked.
    if (fileName.empty() || fileName.front() == '/' || IsFile(fileName)) return fileName;
    const std::string inData = WithoutMediaFolder(fileName);
    const char* data = std::getenv("BARNBLAST_DATA");
    if (data && *data) {
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
