# The brand the packaging tests build with: another name, data folder and
# company, and one picture of its own (art/logo.png).
set(QUORVEL_PRODUCT_NAME "Starfall Test Launcher" CACHE STRING "")
set(QUORVEL_COMPANY "Starfall Test Games" CACHE STRING "")
set(QUORVEL_DATA_FOLDER "StarfallTest" CACHE STRING "")
set(QUORVEL_ART_DIR "${CMAKE_CURRENT_LIST_DIR}/art" CACHE PATH "")
