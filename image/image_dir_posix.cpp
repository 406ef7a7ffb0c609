// The image file on POSIX systems. Windows' directory search returns names in the order of its usual
// file systems, which ignore letter case; here the entries are taken in case-insensitive name order, and
// names that differ only in letter case in the order of their bytes, so the choice is the same on every
// run whatever order the directory itself keeps.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "image/image_dir.h"

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// A total order: letter case is ignored first, and only names equal but for case fall back on the bytes
// of the whole name.
int compareNames(const char* a, const char* b) {
    std::size_t i = 0;
    for (; a[i] != '\0' && lower(a[i]) == lower(b[i]); ++i) {}
    const int folded = static_cast<unsigned char>(lower(a[i])) - static_cast<unsigned char>(lower(b[i]));
    return folded != 0 ? folded : std::strcmp(a, b);
}

// As a shell's "*.led" would: a leading dot is no match for the star. Such names are hidden files, for
// example the "._" companions that macOS writes beside every file it copies to a FAT stick.
bool matchesPattern(const char* name) {
    if (name[0] == '.') return false;
    constexpr char extension[] = ".led";
    const std::size_t length = std::strlen(name);
    if (length < sizeof extension - 1) return false;
    const char* tail = name + length - (sizeof extension - 1);
    for (std::size_t i = 0; i < sizeof extension - 1; ++i)
        if (lower(tail[i]) != extension[i]) return false;
    return true;
}

}  // namespace

bool findFirstImageEntry(char (&name)[IMAGE_NAME_SIZE]) {
    static_assert(sizeof(dirent::d_name) <= IMAGE_NAME_SIZE, "a directory entry's name must fit whole");
    DIR* directory = opendir(".");
    if (directory == nullptr) return false;
    bool found = false;
    while (const dirent* entry = readdir(directory)) {
        if (!matchesPattern(entry->d_name)) continue;
        if (found && compareNames(entry->d_name, name) >= 0) continue;
        std::strcpy(name, entry->d_name);
        found = true;
    }
    closedir(directory);
    return found;
}

std::FILE* openImageFile(const char* name) {
    // Non-blocking open: a FIFO or device named like an image must not hang the program.
    const int descriptor = open(name, O_RDONLY | O_NONBLOCK);
    if (descriptor < 0) return nullptr;
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(descriptor);
        return nullptr;
    }
    fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = fdopen(descriptor, "rb");
    if (file == nullptr) close(descriptor);
    return file;
}
