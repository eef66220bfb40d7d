# A publisher's brand: copy this file, edit the values, and configure with it
#   cmake --preset windows-i686 -C my-branding.cmake
#   cmake --preset linux -C my-branding.cmake
# then build and package with scripts/release. Every value has a default
# (the Quorvel Launcher's own), so keep only the lines you change.
set(QUORVEL_PRODUCT_NAME "Starfall Launcher" CACHE STRING "")   # window title, installers, packages
set(QUORVEL_COMPANY "Starfall Games Ltd" CACHE STRING "")       # version resources, packages
set(QUORVEL_DATA_FOLDER "Starfall" CACHE STRING "")             # %APPDATA%\Starfall, ~/.local/share/Starfall
set(QUORVEL_SERVER_BASE "http://updates.starfall.example/game" CACHE STRING "")
# Pictures of your own: PNG files named like those in art/preview/, each the
# same size as the one it replaces, and icon.png (square, 96 pixels or more).
# The build then needs python3-pil (scripts/setup test installs it).
# set(QUORVEL_ART_DIR "${CMAKE_CURRENT_LIST_DIR}/my-art" CACHE PATH "")
# Signed updates (docs/security.md): the public key(s) quorvelctl keygen printed.
# set(QUORVEL_CATALOG_KEYS "BASE64KEY=" CACHE STRING "")
