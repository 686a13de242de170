#include "NameFile.h"

#include "Files.h"

std::string NameFromText(std::string_view text) {
    std::string_view line = text.substr(0, text.find('\n'));
    // Files written on Windows end their line with CR LF.
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return std::string(line);
}

std::string ReadNameFile(const std::string& path) {
    return NameFromText(platform::ReadTextFileStart(path, kMaxNameFileBytes));
}

bool StoreNameFile(const std::string& path, const std::string& name) { return platform::ReplaceTextFile(path, name); }
