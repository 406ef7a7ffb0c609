// The key-press wait at the end of a run, with the real program on a pseudo-terminal: one key, typed
// after the prompt, ends it whole and unechoed, and the terminal is given back as it was found on every
// ending. Without a terminal the run never waits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// An empty folder, so the run is short: no image, straight to the key-press wait.
const std::string TRANSCRIPT =
    "Update V0.5 - Update Zentravox System\n"
    "Error: File '*.led' is not found.\n\n"
    "Press any key to continue . . .\n";
const std::string PROMPT = "Press any key to continue . . .";
// Generous: these bound a hang, they do not measure speed.
constexpr auto HANG_LIMIT = 20s;

// What a terminal shows of `text`: each line feed goes out as carriage return and line feed.
std::string asShownOnTerminal(const std::string& text) {
    std::string shown;
    for (char c : text) shown += (c == '\n') ? std::string("\r\n") : std::string(1, c);
    return shown;
}

// A pseudo-terminal; the test keeps its slave side open too, to look at its settings and its input.
struct Terminal {
    int master = -1;
    int slave = -1;
    std::string shown;   // everything the terminal has shown so far

    Terminal() {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) master = slave = -1;
    }
    ~Terminal() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
};

// One run of the program in an empty folder of its own; a run still going at the end is killed.
struct ProgramRun {
    pid_t pid = -1;
    bool ended = false;
    int status = 0;   // the wait status, once ended
    std::string folder;

    ProgramRun() = default;
    ~ProgramRun() {
        if (pid > 0 && !ended) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (!folder.empty()) rmdir(folder.c_str());
    }
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;
};

// Reads what the terminal shows until it contains `text`, or gives up at the limit.
bool showsWithin(Terminal& terminal, const std::string& text, Clock::duration limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    while (terminal.shown.find(text) == std::string::npos) {
        if (Clock::now() >= deadline) return false;
        pollfd ready{terminal.master, POLLIN, 0};
        if (poll(&ready, 1, 20) <= 0) continue;
        char bytes[256];
        const ssize_t got = read(terminal.master, bytes, sizeof bytes);
        if (got > 0) terminal.shown.append(bytes, static_cast<std::size_t>(got));
    }
    return true;
}

// Reads what the terminal shows until it has been quiet for a while.
void readUntilQuiet(Terminal& terminal) {
    pollfd ready{terminal.master, POLLIN, 0};
    char bytes[256];
    while (poll(&ready, 1, 200) > 0) {
        const ssize_t got = read(terminal.master, bytes, sizeof bytes);
        if (got <= 0) return;
        terminal.shown.append(bytes, static_cast<std::size_t>(got));
    }
}

// The program with the given standard streams, as a user's shell starts it: default signal actions,
// none blocked, and, when `in` is a terminal, that terminal as its controlling one.
void startProgram(ProgramRun& run, int in, int out, int err) {
    char pattern[] = "/tmp/update-key-wait-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    run.folder = pattern;
    // No MIDI server may be started or reached: the run ends before the device phase anyway.
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("JACK_DEFAULT_SERVER", "update-key-wait-no-server", 1);
    run.pid = fork();
    if (run.pid != 0) return;
    for (int signalNumber : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) signal(signalNumber, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (isatty(in)) {
        setsid();
        ioctl(in, TIOCSCTTY, 0);
    }
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    for (int fd = 3; fd < 256; ++fd) close(fd);
    if (chdir(run.folder.c_str()) != 0) _exit(126);
    execl(UPDATE_EXECUTABLE, "update", static_cast<char*>(nullptr));
    _exit(127);
}

bool hasEnded(ProgramRun& run) {
    if (!run.ended && waitpid(run.pid, &run.status, WNOHANG) == run.pid) run.ended = true;
    return run.ended;
}

// False when the program is still running at the limit.
bool endsWithin(ProgramRun& run, Clock::duration limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    while (!hasEnded(run)) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool exitedWithZero(const ProgramRun& run) { return WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0; }

termios settingsOf(const Terminal& terminal) {
    termios settings{};
    tcgetattr(terminal.slave, &settings);
    return settings;
}

void expectSameSettings(const termios& after, const termios& before) {
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc), 0);
}

// The program has switched the terminal to single keys: a key written now is one it waits for.
bool waitsForAKeyWithin(const Terminal& terminal, Clock::duration limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if ((settingsOf(terminal).c_lflag & (ICANON | ECHO)) == 0) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

int bytesLeftToRead(const Terminal& terminal) {
    int count = -1;
    ioctl(terminal.slave, FIONREAD, &count);
    return count;
}

void press(const Terminal& terminal, const std::string& keys) {
    ASSERT_EQ(write(terminal.master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

#define SKIP_WITHOUT_PSEUDO_TERMINAL(terminal) \
    if ((terminal).master < 0) GTEST_SKIP() << "no pseudo-terminal can be opened here: " << std::strerror(errno)

TEST(KeyWait, OnATerminalOnlyAKeyPressedAfterThePromptEndsTheWait) {
    Terminal terminal;
    SKIP_WITHOUT_PSEUDO_TERMINAL(terminal);
    const termios before = settingsOf(terminal);
    ASSERT_NE(before.c_lflag & ECHO, 0u) << "a fresh terminal echoes";
    // Typed during the run: the terminal echoes it at once, and it waits unread.
    press(terminal, "xyz\r");
    ASSERT_TRUE(showsWithin(terminal, "xyz\r\n", HANG_LIMIT));
    terminal.shown.clear();

    ProgramRun run;
    startProgram(run, terminal.slave, terminal.slave, terminal.slave);
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(showsWithin(terminal, PROMPT, HANG_LIMIT)) << terminal.shown;
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(hasEnded(run)) << "the keys typed before the prompt ended the wait";

    press(terminal, "k");
    ASSERT_TRUE(endsWithin(run, HANG_LIMIT)) << "one key without Enter did not end the wait";
    EXPECT_TRUE(exitedWithZero(run)) << run.status;
    readUntilQuiet(terminal);
    EXPECT_EQ(terminal.shown, asShownOnTerminal(TRANSCRIPT)) << "the key is not echoed";
    EXPECT_EQ(bytesLeftToRead(terminal), 0);
    expectSameSettings(settingsOf(terminal), before);
}

TEST(KeyWait, AKeyOfSeveralBytesIsTakenWholeAndNothingIsLeftForTheShell) {
    const std::pair<const char*, std::string> keys[] = {
        {"arrow up", "\x1b[A"}, {"F1", "\x1bOP"}, {"page down", "\x1b[6~"}, {"e acute in UTF-8", "\xc3\xa9"},
        {"a euro sign in UTF-8", "\xe2\x82\xac"}};
    for (const auto& [name, key] : keys) {
        SCOPED_TRACE(name);
        Terminal terminal;
        SKIP_WITHOUT_PSEUDO_TERMINAL(terminal);
        const termios before = settingsOf(terminal);
        ProgramRun run;
        startProgram(run, terminal.slave, terminal.slave, terminal.slave);
        ASSERT_GT(run.pid, 0);
        ASSERT_TRUE(showsWithin(terminal, PROMPT, HANG_LIMIT)) << terminal.shown;
        ASSERT_TRUE(waitsForAKeyWithin(terminal, HANG_LIMIT));

        press(terminal, key);
        ASSERT_TRUE(endsWithin(run, HANG_LIMIT));
        EXPECT_TRUE(exitedWithZero(run)) << run.status;
        readUntilQuiet(terminal);
        EXPECT_EQ(terminal.shown, asShownOnTerminal(TRANSCRIPT));
        EXPECT_EQ(bytesLeftToRead(terminal), 0) << "part of the key is left for the shell";
        expectSameSettings(settingsOf(terminal), before);
    }
}

TEST(KeyWait, AKeyWhoseBytesTrickleInIsTakenWholeAndTheRunEndsSoonAfter) {
    // Over a slow remote link the bytes of one key may come tens of milliseconds apart: 40 ms is still
    // the same key. And once the key is whole the run ends promptly, even when more bytes keep coming
    // (a key held down): no later than its bound, a quarter of a second after the first byte.
    Terminal terminal;
    SKIP_WITHOUT_PSEUDO_TERMINAL(terminal);
    const termios before = settingsOf(terminal);
    ProgramRun run;
    startProgram(run, terminal.slave, terminal.slave, terminal.slave);
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(showsWithin(terminal, PROMPT, HANG_LIMIT)) << terminal.shown;
    ASSERT_TRUE(waitsForAKeyWithin(terminal, HANG_LIMIT));

    for (const char* byte : {"\x1b", "[", "A"}) {
        EXPECT_FALSE(hasEnded(run)) << "the run ended before the key was whole";
        press(terminal, byte);
        std::this_thread::sleep_for(40ms);
    }
    ASSERT_TRUE(endsWithin(run, HANG_LIMIT));
    EXPECT_TRUE(exitedWithZero(run)) << run.status;
    EXPECT_EQ(bytesLeftToRead(terminal), 0) << "part of the key is left for the shell";
    readUntilQuiet(terminal);
    EXPECT_EQ(terminal.shown, asShownOnTerminal(TRANSCRIPT));
    expectSameSettings(settingsOf(terminal), before);
}

TEST(KeyWait, AKeyHeldDownEndsTheWaitWithinHalfASecond) {
    Terminal terminal;
    SKIP_WITHOUT_PSEUDO_TERMINAL(terminal);
    ProgramRun run;
    startProgram(run, terminal.slave, terminal.slave, terminal.slave);
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(showsWithin(terminal, PROMPT, HANG_LIMIT)) << terminal.shown;
    ASSERT_TRUE(waitsForAKeyWithin(terminal, HANG_LIMIT));
    // The key repeats every 30 ms for three seconds; the run must not wait for it to be let go.
    const Clock::time_point pressed = Clock::now();
    while (!hasEnded(run) && Clock::now() - pressed < 3s) {
        press(terminal, "x");
        std::this_thread::sleep_for(30ms);
    }
    ASSERT_TRUE(endsWithin(run, HANG_LIMIT));
    EXPECT_LT(Clock::now() - pressed, 500ms) << "the run waited for the key to be let go";
    EXPECT_TRUE(exitedWithZero(run)) << run.status;
}

TEST(KeyWait, ATerminalLeftWithoutAMinimumReadStillWaitsForAKey) {
    // Another program may have left the terminal with VMIN 0 (a read returns at once, with nothing):
    // the wait must still be for a key, and the terminal is given back as it was found.
    Terminal terminal;
    SKIP_WITHOUT_PSEUDO_TERMINAL(terminal);
    termios left = settingsOf(terminal);
    left.c_cc[VMIN] = 0;
    left.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(terminal.slave, TCSANOW, &left), 0);
    const termios before = settingsOf(terminal);
    ProgramRun run;
    startProgram(run, terminal.slave, terminal.slave, terminal.slave);
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(showsWithin(terminal, PROMPT, HANG_LIMIT)) << terminal.shown;
    ASSERT_TRUE(waitsForAKeyWithin(terminal, HANG_LIMIT));
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(hasEnded(run)) << "the wait ended without a key";
    press(terminal, "k");
    ASSERT_TRUE(endsWithin(run, HANG_LIMIT));
    EXPECT_TRUE(exitedWithZero(run)) << run.status;
    expectSameSettings(settingsOf(terminal), before);
}

TEST(KeyWait, AnEndingSignalAtThePromptGivesTheTerminalBackAndStillEndsTheProgram) {
    for (int signalNumber : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(strsignal(signalNumber));
        Terminal terminal;
        SKIP_WITHOUT_PSEUDO_TERMINAL(terminal);
        const termios before = settingsOf(terminal);
        ProgramRun run;
        startProgram(run, terminal.slave, terminal.slave, terminal.slave);
        ASSERT_GT(run.pid, 0);
        ASSERT_TRUE(showsWithin(terminal, PROMPT, HANG_LIMIT)) << terminal.shown;
        ASSERT_TRUE(waitsForAKeyWithin(terminal, HANG_LIMIT));

        kill(run.pid, signalNumber);
        ASSERT_TRUE(endsWithin(run, HANG_LIMIT)) << "the signal did not end the program";
        EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == signalNumber) << run.status;
        expectSameSettings(settingsOf(terminal), before);
    }
}

TEST(KeyWait, WithoutATerminalTheRunNeverWaits) {
    int silent[2];   // a pipe that stays open and never carries a byte
    ASSERT_EQ(pipe(silent), 0);
    char outputPath[] = "/tmp/update-key-wait-out-XXXXXX";
    const int output = mkstemp(outputPath);
    ASSERT_GE(output, 0);
    const int nothing = open("/dev/null", O_WRONLY);

    ProgramRun run;
    startProgram(run, silent[0], output, nothing);
    ASSERT_GT(run.pid, 0);
    EXPECT_TRUE(endsWithin(run, HANG_LIMIT)) << "an open, silent pipe held the program";
    EXPECT_TRUE(exitedWithZero(run)) << run.status;

    std::string printed(4096, '\0');
    const ssize_t got = pread(output, printed.data(), printed.size(), 0);
    printed.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    EXPECT_EQ(printed, TRANSCRIPT);
    close(silent[0]);
    close(silent[1]);
    close(output);
    close(nothing);
    unlink(outputPath);
}

}  // namespace
