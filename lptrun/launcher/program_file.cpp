#include "program_file.h"

#include <elf.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool executable_file(const char *path)
{
    struct stat info;
    return stat(path, &info) == 0 && S_ISREG(info.st_mode) && access(path, X_OK) == 0;
}

// Whether the program headers name a dynamic loader; false with
// `readable` false when they cannot be read.
template <typename Header, typename Segment> bool has_loader(int fd, bool *readable)
{
    Header header;
    *readable = pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
                header.e_phentsize == sizeof(Segment);
    for (unsigned i = 0; *readable && i < header.e_phnum; ++i) {
        Segment segment;
        const off_t at = static_cast<off_t>(header.e_phoff + i * sizeof segment);
        *readable = pread(fd, &segment, sizeof segment, at) == static_cast<ssize_t>(sizeof segment);
        if (*readable && segment.p_type == PT_INTERP) {
            return true;
        }
    }
    return false;
}

ProgramKind elf_kind(const char *path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return program_missing;
    }
    unsigned char ident[EI_NIDENT + 4] = {};
    const bool elf = pread(fd, ident, sizeof ident, 0) == static_cast<ssize_t>(sizeof ident) &&
                     memcmp(ident, ELFMAG, SELFMAG) == 0 && ident[EI_DATA] == ELFDATA2LSB;
    // e_machine follows e_ident and e_type.
    const unsigned machine = ident[EI_NIDENT + 2] | ident[EI_NIDENT + 3] << 8;
    ProgramKind kind = program_other;
    bool readable = false;
    if (elf && ident[EI_CLASS] == ELFCLASS64 && machine == EM_X86_64) {
        kind = has_loader<Elf64_Ehdr, Elf64_Phdr>(fd, &readable) ? program_64 : program_static;
    } else if (elf && ident[EI_CLASS] == ELFCLASS32 && machine == EM_386) {
        kind = has_loader<Elf32_Ehdr, Elf32_Phdr>(fd, &readable) ? program_32 : program_static;
    }
    if (kind == program_static && !readable) {
        kind = program_other;
    }
    close(fd);
    return kind;
}

} // namespace

bool find_program(const char *name, char *found, size_t size)
{
    if (strchr(name, '/') != nullptr) {
        return snprintf(found, size, "%s", name) < static_cast<int>(size) && executable_file(name);
    }
    const char *path = getenv("PATH");
    for (const char *dir = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin"; *dir != '\0';) {
        const size_t length = strcspn(dir, ":");
        const int n = snprintf(found, size, "%.*s%s%s", static_cast<int>(length), dir,
                               length > 0 ? "/" : "", name);
        if (n > 0 && static_cast<size_t>(n) < size && executable_file(found)) {
            return true;
        }
        dir += length + (dir[length] == ':' ? 1 : 0);
    }
    return false;
}

ProgramKind program_kind(const char *path, char *runs, size_t size)
{
    struct stat info;
    if (stat(path, &info) != 0) {
        return program_missing;
    }
    if ((info.st_mode & (S_ISUID | S_ISGID)) != 0) {
        return program_setid;
    }
    snprintf(runs, size, "%s", path);
    char line[256] = "";
    FILE *file = fopen(path, "re");
    if (file != nullptr) {
        if (fgets(line, sizeof line, file) == nullptr) {
            line[0] = '\0';
        }
        fclose(file);
    }
    if (strncmp(line, "#!", 2) != 0) {
        return elf_kind(path);
    }
    // A script: its interpreter runs, and env's program after it.
    char *word = strtok(line + 2, " \t\r\n");
    if (word == nullptr) {
        return program_other;
    }
    if (strcmp(word, "/usr/bin/env") == 0 || strcmp(word, "/bin/env") == 0) {
        char *next = strtok(nullptr, " \t\r\n");
        if (next != nullptr && next[0] != '-' && find_program(next, runs, size)) {
            return elf_kind(runs);
        }
    }
    snprintf(runs, size, "%s", word);
    return elf_kind(runs);
}
