// The lock is flock(2) on the file, never the file's presence: the system drops it with the process
// however that ends (a crash, SIGKILL, a pulled plug of the terminal), so a dead update never blocks
// the next. The file itself stays where it is; removing it would let two updates lock two files.
#include "update/lock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Read access is all flock needs, so the file is only ever opened for reading: whoever made it, and
// whatever it holds, nothing of it is written. Made here, it is readable by every user whatever the
// umask says; made by another user, it serves as it is.
constexpr mode_t LOCK_FILE_MODE = 0644;
// Never follow a link a stranger may have put there; never block on a FIFO; never become its terminal.
constexpr int OPEN_FLAGS = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
// The name may change hands between two calls (another update making it); each such race costs one try.
constexpr int ATTEMPTS = 3;

// The lock file, open; -1 when there is none to be had.
int openLockFile(const char* path) {
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        // An existing file first, and without O_CREAT: where the system protects regular files in sticky
        // folders (fs.protected_regular), an O_CREAT open of another user's file is refused.
        int descriptor = open(path, OPEN_FLAGS);
        if (descriptor < 0 && errno == ENOENT) {
            // O_EXCL: whatever took the name in the meantime (a link above all) is not opened through.
            descriptor = open(path, OPEN_FLAGS | O_CREAT | O_EXCL, LOCK_FILE_MODE);
            if (descriptor < 0 && errno == EEXIST) continue;
            if (descriptor >= 0) fchmod(descriptor, LOCK_FILE_MODE);
        }
        if (descriptor < 0) return -1;
        struct stat status {};
        if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
            close(descriptor);
            return -1;
        }
        return descriptor;
    }
    return -1;
}

// Whether the name still leads to the file that is open: a file unlinked or replaced after it was
// opened locks nothing that the next update would see.
bool stillNamed(const char* path, int descriptor) {
    struct stat named {};
    struct stat opened {};
    return lstat(path, &named) == 0 && fstat(descriptor, &opened) == 0 && named.st_dev == opened.st_dev &&
           named.st_ino == opened.st_ino;
}

}  // namespace

LockFileState takeLockFile(const char* path, int& descriptor) {
    descriptor = -1;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        const int file = openLockFile(path);
        if (file < 0) return LOCK_FILE_UNAVAILABLE;
        int result = 0;
        while ((result = flock(file, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {}
        if (result != 0) {
            const bool held = errno == EWOULDBLOCK;
            close(file);
            return held ? LOCK_FILE_HELD_ELSEWHERE : LOCK_FILE_UNAVAILABLE;
        }
        if (stillNamed(path, file)) {
            descriptor = file;
            return LOCK_FILE_TAKEN;
        }
        close(file);
    }
    return LOCK_FILE_UNAVAILABLE;
}
