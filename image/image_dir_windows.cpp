// The image file on Windows: the directory search's first match, in the order the file system keeps.
#include <windows.h>

#include <cstring>

#include "image/image_dir.h"

static_assert(MAX_PATH <= IMAGE_NAME_SIZE, "a directory entry's name must fit whole");

bool findFirstImageEntry(char (&name)[IMAGE_NAME_SIZE]) {
    WIN32_FIND_DATAA entry{};
    const HANDLE search = FindFirstFileA("*.led", &entry);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    std::memcpy(name, entry.cFileName, sizeof entry.cFileName);
    name[sizeof entry.cFileName - 1] = '\0';
    return true;
}

// Binary mode: the image's bytes are read as they are stored, with no CR-LF translation.
std::FILE* openImageFile(const char* name) { return std::fopen(name, "rb"); }
