# Read by cpack before each generator runs (CPACK_PROJECT_CONFIG_FILE).
# The archive and .deb generators give every member the time in
# SOURCE_DATE_EPOCH, and strip keeps it; the epoch is the one chosen at
# configure time (cmake/packaging.cmake). A zip entry also holds its time as
# a local date, so the time zone is UTC.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_CURVEDUMP_SOURCE_DATE_EPOCH}")
set(ENV{TZ} UTC0)
