// What only the hand-off to the hardware's own library needs of Windows:
// loading that library, the parallel ports Windows lists with the start of
// their I/O range, as the device manager shows them (Ports (COM & LPT),
// Resources), and the system's DLL folder. SetupAPI and the configuration manager are loaded
// from the system folder only when asked, so that a host that never needs
// them does not load them with this library.
#include "hardware_os.h"
#include "os_windows.h"

#include <cfgmgr32.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>
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
