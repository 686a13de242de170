#include "common/LazyLibrary.h"

#include "common/Log.h"

#include <dlfcn.h>

#include <cstdio>

namespace Corvane::detail {

void* LazyLibrary::Find(const char* symbol) {
    std::call_once(opened_, [this] {
        handle_ = ::dlopen(soname_, RTLD_NOW | RTLD_LOCAL);
        if (!handle_) Say("%s: %s could not be loaded: %s\n", topic_, soname_, ::dlerror());
    });
    if (!handle_) return nullptr;
    void* address = ::dlsym(handle_, symbol);
    if (!address) Say("%s: %s has no %s\n", topic_, soname_, symbol);
    return address;
}

}  // namespace Corvane::detail
