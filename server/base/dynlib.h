// A system library opened only where a configuration needs it (PAM, TCP
// Wrappers), so that the processes of every other configuration map none of
// it: each mapping makes every fork and exit of a session dearer.
#pragma once

#include <dlfcn.h>

#include <cstdio>

// Opens the library named by its soname once, binding every symbol now; the
// handle, or nullptr with the loader's reason in why.
[[nodiscard]] inline void *OpenLibrary(const char *soname, char *why, size_t whyLen)
{
    void *handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *err = dlerror();
        snprintf(why, whyLen, "%s", err != nullptr ? err : soname);
    }
    return handle;
}

// Looks up one symbol of the library as the type of its declaration; false
// (and the name in why) when it has none.
template <typename T>
[[nodiscard]] bool LibrarySymbol(void *handle, const char *name, T &out, char *why, size_t whyLen)
{
    out = reinterpret_cast<T>(dlsym(handle, name));
    if (out == nullptr)
        snprintf(why, whyLen, "no %s in the library", name);
    return out != nullptr;
}
