# mimalloc, for the memory of the XML service's work and for its tests: found, and checked
# against the releases the service is written for.
include_guard(DIRECTORY)

# The memory of the XML work comes from mimalloc, from 2.0.9 (Debian bookworm) on. Its package
# tells only major and minor; the release is read from the header compiled against.
find_package(mimalloc CONFIG QUIET)
if(NOT mimalloc_FOUND)
  message(FATAL_ERROR "mimalloc was not found: the XML service needs its development files "
    "(Debian: libmimalloc-dev), or CMAKE_PREFIX_PATH pointing at an installed mimalloc 2.0.9 or later")
endif()
get_target_property(mimalloc_include_dirs mimalloc INTERFACE_INCLUDE_DIRECTORIES)
find_file(mimalloc_header mimalloc.h HINTS ${mimalloc_include_dirs} NO_DEFAULT_PATH NO_CACHE REQUIRED)
file(STRINGS "${mimalloc_header}" mimalloc_version_line LIMIT_COUNT 1 REGEX "^#define[\t ]+MI_MALLOC_VERSION[\t ]+[0-9]+")
string(REGEX REPLACE "^#define[\t ]+MI_MALLOC_VERSION[\t ]+([0-9]+).*" "\\1" mimalloc_number "${mimalloc_version_line}")
# 209 is 2.0.9; from 3.x on two digits each for minor and patch: 30600 is 3.6.0.
if(mimalloc_number MATCHES "^[0-9][0-9][0-9]$")
  math(EXPR mimalloc_major "${mimalloc_number} / 100")
  math(EXPR mimalloc_minor "${mimalloc_number} / 10 % 10")
  math(EXPR mimalloc_patch "${mimalloc_number} % 10")
elseif(mimalloc_number MATCHES "^[0-9]+[0-9][0-9][0-9][0-9]$")
  math(EXPR mimalloc_major "${mimalloc_number} / 10000")
  math(EXPR mimalloc_minor "${mimalloc_number} / 100 % 100")
  math(EXPR mimalloc_patch "${mimalloc_number} % 100")
else()
  message(FATAL_ERROR "No MI_MALLOC_VERSION in ${mimalloc_header}")
endif()
set(mimalloc_VERSION "${mimalloc_major}.${mimalloc_minor}.${mimalloc_patch}")
if(mimalloc_VERSION VERSION_LESS 2.0.9)
  message(FATAL_ERROR "mimalloc ${mimalloc_VERSION} found (${mimalloc_header}), but the XML service needs 2.0.9 or later")
endif()
message(STATUS "XML service memory from mimalloc ${mimalloc_VERSION} (${mimalloc_header})")
