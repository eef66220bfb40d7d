// The update sequence: everything from the shown window to the end of the
// run. Fetches the catalog, verifies the game files, offers Retry when the
// server cannot be reached and the files are incomplete, downloads what is
// flagged, shows the notes and waits for Play. Returns main's exit code.
#pragma once

#include "net/http.h"

extern HttpClient http_client;

int update_run();
