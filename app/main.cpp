// The Quorvel Launcher: start-up, then the update sequence.
#include "app/startup.h"
#include "app/update.h"
#include "platform/platform.h"
#include "platform/window.h"

int main(int argc, char** argv)
{
    net_startup();
    console_attach();
    if (!startup_paths(argc, argv)) {
        return 1;
    }
    startup_make_data_directory();
    if (!window_open("Quorvel Launcher", 400, 400)) {
        return 1;
    }
    window_show();
    return update_run();
}
