// Start-up of the launcher: the values every later step uses, worked out
// once and only read afterwards.
#pragma once

constexpr int APP_PATH_SIZE = 1024;

extern char data_directory[APP_PATH_SIZE]; // "<APPDATA or fallback>/<data folder name>"
extern char catalog_path[APP_PATH_SIZE];   // "<data directory>/catalog.txt"
extern const char* server_base;            // argv[1], or the built-in default
extern char** launch_arguments;            // argv as main received it

// The server base built in at compile time (a publisher sets its own host),
// the product name (the window's title) and the data folder's name under
// APPDATA: a publisher's brand.
extern const char* const DEFAULT_SERVER_BASE;
extern const char* const PRODUCT_NAME;
extern const char* const DATA_FOLDER_NAME;

// Works out the data directory, the catalog path and the server base, and
// keeps argv for a restart. Without APPDATA the data folder goes under
// fs_user_data_parent. 0, with one line on standard error, when there is no
// folder for the game data or a path would not fit: a cut path would name
// another folder.
int startup_paths(int argc, char** argv);

// Creates the data directory when it is missing: its last component only
// under APPDATA (the player's profile folder exists), the whole chain under
// the fallback parents, which a fresh account may not have yet.
void startup_make_data_directory();
