# Read by cpack when it makes the package: every timestamp in the package is
# SOURCE_DATE_EPOCH, taken from the last commit when the build was set up
# unless it is set already, so that builds of one commit give the same bytes.
if(CPACK_BYTEFREQ_EPOCH AND NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_BYTEFREQ_EPOCH})
endif()
