// The lock file that lets one update at a time use a POSIX machine's MIDI ports, in a folder of the
// test's own made like /tmp (world-writable, sticky): a second holder is told so, a dead holder leaves
// no lock behind, and whatever another user put at the name is never followed, hung on or written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "update/lock_file.h"

namespace {

// A world-writable folder with the sticky bit, as /tmp is; the lock's name in it.
struct LockFolder {
    std::string path;
    std::string lock;
    LockFolder() {
        char pattern[] = "/tmp/update-lock-test-XXXXXX";
        if (mkdtemp(pattern) != nullptr) path = pattern;
        chmod(path.c_str(), 01777);
        lock = path + "/zentravox-update.lock";
    }
    ~LockFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    LockFolder(const LockFolder&) = delete;
    LockFolder& operator=(const LockFolder&) = delete;
};

struct Taken {
    LockFileState state;
    int descriptor;
};

Taken take(const std::string& path) {
    Taken taken{LOCK_FILE_UNAVAILABLE, -1};
    taken.state = takeLockFile(path.c_str(), taken.descriptor);
    return taken;
}

mode_t modeOf(const std::string& path) {
    struct stat status {};
    lstat(path.c_str(), &status);
    return status.st_mode;
}

// Runs `body` in a child process of another user (nobody's numbers); false when that cannot be done.
template <class Body>
bool asAnotherUser(Body body, int& exitStatus) {
    if (geteuid() != 0) return false;
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 100) return false;
    exitStatus = WEXITSTATUS(status);
    return true;
}

TEST(LockFile, OneHolderAtATimeAndTheLockGoesWithItsHolder) {
    LockFolder folder;
    const Taken first = take(folder.lock);
    ASSERT_EQ(first.state, LOCK_FILE_TAKEN);
    ASSERT_GE(first.descriptor, 0);
    EXPECT_TRUE(S_ISREG(modeOf(folder.lock)));
    // Another open of the file is another holder, as another process would be.
    const Taken second = take(folder.lock);
    EXPECT_EQ(second.state, LOCK_FILE_HELD_ELSEWHERE);
    EXPECT_EQ(second.descriptor, -1);
    // The file stays, and the lock is free again once its holder lets go.
    close(first.descriptor);
    const Taken third = take(folder.lock);
    EXPECT_EQ(third.state, LOCK_FILE_TAKEN);
    close(third.descriptor);
    EXPECT_TRUE(std::filesystem::exists(folder.lock));
}

TEST(LockFile, AHolderKilledOutrightLeavesNoLock) {
    LockFolder folder;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        const Taken taken = take(folder.lock);
        const char state = taken.state == LOCK_FILE_TAKEN ? 't' : 'x';
        if (write(ready[1], &state, 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char state = 0;
    ASSERT_EQ(read(ready[0], &state, 1), 1);
    ASSERT_EQ(state, 't');
    EXPECT_EQ(take(folder.lock).state, LOCK_FILE_HELD_ELSEWHERE);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    const Taken after = take(folder.lock);
    EXPECT_EQ(after.state, LOCK_FILE_TAKEN) << "a killed holder's lock outlived it";
    close(after.descriptor);
    close(ready[0]);
    close(ready[1]);
}

TEST(LockFile, MadeReadableByEveryUserWhateverTheUmask) {
    LockFolder folder;
    const mode_t previous = umask(0077);
    const Taken taken = take(folder.lock);
    umask(previous);
    ASSERT_EQ(taken.state, LOCK_FILE_TAKEN);
    EXPECT_EQ(modeOf(folder.lock) & 0777, 0644u);
    close(taken.descriptor);
}

TEST(LockFile, ALinkAtTheNameIsNeverFollowed) {
    LockFolder folder;
    // To a file that exists, and to one that does not: neither is opened, made or changed.
    const std::string existing = folder.path + "/precious";
    { std::ofstream(existing) << "keep me"; }
    chmod(existing.c_str(), 0600);
    const std::string missing = folder.path + "/made-through-a-link";
    for (const std::string& target : {existing, missing}) {
        SCOPED_TRACE(target);
        std::filesystem::remove(folder.lock);
        ASSERT_EQ(symlink(target.c_str(), folder.lock.c_str()), 0);
        const Taken taken = take(folder.lock);
        EXPECT_EQ(taken.state, LOCK_FILE_UNAVAILABLE);
        EXPECT_EQ(taken.descriptor, -1);
        EXPECT_FALSE(std::filesystem::exists(missing));
        EXPECT_TRUE(S_ISLNK(modeOf(folder.lock)));
    }
    // A link to a FIFO that a writer waits on: opening it through the link would let the writer on.
    const std::string fifo = folder.path + "/waiting";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t writer = fork();
    if (writer == 0) {
        open(fifo.c_str(), O_WRONLY);
        _exit(0);
    }
    std::filesystem::remove(folder.lock);
    ASSERT_EQ(symlink(fifo.c_str(), folder.lock.c_str()), 0);
    usleep(200 * 1000);   // the writer is waiting in its open by now (were it not, nothing would fail)
    EXPECT_EQ(take(folder.lock).state, LOCK_FILE_UNAVAILABLE);
    usleep(200 * 1000);
    EXPECT_EQ(waitpid(writer, nullptr, WNOHANG), 0) << "the FIFO behind the link was opened";
    const int release = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    waitpid(writer, nullptr, 0);
    close(release);

    std::ifstream kept(existing);
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "keep me");
    EXPECT_EQ(modeOf(existing) & 0777, 0600u);
}

TEST(LockFile, AFifoOrAFolderAtTheNameNeitherHangsNorLocks) {
    LockFolder folder;
    ASSERT_EQ(mkfifo(folder.lock.c_str(), 0666), 0);
    EXPECT_EQ(take(folder.lock).state, LOCK_FILE_UNAVAILABLE);
    std::filesystem::remove(folder.lock);
    std::filesystem::create_directory(folder.lock);
    EXPECT_EQ(take(folder.lock).state, LOCK_FILE_UNAVAILABLE);
    EXPECT_EQ(take(folder.path + "/no-such-folder/zentravox-update.lock").state, LOCK_FILE_UNAVAILABLE);
}

TEST(LockFile, ALockFileOfAnotherUserServesAsItIsAndStaysUnchanged) {
    LockFolder folder;
    { std::ofstream(folder.lock) << "whatever it holds"; }
    chmod(folder.lock.c_str(), 0644);
    if (chown(folder.lock.c_str(), 65534, 65534) != 0) GTEST_SKIP() << "only root can give a file away";
    const Taken taken = take(folder.lock);
    EXPECT_EQ(taken.state, LOCK_FILE_TAKEN);
    struct stat status {};
    lstat(folder.lock.c_str(), &status);
    EXPECT_EQ(status.st_uid, 65534u);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
    EXPECT_EQ(status.st_size, static_cast<off_t>(std::strlen("whatever it holds")));

    // And the other user sees this one's lock, through a file this one made.
    close(taken.descriptor);
    std::filesystem::remove(folder.lock);
    const Taken mine = take(folder.lock);
    ASSERT_EQ(mine.state, LOCK_FILE_TAKEN);
    int seen = -1;
    if (!asAnotherUser([&] { return static_cast<int>(take(folder.lock).state); }, seen))
        GTEST_SKIP() << "no other user to be here";
    EXPECT_EQ(seen, LOCK_FILE_HELD_ELSEWHERE);
    close(mine.descriptor);
    ASSERT_TRUE(asAnotherUser([&] { return static_cast<int>(take(folder.lock).state); }, seen));
    EXPECT_EQ(seen, LOCK_FILE_TAKEN);
}

}  // namespace
