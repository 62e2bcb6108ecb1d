# The NIfTI C library (Debian: libnifti2-dev) as the imported target FibrejoinNifti::nifti.
# Found by hand because the package's own CMake files point at the wrong library folder. Used by
# the build and, installed beside fibrejoinConfig.cmake, by projects that link fibrejoin::fibrecore.
find_path(FIBREJOIN_NIFTI_INCLUDE_DIR nifti2_io.h PATH_SUFFIXES nifti)
find_library(FIBREJOIN_NIFTI_LIBRARY nifti2)
find_library(FIBREJOIN_ZNZ_LIBRARY znz)
find_library(FIBREJOIN_Z_LIBRARY z)
find_library(FIBREJOIN_M_LIBRARY m)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(FibrejoinNifti
  REQUIRED_VARS FIBREJOIN_NIFTI_LIBRARY FIBREJOIN_ZNZ_LIBRARY FIBREJOIN_Z_LIBRARY
                FIBREJOIN_M_LIBRARY FIBREJOIN_NIFTI_INCLUDE_DIR)
mark_as_advanced(FIBREJOIN_NIFTI_INCLUDE_DIR FIBREJOIN_NIFTI_LIBRARY FIBREJOIN_ZNZ_LIBRARY
                 FIBREJOIN_Z_LIBRARY FIBREJOIN_M_LIBRARY)

if(FibrejoinNifti_FOUND AND NOT TARGET FibrejoinNifti::nifti)
  add_library(FibrejoinNifti::nifti INTERFACE IMPORTED)
  set_target_properties(FibrejoinNifti::nifti PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${FIBREJOIN_NIFTI_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES "${FIBREJOIN_NIFTI_LIBRARY};${FIBREJOIN_ZNZ_LIBRARY};${FIBREJOIN_Z_LIBRARY};${FIBREJOIN_M_LIBRARY}")
endif()
