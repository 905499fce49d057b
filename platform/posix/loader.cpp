// LoadLibraryA, GetProcAddress and FreeLibrary on top of the dynamic linker.
#include "lpt_platform.h"

#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

// Whether the first file of this name on the program's search path is
// something other than a plain file (a FIFO would block the dynamic linker
// forever; Windows refuses anything that is not a file).
static bool first_found_is_not_a_file(const char *name)
{
    struct stat st;
    if (strchr(name, '/') != NULL) {
        return stat(name, &st) == 0 && !S_ISREG(st.st_mode);
    }
    void *program = dlopen(NULL, RTLD_NOW);
    Dl_serinfo size;
    if (program == NULL || dlinfo(program, RTLD_DI_SERINFOSIZE, &size) != 0) {
        return false;
    }
    Dl_serinfo *info = static_cast<Dl_serinfo *>(malloc(size.dls_size));
    bool refused = false;
    if (info != NULL) {
        *info = size;
        if (dlinfo(program, RTLD_DI_SERINFO, info) == 0) {
            for (unsigned i = 0; i < info->dls_cnt; ++i) {
                char path[4096];
                snprintf(path, sizeof path, "%s/%s", info->dls_serpath[i].dls_name, name);
                if (stat(path, &st) == 0) {
                    refused = !S_ISREG(st.st_mode);
                    break;
                }
            }
        }
        free(info);
    }
    return refused;
}

HINSTANCE LoadLibraryA(const char *name)
{
    if (name == NULL || first_found_is_not_a_file(name)) {
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
