# fibrejoin_static_command(target): links an executable with -static when FIBREJOIN_STATIC_COMMANDS
# is on. The NIfTI libraries then resolve to their archives for that executable only; the library,
# the tests and the Python module keep the shared ones.
set(static_default ON)
if(FIBREJOIN_SANITIZE OR FIBREJOIN_FUZZ)
  set(static_default OFF)
endif()
# The archives of the libraries FindFibrejoinNifti finds, under the same names.
find_library(FIBREJOIN_NIFTI_ARCHIVE libnifti2.a)
find_library(FIBREJOIN_ZNZ_ARCHIVE libznz.a)
find_library(FIBREJOIN_Z_ARCHIVE libz.a)
find_library(FIBREJOIN_M_ARCHIVE libm.a)
set(static_libraries NIFTI ZNZ Z M)
set(static_archives "")
foreach(name ${static_libraries})
  mark_as_advanced(FIBREJOIN_${name}_ARCHIVE)
  list(APPEND static_archives ${FIBREJOIN_${name}_ARCHIVE})
endforeach()
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_LINK_OPTIONS -static -pthread)
check_cxx_source_compiles("#include <thread>
int main() { std::thread t([] {}); t.join(); }" FIBREJOIN_CAN_LINK_STATIC)
unset(CMAKE_REQUIRED_LINK_OPTIONS)
if(NOT FIBREJOIN_CAN_LINK_STATIC OR static_archives MATCHES "NOTFOUND")
  set(static_default OFF)
endif()
option(FIBREJOIN_STATIC_COMMANDS "Link the commands statically" ${static_default})
set(link_static ${FIBREJOIN_STATIC_COMMANDS})
if(FIBREJOIN_SANITIZE OR FIBREJOIN_FUZZ)
  set(link_static OFF)  # whatever the cache says
endif()

if(link_static)
  # Each NIfTI library as its archive in executables marked FIBREJOIN_STATIC, as found otherwise.
  set(libraries "")
  foreach(name ${static_libraries})
    list(APPEND libraries "$<IF:$<BOOL:$<TARGET_PROPERTY:FIBREJOIN_STATIC>>,${FIBREJOIN_${name}_ARCHIVE},${FIBREJOIN_${name}_LIBRARY}>")
  endforeach()
  set_property(TARGET FibrejoinNifti::nifti PROPERTY INTERFACE_LINK_LIBRARIES "${libraries}")
endif()

function(fibrejoin_static_command target)
  if(link_static)
    set_property(TARGET ${target} PROPERTY FIBREJOIN_STATIC ON)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()
