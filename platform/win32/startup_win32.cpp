// Win32 start-up, console, clock, process start and random bytes.
// DEPENDS ON: KERNEL32, WSOCK32 (Winsock 1.1), BCRYPT (BCryptGenRandom),
// msvcrt.
#include "platform/platform.h"

#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>
#include <winsock.h>

#include <cstdio>
#include <cstring>

int net_startup()
{
    static WSADATA wsa_data;
    return WSAStartup(0x0101, &wsa_data) == 0 ? 1 : 0;
}

void console_attach()
{
    AttachConsole(ATTACH_PARENT_PROCESS);
    // A GUI program's streams go nowhere; reopen them on the console of the
    // process that started us, when it has one.
    if (GetStdHandle(STD_OUTPUT_HANDLE) != nullptr) {
        std::fclose(stdin);
        std::fclose(stdout);
        std::fclose(stderr);
        (void)std::freopen("CONIN$", "r", stdin);
        (void)std::freopen("CONOUT$", "w", stdout);
        (void)std::freopen("CONOUT$", "w", stderr);
    }
}

void sleep_ms(int milliseconds)
{
    Sleep(static_cast<DWORD>(milliseconds));
}

namespace {

std::int64_t wall_shift_ms = 0;

} // namespace

std::int64_t clock_ms()
{
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const auto since_1970 = static_cast<std::int64_t>(ticks - 116444736000000000ULL);
    return since_1970 / 10000 + wall_shift_ms;
}

std::int64_t clock_monotonic_ms()
{
    // Milliseconds since boot in 64 bits (Vista on): no wrap after 49 days
    // as GetTickCount's 32 bits have.
    return static_cast<std::int64_t>(GetTickCount64());
}

void clock_shift_wall(std::int64_t offset_ms)
{
    wall_shift_ms += offset_ms;
}

namespace {

// Starts program without waiting; the handles are not kept.
int start_process(const char* program, char* command_line, const char* working_dir)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_FORCEOFFFEEDBACK;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(program, command_line, nullptr, nullptr, FALSE, 0, nullptr, working_dir,
                        &startup, &process)) {
        return 0;
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return 1;
}

} // namespace

int run_program(const char* command_line, const char* working_dir)
{
    // The path goes as the application name, so no search along its blanks
    // can start another program (a path under "John Smith" would first try
    // "John.exe"), and quoted as the command line, so the game's argv[0] is
    // its whole path.
    char quoted[1024];
    const int length = std::snprintf(quoted, sizeof quoted, "\"%s\"", command_line);
    if (length < 0 || length >= static_cast<int>(sizeof quoted)) {
        return 0;
    }
    return start_process(command_line, quoted, working_dir);
}

const char* platform_name()
{
    return "windows-i686";
}

int restart_program(const char* program, char** argv)
{
    (void)argv; // the command line as it came, quoting and all
    if (!SetEnvironmentVariableA(RESTART_MARKER, "1")) {
        return 0;
    }
    char command_line[32768];
    const int length = std::snprintf(command_line, sizeof command_line, "%s", GetCommandLineA());
    if (length < 0 || length >= static_cast<int>(sizeof command_line)) {
        return 0;
    }
    return start_process(program, command_line, nullptr);
}

int random_bytes(std::uint8_t* out, int count)
{
    return count >= 0 && BCryptGenRandom(nullptr, out, static_cast<ULONG>(count),
                                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0
               ? 1
               : 0;
}
