// POSIX start-up, clock, process start and random bytes.
// DEPENDS ON: glibc 2.29+ (posix_spawn_file_actions_addchdir_np; getrandom).
// LIMITATIONS: the console is the inherited terminal, so there is nothing to
// attach.
#include "platform/platform.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <spawn.h>
#include <sys/stat.h>
#include <time.h>

extern char** environ;

int net_startup()
{
    return 1;
}

void console_attach() {}

void sleep_ms(int milliseconds)
{
    if (milliseconds <= 0) {
        return;
    }
    timespec wait = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

namespace {

std::int64_t wall_shift_ms = 0;

std::int64_t clock_read_ms(clockid_t clock)
{
    timespec now = {};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

std::int64_t clock_ms()
{
    return clock_read_ms(CLOCK_REALTIME) + wall_shift_ms;
}

std::int64_t clock_monotonic_ms()
{
    return clock_read_ms(CLOCK_MONOTONIC);
}

void clock_shift_wall(std::int64_t offset_ms)
{
    wall_shift_ms += offset_ms;
}

int run_program(const char* command_line, const char* working_dir)
{
    struct stat info = {};
    if (stat(command_line, &info) != 0 || !S_ISREG(info.st_mode)) {
        return 0;
    }
    // A downloaded game executable arrives as a plain file.
    chmod(command_line, info.st_mode | S_IXUSR);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return 0;
    }
    int started = 0;
    if (posix_spawn_file_actions_addchdir_np(&actions, working_dir) == 0) {
        char* argv[] = {const_cast<char*>(command_line), nullptr};
        pid_t pid = 0;
        started = posix_spawn(&pid, command_line, &actions, nullptr, argv, environ) == 0;
    }
    posix_spawn_file_actions_destroy(&actions);
    return started;
}

const char* platform_name()
{
    return "linux-x86_64";
}

int restart_program(const char* program, char** argv)
{
    if (setenv(RESTART_MARKER, "1", 1) != 0) {
        return 0;
    }
    pid_t pid = 0;
    return posix_spawn(&pid, program, nullptr, nullptr, argv, environ) == 0 ? 1 : 0;
}

int random_bytes(std::uint8_t* out, int count)
{
    int taken = 0;
    while (taken < count) {
        const ssize_t got = getrandom(out + taken, static_cast<std::size_t>(count - taken), 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return 0;
        }
        taken += static_cast<int>(got);
    }
    return 1;
}
