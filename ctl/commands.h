// quorvelctl's sub-commands. Each takes the arguments after its own name and
// returns the process exit code: 0 success, 1 a negative answer (incomplete,
// a failed transfer), 2 bad usage or an input that cannot be read.
#pragma once

#include <cstdio>

int cmd_catalog(int argc, char** argv);
int cmd_fetch(int argc, char** argv);
int cmd_keygen(int argc, char** argv);
int cmd_sign(int argc, char** argv);
int cmd_sync(int argc, char** argv);
int cmd_verify(int argc, char** argv);

constexpr int EXIT_USAGE = 2;

// Takes the built-in publisher keys and every "--key PUBLIC" pair out of
// argv (the rest keeps its order; *argc shrinks). 0, with one line naming
// command, when a key is not a public key.
int ctl_take_keys(const char* command, int* argc, char** argv);

// A file written in one step: the text goes to a new file PATH.tmp beside
// path, which then takes path's place, so a full disk or a crash never leaves
// path cut short. Null, with one line when the temporary is in the way, when
// it cannot be made; temporary (size bytes) receives its name. A path that
// exists and is no regular file (/dev/null) is opened and written as it is.
std::FILE* ctl_replace_begin(const char* path, char* temporary, int size);

// Closes file and, when written is 1 and the close succeeded, puts the
// temporary in path's place; otherwise removes it and path stays as it was.
// 1 when the new file is in place.
int ctl_replace_end(std::FILE* file, const char* temporary, const char* path, int written);
