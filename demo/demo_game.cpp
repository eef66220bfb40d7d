// The demo "game" that the launcher starts: it tells where it runs and
// leaves a note there, so a player (or a test) can see that it started with
// the data directory as its working directory.
#include <cstdio>
#include <filesystem>
#include <system_error>

int main(int argc, char** argv)
{
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    const std::string folder = error ? std::string("?") : here.string();
    std::printf("Quorvel demo game: running in %s\n", folder.c_str());

    std::FILE* note = std::fopen("game-started.txt", "wb");
    if (note == nullptr) {
        return 1;
    }
    std::fprintf(note, "cwd=%s\nargc=%d\nargv0=%s\n", folder.c_str(), argc,
                 argc > 0 ? argv[0] : "");
    std::fclose(note);
    return 0;
}
