// The platform layer: everything the portable modules need from the operating
// system, declared once. Each backend folder (win32/, posix/) defines the
// same functions (the window's are in window.h: win32/ and x11/); CMake picks
// the folder, so no caller ever sees an OS header or an #ifdef.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---- Start-up and console -------------------------------------------------

// Starts the socket library (Winsock 1.1 on Windows; nothing to do on POSIX).
// 1 on success, 0 on failure.
int net_startup();

// Connects stdin/stdout/stderr to the console of the starting process, as a
// GUI program must on Windows. Does nothing where the streams are already
// the terminal's.
void console_attach();

// ---- Sockets (IPv4 TCP) ---------------------------------------------------

// A socket handle wide enough for either interface (SOCKET on Winsock, int on
// POSIX); NET_INVALID_SOCKET compares equal to -1 as both interfaces' failure
// value does.
using NetSocket = std::intptr_t;
constexpr NetSocket NET_INVALID_SOCKET = -1;

NetSocket net_socket();
int net_connect(NetSocket s, const char* host, int port);
// After net_connect on a non-blocking socket: waits up to timeout_ms for the
// connection's outcome. 1 when connected; 0 when it failed or is still
// pending (the caller then closes the socket).
int net_connect_wait(NetSocket s, int timeout_ms);
int net_close(NetSocket s);
int net_set_nonblocking(NetSocket s);
int net_set_blocking(NetSocket s);
int net_can_read(NetSocket s, int timeout_ms);
int net_can_write(NetSocket s, int timeout_ms);
int net_has_exception(NetSocket s);
int net_recv(NetSocket s, char* buffer, int size);
int net_send(NetSocket s, const char* data, int size);
// One receive on a non-blocking socket: the bytes received; 0 when none
// were there after all (would block, interrupted); -1 when the peer closed
// or the connection failed, net_last_error() then 0 for an orderly close.
int net_recv_some(NetSocket s, char* buffer, int size);
// One send on a non-blocking socket: the bytes taken (0 when it would
// block); -1 when the connection failed.
int net_send_some(NetSocket s, const char* data, int size);
int net_last_error();
int net_listen(NetSocket s, int port);
NetSocket net_accept(NetSocket listener, char* address_text);
int net_set_keepalive(NetSocket s, int on);
int net_host_name(char* buffer, int size);

// The proxy the user's system names for http:// requests (secure 0) or for
// https:// ones (secure 1), as a URL ("http://host:port", credentials
// allowed) into url, and the hosts it is not used for (a list as its source
// writes it) into bypass. Linux: http_proxy or https_proxy, and no_proxy
// (or their upper-case forms); Windows: the user's Internet Settings (a
// manual proxy server for all schemes or per scheme, its bypass list). 1
// when one is set; 0 with both texts empty when none is or one does not fit.
int net_system_proxy(int secure, char* url, int url_size, char* bypass, int bypass_size);

// ---- File system ----------------------------------------------------------

// 0 on success, -1 on failure; creates the last path component only.
int fs_make_dir(const char* path);

// The size of a regular file in 64 bits; -1 for anything else.
std::int64_t fs_file_size(const char* path);

// An existing regular file opened for writing at its end ("ab" with
// offsets past 2 GiB on every build); null when it cannot be.
std::FILE* fs_open_append(const char* path);

// Moves an open file's position to offset from its start, past 2 GiB too.
// 1 on success.
int fs_seek(std::FILE* file, std::int64_t offset);

// Creates path and every missing folder above it. 1 when path is a folder.
// (Portable, over fs_make_dir: platform/fs_common.cpp.)
int make_folders(const char* path);

// Creates every missing folder of relative_name's parent path below base
// ("maps/deep/a.pak" creates base/maps and base/maps/deep). 1 when all exist.
int make_parent_folders(const char* base, const char* relative_name);
int fs_is_dir(const char* path);
// 1 for a regular file only: a FIFO or a device in its place would block or
// never end when read.
int fs_is_file(const char* path);
int fs_exists(const char* path);

// Puts from in to's place in one step, replacing an existing to: nobody ever
// sees to missing. 1 on success; on failure to is unchanged.
int fs_replace(const char* from, const char* to);

// Copies the file from into a new file to (which must not exist): a
// reflink where the file system shares blocks (Linux: btrfs, XFS), else
// the bytes; never a hard link, so a later change of from never changes
// to. 1 on success; on failure no file to is left.
int fs_copy_new(const char* from, const char* to);

// Creates a new file that only its owner may read or write (mode 0600 on
// POSIX; on Windows the user's own folders already keep others out) and
// opens it for binary writing. Null when it exists or cannot be made: a
// secret is never written over another file.
std::FILE* fs_create_private(const char* path);

// Creates a new file with the permissions new files get and opens it for
// binary writing. Null when it exists or cannot be made, so a temporary
// file never takes the place of someone's file.
std::FILE* fs_create_new(const char* path);

// The longest full path the system opens (259 characters on Windows without
// the long-path prefix).
int fs_longest_path();

// Calls visit(name, is_dir, context) for every entry of a directory except
// "." and "..", in the order the system gives. 1 when the directory could be
// read, else 0.
using FsVisit = void (*)(const char* name, int is_dir, void* context);
int fs_list_dir(const char* path, FsVisit visit, void* context);

// Bytes this user may still write on the file system that holds the folder
// path (statvfs; GetDiskFreeSpaceExA); -1 when the system does not tell.
std::int64_t fs_free_bytes(const char* path);

// 1 when both paths name the same existing file (same volume and file id).
int fs_same_file(const char* a, const char* b);

// The absolute path of an existing file or folder with every link on the
// way resolved, into out (size bytes): where a link really leads. 0 (out
// empty) when it does not exist or the path does not fit.
int fs_real_path(const char* path, char* out, int size);

// The running executable's own path, as the system knows it (not argv[0]).
// 1 on success; 0 (and an empty text) when it does not fit or is unknown.
int fs_executable_path(char* buffer, int size);

// Puts fresh (a verified new launcher) in the running executable own's
// place. Windows, which allows renaming a running executable but not
// replacing it: own becomes old, fresh becomes own, and when that second
// step fails old becomes own again. POSIX: fresh is renamed over own in one
// step, with own's mode. 1 when fresh stands at own; 0 when own is as it
// was. The environment variable QUORVEL_FAULT_SELF_SWAP makes the step that
// puts fresh in place fail, so that tests can walk the way back.
int fs_swap_executable(const char* own, const char* fresh, const char* old);

// Runs consume over every byte of the regular file at path, in order, in
// pieces of at most 8 MiB, and returns how many went through. Files of at
// least map_from bytes whose pages are mostly in memory already go through
// a read-only mapping (no copy) where the platform maps files (POSIX); the
// rest through one reused buffer. -1, with nothing consumed, when path
// is not a regular file (a FIFO or a device never blocks the scan) or its
// size is not expected_size (give -1 to take any size); -1 as well when
// it cannot be read to its end, also when it shrinks under a mapping (its
// pages go away: the process survives it).
using FsConsume = void (*)(const std::uint8_t* bytes, std::size_t count, void* context);
std::int64_t fs_scan_file(const char* path, std::int64_t expected_size, std::int64_t map_from,
                          FsConsume consume, void* context);

// The folder holding the running executable, without a trailing separator.
// 1 on success; 0 (and an empty text) when it does not fit or is unknown.
int fs_executable_dir(char* buffer, int size);

// The folder that holds per-user program data when APPDATA is not set:
// $XDG_DATA_HOME or $HOME/.local/share on POSIX, the executable's folder on
// Windows. 0 when there is none or it does not fit.
int fs_user_data_parent(char* buffer, int size);

// ---- Randomness -----------------------------------------------------------

// Fills out with bytes from the system's cryptographic random source
// (getrandom on Linux, BCryptGenRandom on Windows). 1 on success.
int random_bytes(std::uint8_t* out, int count);

// ---- Time and processes ---------------------------------------------------

void sleep_ms(int milliseconds);

// Wall-clock milliseconds since 1970-01-01 00:00 UTC: for dates only (a
// catalog's expiry). It jumps when the system clock is set (NTP after boot,
// the user), so no limit, wait or rate is measured with it.
std::int64_t clock_ms();

// Milliseconds since some fixed start (the system's boot), moving at the
// pace of real time whatever the wall clock does: every limit, wait and
// rate is measured with it.
std::int64_t clock_monotonic_ms();

// Moves what clock_ms reports by offset_ms from now on, as a step of the
// system clock would; for tests showing that no limit sees such a step.
void clock_shift_wall(std::int64_t offset_ms);

// Starts command_line (a program path, no arguments) with working_dir as its
// working directory and does not wait for it. 1 when started, else 0. Where
// the system has an executable bit, it is set on the file first: downloaded
// files arrive without it.
int run_program(const char* command_line, const char* working_dir);

// The name of this build's platform in a catalog's LAUNCHER record:
// "windows-i686" or "linux-x86_64".
const char* platform_name();

// Starts program, the running program's new version, with this process's
// arguments (argv as main received it), working directory and environment,
// with RESTART_MARKER set in that environment so that the new process knows
// how it began. Does not wait. 1 when started.
int restart_program(const char* program, char** argv);
constexpr const char RESTART_MARKER[] = "QUORVEL_RESTARTED";
