# kal_find_libtiff(VAR): sets VAR to the libtiff target to link, CMake's own
# TIFF::TIFF or else pkg-config's libtiff-4 (Debian: libtiff-dev), or to
# nothing when neither is found.  libtiff writes and reads the TIFF files of
# the tiffmend tests and benchmark; the module itself never links it.
include_guard(GLOBAL)

function(kal_find_libtiff var)
  find_package(TIFF QUIET)
  if(TIFF_FOUND)
    set(${var} TIFF::TIFF PARENT_SCOPE)
    return()
  endif()
  if(NOT TARGET PkgConfig::KALMEX_LIBTIFF)
    find_package(PkgConfig QUIET)
    if(PkgConfig_FOUND)
      pkg_check_modules(KALMEX_LIBTIFF IMPORTED_TARGET GLOBAL libtiff-4)
    endif()
  endif()
  if(TARGET PkgConfig::KALMEX_LIBTIFF)
    set(${var} PkgConfig::KALMEX_LIBTIFF PARENT_SCOPE)
  else()
    set(${var} "" PARENT_SCOPE)
  endif()
endfunction()
