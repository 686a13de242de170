// The name file: any contents give the first line (without a Windows line
// end) of what a name could be, and a stored name reads back the same.
#include "MemoryFile.h"
#include "NameFile.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string_view>

namespace {

// A folder in memory when there is one: a name is stored on every input.
std::filesystem::path Folder() {
    std::error_code ec;
    return std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : std::filesystem::temp_directory_path();
}

// Where stored names go; removed when the fuzzer exits.
struct StoredNameFile {
    std::string path = (Folder() / ("barnblast-fuzz-name-" + std::to_string(::getpid()))).string();
    StoredNameFile() = default;
    StoredNameFile(const StoredNameFile&) = delete;
    StoredNameFile& operator=(const StoredNameFile&) = delete;
    ~StoredNameFile() { ::unlink(path.c_str()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MemoryFile file;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const std::string name = ReadNameFile(file.Hold(data, size));
    if (name != NameFromText(text.substr(0, std::min(size, kMaxNameFileBytes)))) __builtin_trap();
    if (name.find('\n') != std::string::npos || name.size() > kMaxNameFileBytes) __builtin_trap();
    if (!text.starts_with(name)) __builtin_trap();

    // What the player types is one line; stored, it reads back unchanged.
    static const StoredNameFile kStoredFile;
    const std::string& stored = kStoredFile.path;
    if (!name.empty() && !name.ends_with('\r')) {
        if (!StoreNameFile(stored, name)) __builtin_trap();
        const std::string back = ReadNameFile(stored);
        if (back != name.substr(0, kMaxNameFileBytes)) __builtin_trap();
    }
    return 0;
}
