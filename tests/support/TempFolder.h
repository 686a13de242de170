// Scratch folders for the suites, on every system the suites run on.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace testsupport {

// Makes a new, empty folder "<prefix>-XXXXXX" in the system's temporary
// folder, its six letters chosen at random until one is free. Throws when
// none could be made.
inline std::filesystem::path MakeTempFolder(std::string_view prefix) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    const std::filesystem::path parent = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name(prefix);
        name += '-';
        for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
        std::error_code error;
        if (std::filesystem::create_directory(parent / name, error)) return parent / name;
        if (error) throw std::runtime_error("cannot make a folder in " + parent.string() + ": " + error.message());
    }
    throw std::runtime_error("no free folder name in " + parent.string());
}

// A scratch folder that lives as long as the object, and goes with
// everything in it.
class TempFolder {
public:
    explicit TempFolder(std::string_view prefix = "barnblast-test") : path_(MakeTempFolder(prefix)) {}
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // NOLINTNEXTLINE(readability-identifier-naming): named as std::filesystem::directory_entry::path
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace testsupport
