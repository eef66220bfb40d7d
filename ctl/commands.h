// quorvelctl's sub-commands. Each takes the arguments after its own name and
// returns the process exit code: 0 success, 1 a negative answer (incomplete,
// a failed transfer), 2 bad usage or an input that cannot be read.
#pragma once

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
