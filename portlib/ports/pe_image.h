// What a Windows program or DLL file says of itself in its first bytes:
// whether it is a DLL, for which processor, and whether it is a build of
// this library (by a section of its own), so that the library can refuse a
// file before the system loads it, and say why in the user's terms.
#ifndef LPT_PE_IMAGE_H
#define LPT_PE_IMAGE_H

#include <stddef.h>

namespace pe {

enum Kind { not_an_image, program, dll };

struct Image {
    Kind kind;
    int bits;  // 32 or 64; 0 for another processor
    bool ours; // carries this library's own section
};

// Reads the headers from the file's first `size` bytes.
Image inspect(const unsigned char *bytes, size_t size);

// The name of the DLL the image imports at `index`, nullptr past the last:
// from an image mapped as the system maps it (an RVA is an offset into it).
const char *import(const unsigned char *image, size_t size, size_t index);

// The section that marks a build of this library.
#define LPT_OWN_SECTION ".lptvp"

} // namespace pe

#endif
