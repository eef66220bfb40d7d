// Comparison of the back buffer with reviewed reference PNGs in
// tests/golden. Set QUORVEL_UPDATE_GOLDEN=1 to rewrite the references from
// what is drawn now (then look at them before committing). On a mismatch the
// drawn picture and a diff picture (differing pixels red) are written to the
// build tree's golden-out folder. Targets using it define QUORVEL_GOLDEN_DIR
// and QUORVEL_GOLDEN_OUT.
#pragma once

#include "tests/support/png_file.h"

#include <string>

// The back buffer as an RGB picture.
RgbPicture buffer_picture();

// name is relative to the golden folder, without ".png" ("screens/ready").
void expect_matches_golden(const std::string& name);
