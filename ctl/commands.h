// quorvelctl's sub-commands. Each takes the arguments after its own name and
// returns the process exit code: 0 success, 1 a negative answer (incomplete,
// a failed transfer), 2 bad usage or an input that cannot be read.
#pragma once

#include <cstdint>
#include <cstdio>

struct CatalogEntry;
struct SigningOptions;

int cmd_catalog(int argc, char** argv);
int cmd_fetch(int argc, char** argv);
int cmd_keygen(int argc, char** argv);
int cmd_publish(int argc, char** argv);
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

// What ctl_list_folder leaves out besides block maps, FIFOs and devices.
struct FolderRules {
    // The catalog being written: left out, and refused when it is no catalog.
    const char* output;
    // The signing key: never listed, nor any name for the same file (a
    // hard link, a link to it), compared as files, not names.
    const char* key_file;
    // publish's DEST: when set, a link below dir that leads out of dir, or
    // into dest, is not followed (one line names it).
    const char* dest;
};

// The entries of every file below dir as quorvelctl catalog lists them:
// sorted, local names as Windows opens them, EXE and NOTES roles for exe and
// notes (each must be a file below dir; null for none), the SHA-256 when
// with_sha256; local_path holds each file's own path below dir; the files
// rules names left out. 1 with *head the list (null for an empty folder);
// 0, with a line saying why, when a file cannot be listed.
int ctl_list_folder(const char* dir, const FolderRules* rules, const char* exe_name,
                    const char* notes_name, int with_sha256, CatalogEntry** head);

// Whether path is folder or lies below it, however either is written
// ("src/", "./src", a link): path and each folder above it, as far as they
// exist, are compared with folder as files.
int ctl_path_within(const char* path, const char* folder);

// Writes preface (lines before the first record) and head's records to
// output, standard output when null: sealed with seed's key when seed is
// given, else as they are; a file is written in one step. 1 on success.
int ctl_write_catalog(const CatalogEntry* head, const char* preface, const SigningOptions* options,
                      const std::uint8_t* seed, const char* output);
