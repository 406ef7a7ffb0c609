# Read by cpack before it packs: every member of every archive gets the commit's time.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_UPDATE_SOURCE_DATE_EPOCH}")
