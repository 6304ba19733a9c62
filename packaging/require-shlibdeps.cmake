# Read by cpack before it builds the package. Without dpkg-shlibdeps CPack
# quietly writes a package that depends on nothing but what we typed, which
# installs on machines that cannot run it.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(VELLOSCAN_SHLIBDEPS dpkg-shlibdeps)
  if(NOT VELLOSCAN_SHLIBDEPS)
    message(FATAL_ERROR "dpkg-shlibdeps is missing (package dpkg-dev); it computes the package's dependencies")
  endif()
endif()
