#include "pe_image.h"

#include <stdint.h>
#include <string.h>

namespace pe {

namespace {

// Little-endian fields, checked against the bytes there are.
bool field(const unsigned char *bytes, size_t size, size_t at, size_t width, uint32_t *value)
{
    if (at > size || width > size - at) {
        return false;
    }
    *value = 0;
    for (size_t i = width; i-- > 0;) {
        *value = *value << 8 | bytes[at + i];
    }
    return true;
}

} // namespace

Image inspect(const unsigned char *bytes, size_t size)
{
    Image image = {not_an_image, 0, false};
    uint32_t pe = 0, signature = 0, machine = 0, sections = 0, optional_size = 0, flags = 0;
    if (size < 2 || bytes[0] != 'M' || bytes[1] != 'Z' || !field(bytes, size, 0x3C, 4, &pe) ||
        !field(bytes, size, pe, 4, &signature) || signature != 0x00004550 ||
        !field(bytes, size, pe + 4, 2, &machine) || !field(bytes, size, pe + 6, 2, &sections) ||
        !field(bytes, size, pe + 20, 2, &optional_size) ||
        !field(bytes, size, pe + 22, 2, &flags)) {
        return image;
    }
    const uint32_t file_is_dll = 0x2000;
    image.kind = flags & file_is_dll ? dll : program;
    image.bits = machine == 0x014C ? 32 : machine == 0x8664 ? 64 : 0;
    // The section table follows the optional header: 40 bytes a section,
    // its name in the first 8.
    const size_t table = static_cast<size_t>(pe) + 24 + optional_size;
    for (uint32_t i = 0; i < sections && table + 40 * (i + 1) <= size; ++i) {
        const char *name = reinterpret_cast<const char *>(bytes + table + 40 * i);
        if (strncmp(name, LPT_OWN_SECTION, 8) == 0) {
            image.ours = true;
        }
    }
    return image;
}

const char *import(const unsigned char *image, size_t size, size_t index)
{
    uint32_t pe = 0, magic = 0, table = 0, name = 0;
    if (!field(image, size, 0x3C, 4, &pe) || !field(image, size, pe + 24, 2, &magic)) {
        return nullptr;
    }
    // The import table is the second data directory: 96 bytes into a
    // 32-bit optional header, 112 into a 64-bit one.
    const size_t directory = pe + 24 + (magic == 0x20B ? 112 : 96) + 8;
    if (!field(image, size, directory, 4, &table) || table == 0 ||
        !field(image, size, table + 20 * index + 12, 4, &name) || name == 0 || name >= size) {
        return nullptr;
    }
    const char *text = reinterpret_cast<const char *>(image + name);
    return memchr(text, '\0', size - name) != nullptr ? text : nullptr;
}

} // namespace pe
