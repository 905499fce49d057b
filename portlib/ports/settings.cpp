#include "settings.h"
#include "os.h"
#include "say.h"
#include "settings_file.h"
#include "settings_parse.h"
#include "settings_rules.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace ports {

const char settings_name[] = "lpt-settings.txt";

namespace {

os::Mutex settings_lock = LPT_MUTEX_INITIALIZER;
// The settings file as read at this ask; used under settings_lock only.
SettingsRead file;

class Held {
  public:
    Held();
    ~Held() { os::unlock(&settings_lock); }
};

Held::Held()
{
    os::lock(&settings_lock);
    file = read_settings_file();
}

size_t file_settings()
{
    return file.parsed != nullptr ? file.parsed->count : 0;
}

void trim(char *value)
{
    size_t length = strlen(value);
    while (length > 0 && (value[length - 1] == ' ' || value[length - 1] == '\t')) {
        value[--length] = '\0';
    }
    const size_t lead = strspn(value, " \t");
    memmove(value, value + lead, length - lead + 1);
}

void from_environment(Origin *origin)
{
    snprintf(origin->text, sizeof origin->text, "%s", file.in_play ? " (in the environment)" : "");
}

void from_file(const SettingLine &entry, Origin *origin)
{
    snprintf(origin->text, sizeof origin->text, " (%s line %u)", settings_name, entry.line);
}

} // namespace

bool setting(const char *name, char *value, size_t size, Origin *origin)
{
    Origin unused;
    origin = origin != nullptr ? origin : &unused;
    Held held;
    if (os::environment(name, value, size)) {
        trim(value);
        from_environment(origin);
        return value[0] != '\0';
    }
    const SettingLine wanted = {name, strlen(name), "", 0};
    const SettingLine *found = nullptr;
    for (size_t i = 0; i < file_settings(); ++i) {
        const SettingLine &entry = file.parsed->entries[i];
        found = same_setting(entry, wanted) ? &entry : found;
    }
    if (found == nullptr) {
        return false;
    }
    from_file(*found, origin);
    return found->value[0] != '\0' &&
           snprintf(value, size, "%s", found->value) < static_cast<int>(size);
}

PortSettingFound port_setting(unsigned base, const char *example, char *value, size_t value_size,
                              Origin *origin, char *why, size_t why_size)
{
    Held held;
    PortSettingFound found = port_unset;
    bool from_file_only = true;
    // A name that is no port's address is told, whichever address it meant;
    // the environment's first, then the file's, whose last line wins.
    auto check = [&](const char *name, size_t length, const char *setting,
                     const SettingLine *entry) {
        Origin where;
        entry != nullptr ? from_file(*entry, &where) : from_environment(&where);
        if (!is_port_name(name, length, entry != nullptr || os::names_ignore_case)) {
            return false;
        }
        unsigned address = 0;
        const bool named =
            hex_address(name + port_prefix_length, length - port_prefix_length, &address);
        if (!named || !is_base_address(address)) {
            char shown[100];
            snprintf(why, why_size,
                     "%s%s is not a port setting: name the port by its base address in hex%s, "
                     "as in LPT_PORT_0x%03X=%s",
                     as_shown(name, length, shown, sizeof shown), where.text,
                     named ? ", a multiple of 4 from 0x100" : "",
                     named && address >= 0x100 ? address & ~3u
                     : is_base_address(base)   ? base
                                               : 0x3BC,
                     example);
            found = port_malformed;
            return true;
        }
        if (address == base && (found == port_unset || (entry != nullptr && from_file_only))) {
            snprintf(value, value_size, "%s", setting);
            *origin = where;
            found = port_set;
        }
        return false;
    };
    auto in_environment = [](const char *entry, void *context) {
        char name[200], setting[600];
        const size_t length = strcspn(entry, "=");
        if (entry[length] != '=' || length >= sizeof name ||
            snprintf(setting, sizeof setting, "%s", entry + length + 1) >=
                static_cast<int>(sizeof setting)) {
            return false;
        }
        snprintf(name, sizeof name, "%.*s", static_cast<int>(length), entry);
        trim(name);
        trim(setting);
        return (*static_cast<decltype(check) *>(context))(name, strlen(name), setting, nullptr);
    };
    os::each_environment(in_environment, &check);
    from_file_only = found == port_unset;
    for (size_t i = 0; i < file_settings() && found != port_malformed; ++i) {
        const SettingLine &entry = file.parsed->entries[i];
        check(entry.name, entry.name_length, entry.value, &entry);
    }
    return found;
}

bool port_address(unsigned base, const char *value, const Origin &origin, unsigned *address,
                  char *why, size_t why_size)
{
    if (hex_address(value, strlen(value), address) && is_base_address(*address)) {
        return true;
    }
    // Written without its 0x, or inside the port's range: the base meant.
    char with_0x[8];
    unsigned meant = 0;
    snprintf(with_0x, sizeof with_0x, "0x%s", value);
    if (!hex_address(value, strlen(value), &meant) &&
        !hex_address(with_0x, strlen(with_0x), &meant)) {
        meant = 0;
    }
    char shown[200];
    snprintf(why, why_size,
             "LPT_PORT_0x%03X=%s%s names no port address: write LPT_PORT_0x%03X=0x%03X, with the "
             "start of the port's I/O range (Device Manager, Ports (COM & LPT), the port, "
             "Resources)",
             base, as_shown(value, strlen(value), shown, sizeof shown), origin.text, base,
             meant >= 0x100 ? meant & ~3u : 0x378);
    return false;
}

} // namespace ports
