# A publisher's brand: copy this file, edit the values, and configure with it
#   cmake --preset windows-i686 -C my-branding.cmake
#   cmake --preset linux -C my-branding.cmake
# then build and package with scripts/release. Every value has a default
# (the Quorvel Launcher's own), so keep only the lines you change.
set(QUORVEL_PRODUCT_NAME "Starfall Launcher" CACHE STRING "")   # window title, installers, packages
set(QUORVEL_COMPANY "Starfall Games Ltd" CACHE STRING "")       # version resources, packages
set(QUORVEL_DATA_FOLDER "Starfall" CACHE STRING "")             # %APPDATA%\Starfall, ~/.local/share/Starfall
set(QUORVEL_SERVER_BASE "http://updates.starfall.example/game" CACHE STRING "")
# Signed updates (docs/security.md): the public key(s) quorvelctl keygen printed.
# set(QUORVEL_CATALOG_KEYS "BASE64KEY=" CACHE STRING "")
