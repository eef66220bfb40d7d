// The Quorvel Launcher: start-up, then the update sequence.
#include "app/startup.h"
#include "app/update.h"
#include "platform/platform.h"
#include "platform/window.h"
#include "update/update_core.h"

#include <cstdio>

int main(int argc, char** argv)
{
    net_startup();
    console_attach();
    if (!update_add_keys(update_built_in_keys())) {
        std::fprintf(stderr, "quorvel: the built-in publisher keys are damaged\n");
        return 1;
    }
    if (!startup_paths(argc, argv)) {
        return 1;
    }
    startup_make_data_directory();
    if (!window_open(PRODUCT_NAME, 400, 400)) {
        return 1;
    }
    window_show();
    return update_run();
}
