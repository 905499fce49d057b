// What only the hand-off to the hardware's own library needs of Windows:
// loading that library, the parallel ports Windows lists with the start of
// their I/O range, as the device manager shows them (Ports (COM & LPT),
// Resources), and the system's DLL folder. SetupAPI and the configuration manager are loaded
// from the system folder only when asked, so that a host that never needs
// them does not load them with this library.
#include "hardware_os.h"
#include "os_windows.h"
#include "pe_image.h"

#include <cfgmgr32.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

namespace hardware_os {

using os::Error;
using os::windows::Wide;
using os::windows::widen;

namespace {

// The Ports (COM & LPT) device class.
const GUID ports_class = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

struct DeviceCalls {
    HDEVINFO(WINAPI *get_class_devs)(const GUID *, PCWSTR, HWND, DWORD);
    BOOL(WINAPI *enum_device_info)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
    HKEY(WINAPI *open_dev_reg_key)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM);
    BOOL(WINAPI *destroy_device_info_list)(HDEVINFO);
    CONFIGRET(WINAPI *get_first_log_conf)(PLOG_CONF, DEVINST, ULONG);
    CONFIGRET(WINAPI *get_next_res_des)(PRES_DES, RES_DES, RESOURCEID, PRESOURCEID, ULONG);
    CONFIGRET(WINAPI *get_res_des_data)(RES_DES, PVOID, ULONG, ULONG);
    CONFIGRET(WINAPI *free_res_des_handle)(RES_DES);
    CONFIGRET(WINAPI *free_log_conf_handle)(LOG_CONF);
};

template <typename Call> bool resolve(HMODULE module, const char *name, Call *call)
{
    *call = reinterpret_cast<Call>(
        reinterpret_cast<void (*)()>(module != nullptr ? GetProcAddress(module, name) : nullptr));
    return *call != nullptr;
}

bool load_device_calls(DeviceCalls *calls)
{
    HMODULE setup = LoadLibraryExW(L"setupapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    HMODULE config = LoadLibraryExW(L"cfgmgr32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return resolve(setup, "SetupDiGetClassDevsW", &calls->get_class_devs) &&
           resolve(setup, "SetupDiEnumDeviceInfo", &calls->enum_device_info) &&
           resolve(setup, "SetupDiOpenDevRegKey", &calls->open_dev_reg_key) &&
           resolve(setup, "SetupDiDestroyDeviceInfoList", &calls->destroy_device_info_list) &&
           resolve(config, "CM_Get_First_Log_Conf", &calls->get_first_log_conf) &&
           resolve(config, "CM_Get_Next_Res_Des", &calls->get_next_res_des) &&
           resolve(config, "CM_Get_Res_Des_Data", &calls->get_res_des_data) &&
           resolve(config, "CM_Free_Res_Des_Handle", &calls->free_res_des_handle) &&
           resolve(config, "CM_Free_Log_Conf_Handle", &calls->free_log_conf_handle);
}

// The start of the device's first I/O range: the one it was given, else
// the one it had at boot.
bool io_base(const DeviceCalls &calls, DEVINST device, unsigned *address)
{
    const ULONG kinds[] = {ALLOC_LOG_CONF, BOOT_LOG_CONF};
    for (ULONG kind : kinds) {
        LOG_CONF conf;
        if (calls.get_first_log_conf(&conf, device, kind) != CR_SUCCESS) {
            continue;
        }
        RES_DES range;
        IO_DES io = {};
        const bool found =
            calls.get_next_res_des(&range, conf, ResType_IO, nullptr, 0) == CR_SUCCESS;
        bool read = false;
        if (found) {
            read = calls.get_res_des_data(range, &io, sizeof io, 0) == CR_SUCCESS;
            calls.free_res_des_handle(range);
        }
        calls.free_log_conf_handle(conf);
        if (read && io.IOD_Alloc_Base != 0 && io.IOD_Alloc_Base <= 0xFFFF) {
            *address = static_cast<unsigned>(io.IOD_Alloc_Base);
            return true;
        }
    }
    return false;
}

// Its name from the device's key: LPT1, or COM1 for the other kind.
bool port_name(const DeviceCalls &calls, HDEVINFO devices, SP_DEVINFO_DATA *device, char *name,
               size_t size)
{
    HKEY key = calls.open_dev_reg_key(devices, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return false;
    }
    wchar_t wide[16] = L"";
    DWORD type = 0, bytes = sizeof wide - sizeof wide[0];
    const bool ok = RegQueryValueExW(key, L"PortName", nullptr, &type,
                                     reinterpret_cast<BYTE *>(wide), &bytes) == ERROR_SUCCESS &&
                    type == REG_SZ;
    RegCloseKey(key);
    os::windows::narrow(wide, name, size);
    return ok && strncmp(name, "LPT", 3) == 0;
}

} // namespace

size_t parallel_ports(ParallelPort *ports, size_t max)
{
    DeviceCalls calls;
    if (!load_device_calls(&calls)) {
        return 0;
    }
    HDEVINFO devices = calls.get_class_devs(&ports_class, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return 0;
    }
    size_t count = 0;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; count < max && calls.enum_device_info(devices, i, &device); ++i) {
        ParallelPort port = {"", 0};
        if (port_name(calls, devices, &device, port.name, sizeof port.name) &&
            io_base(calls, device.DevInst, &port.address)) {
            // In name order: LPT1 first.
            size_t at = count++;
            for (; at > 0 && strcmp(ports[at - 1].name, port.name) > 0; --at) {
                ports[at] = ports[at - 1];
            }
            ports[at] = port;
        }
    }
    calls.destroy_device_info_list(devices);
    return count;
}

bool system_library_folder(char *path, size_t size)
{
    wchar_t wide[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryW(wide, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) {
        return false;
    }
    os::windows::narrow(wide, path, size);
    return path[0] != '\0';
}

bool load_library(const char *path, Library *library, Error *error)
{
    Wide wide;
    if (!widen(path, &wide)) {
        *error = Error{"LoadLibrary", ERROR_INVALID_NAME};
        return false;
    }
    // Its own folder first for what it needs (a driver's helper DLL).
    HMODULE module = LoadLibraryExW(wide.text, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    library->handle = module;
    return module != nullptr || os::windows::failed(error, "LoadLibrary");
}

bool is_own_module(Library library)
{
    HMODULE own = os::windows::own_module();
    if (own == nullptr) {
        return false;
    }
    if (own == static_cast<HMODULE>(library.handle)) {
        return true;
    }
    wchar_t own_file[MAX_PATH + 1], its_file[MAX_PATH + 1];
    const DWORD own_length = GetModuleFileNameW(own, own_file, MAX_PATH + 1);
    const DWORD its_length =
        GetModuleFileNameW(static_cast<HMODULE>(library.handle), its_file, MAX_PATH + 1);
    return own_length > 0 && own_length <= MAX_PATH && its_length == own_length &&
           _wcsicmp(own_file, its_file) == 0;
}

namespace {

// Whether the system would find a DLL the library imports: loaded already,
// beside the library (its folder is searched first), or on the search path.
bool findable(const char *name, const wchar_t *folder)
{
    Wide wide;
    wchar_t found[MAX_PATH + 1];
    // The API sets are no files: the system maps them to its own DLLs.
    return !widen(name, &wide) || _wcsnicmp(wide.text, L"api-ms-", 7) == 0 ||
           _wcsnicmp(wide.text, L"ext-ms-", 7) == 0 || GetModuleHandleW(wide.text) != nullptr ||
           SearchPathW(folder, wide.text, nullptr, MAX_PATH + 1, found, nullptr) != 0 ||
           SearchPathW(nullptr, wide.text, nullptr, MAX_PATH + 1, found, nullptr) != 0;
}

} // namespace

bool missing_dependency(const char *path, const Error &error, char *name, size_t size)
{
    if (error.code != ERROR_MOD_NOT_FOUND) {
        return false;
    }
    name[0] = '\0';
    Wide wide, folder;
    if (!widen(path, &wide) || !widen(path, &folder)) {
        return true;
    }
    wchar_t *last = wcsrchr(folder.text, L'\\');
    if (last != nullptr) {
        *last = L'\0';
    }
    // Mapped as an image, none of its code run and none of its DLLs loaded.
    HMODULE image = LoadLibraryExW(wide.text, nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (image == nullptr) {
        return true;
    }
    const unsigned char *base =
        reinterpret_cast<const unsigned char *>(reinterpret_cast<uintptr_t>(image) & ~uintptr_t{3});
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const IMAGE_NT_HEADERS *headers =
        reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const size_t image_size = headers->OptionalHeader.SizeOfImage;
    const char *import = nullptr;
    for (size_t i = 0; (import = pe::import(base, image_size, i)) != nullptr; ++i) {
        if (!findable(import, last != nullptr ? folder.text : nullptr)) {
            snprintf(name, size, "%s", import);
            break;
        }
    }
    FreeLibrary(image);
    return true;
}

char *full_path(const char *path, Error *error)
{
    Wide wide;
    if (!widen(path, &wide)) {
        os::windows::failed(error, "GetFullPathName");
        return nullptr;
    }
    const DWORD length = GetFullPathNameW(wide.text, 0, nullptr, nullptr);
    wchar_t *full = length > 0 ? static_cast<wchar_t *>(malloc(length * sizeof(wchar_t))) : nullptr;
    char *text = nullptr;
    if (full != nullptr && GetFullPathNameW(wide.text, length, full, nullptr) < length) {
        text = os::windows::narrowed(full);
    }
    if (text == nullptr) {
        os::windows::failed(error, "GetFullPathName");
        if (error->code == ERROR_SUCCESS) {
            error->code = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    free(full);
    return text;
}

bool is_folder(const char *path)
{
    Wide wide;
    const DWORD attributes =
        widen(path, &wide) ? GetFileAttributesW(wide.text) : INVALID_FILE_ATTRIBUTES;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void image_range(Library library, uintptr_t *begin, uintptr_t *end)
{
    // A module's handle is where its image starts, headers first.
    const unsigned char *base = static_cast<const unsigned char *>(library.handle);
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const IMAGE_NT_HEADERS *headers =
        reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    *begin = reinterpret_cast<uintptr_t>(base);
    *end = *begin + headers->OptionalHeader.SizeOfImage;
}

Entry library_entry(Library library, const char *name)
{
    return reinterpret_cast<Entry>(GetProcAddress(static_cast<HMODULE>(library.handle), name));
}

void unload_library(Library library)
{
    FreeLibrary(static_cast<HMODULE>(library.handle));
}

bool first_time_in_process()
{
    // The process's own atom table outlives the library's data: a host that
    // loads the library again and again is told once.
    const char name[] = "inpout32-virtual-port-notice";
    return FindAtomA(name) == 0 && AddAtomA(name) != 0;
}
} // namespace hardware_os
