// Loading a module from the library's own folder: dladdr/dlopen, or on
// Windows GetModuleHandleEx/LoadLibraryEx. The folder is found from the
// address of a function of the library, so an installed library finds the
// modules installed beside it, wherever the prefix is.
#include "platform/modules.h"

#include <string>

#if defined(_WIN32)
#include "platform/win32.h"
#else
#include <dlfcn.h>
#endif

#include "platform/paths.h"

namespace vek::platform {

#if defined(_WIN32)

void *ModuleSymbol(const char *fileName, const char *symbol) {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ModuleSymbol), &self))
        return nullptr;
    std::wstring path(MAX_PATH, L'\0');
    DWORD length;
    while ((length = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()))) == path.size())
        path.resize(path.size() * 2);
    if (length == 0) return nullptr;
    path.resize(path.find_last_of(L'\\') + 1);
    for (const char *c = fileName; *c != '\0'; ++c) path += static_cast<wchar_t>(*c);  // ASCII names only
    // The module's own dependencies are searched in its folder first.
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(module, symbol));
}

#else

void *ModuleSymbol(const char *fileName, const char *symbol) {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void *>(&ModuleSymbol), &self) == 0 || self.dli_fname == nullptr) return nullptr;
    std::string path = self.dli_fname;
    // A name without a folder (a program started through PATH, for the
    // static library) says nothing of where the module is.
    const size_t slash = path.rfind(kDirectorySeparator);
    if (slash == std::string::npos) return nullptr;
    path.replace(slash + 1, std::string::npos, fileName);
    void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) return nullptr;
    return dlsym(module, symbol);
}

#endif

}  // namespace vek::platform
