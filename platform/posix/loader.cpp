// LoadLibraryA, GetProcAddress and FreeLibrary on top of the dynamic linker.
#include "lpt_platform.h"

#include <dlfcn.h>
#include <link.h>
#include <string.h>

HINSTANCE LoadLibraryA(const char *name)
{
    if (name == NULL) {
        return NULL;
    }
    // RTLD_NOW: a library with unresolved symbols fails here, as on Windows,
    // not later in the middle of a port write.
    return reinterpret_cast<HINSTANCE>(dlopen(name, RTLD_NOW | RTLD_LOCAL));
}

FARPROC GetProcAddress(HINSTANCE module, const char *name)
{
    if (module == NULL || name == NULL) {
        return NULL;
    }
    void *symbol = dlsym(module, name);
    if (symbol == NULL) {
        return NULL;
    }
    // dlsym also searches the libraries the module depends on; Windows looks
    // only at the module's own exports, and so do we.
    struct link_map *map = NULL;
    Dl_info info;
    if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == NULL || dladdr(symbol, &info) == 0 ||
        info.dli_fname == NULL || strcmp(info.dli_fname, map->l_name) != 0) {
        return NULL;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HINSTANCE module)
{
    return module != NULL && dlclose(module) == 0;
}
