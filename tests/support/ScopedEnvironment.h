// Environment variables a test changes, put back as they were when it ends.
#pragma once

#include "PosixShims.h"

#include <cstdlib>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>

namespace testsupport {

class ScopedEnvironment {
public:
    explicit ScopedEnvironment(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            const char* value = std::getenv(name);
            saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace testsupport
