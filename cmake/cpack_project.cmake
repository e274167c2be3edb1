# Read by cpack before each generator runs (CPACK_PROJECT_CONFIG_FILE). Puts
# the epoch chosen at configure time (cmake/packaging.cmake) in cpack's
# environment, where CPack's generators and cmake/repack.cmake take every
# time they store from it, and makes the time zone UTC, since a zip entry
# holds its time as a local date.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_CURVEDUMP_SOURCE_DATE_EPOCH}")
set(ENV{TZ} UTC0)
