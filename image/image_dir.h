// Finding and opening the image file: the part of the image phase that the platform decides.
// One file per platform implements it (image_dir_posix.cpp, image_dir_windows.cpp).
#pragma once

#include <cstddef>
#include <cstdio>

// Holds the longest file name of either platform whole: 259 characters on Windows (MAX_PATH), 255
// bytes on POSIX file systems (NAME_MAX), with the terminating zero.
constexpr std::size_t IMAGE_NAME_SIZE = 261;

// The first entry of the current directory whose name matches "*.led"; false when there is none.
bool findFirstImageEntry(char (&name)[IMAGE_NAME_SIZE]);

// Opens the named regular file for reading, untranslated; null when it is not one or cannot be read.
std::FILE* openImageFile(const char* name);
