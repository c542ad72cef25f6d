# libxml2, libxslt and libexslt for the XML service and its tests: found, and checked against the
# releases the service is written for.
include_guard(DIRECTORY)

find_package(LibXml2 REQUIRED)
find_package(LibXslt REQUIRED)
if(NOT LIBXSLT_EXSLT_LIBRARY OR NOT LIBXSLT_EXSLT_INCLUDE_DIR)
  message(FATAL_ERROR "libexslt was not found beside libxslt ${LIBXSLT_INCLUDE_DIR}")
endif()

# The versions are read from the headers that are compiled against. libxslt's find module would
# take pkg-config's answer first, which may describe another installation than the headers found.
function(brendle_header_version header macro result)
  file(STRINGS "${header}" line LIMIT_COUNT 1 REGEX "^#define[\t ]+${macro}[\t ]+\"[^\"]*\"")
  string(REGEX REPLACE "^#define[\t ]+${macro}[\t ]+\"([^\"]*)\".*" "\\1" version "${line}")
  if(NOT version)
    message(FATAL_ERROR "No ${macro} in ${header}")
  endif()
  set(${result} "${version}" PARENT_SCOPE)
endfunction()

# Supported: from release `first` on, up to but excluding release `too_new`.
function(brendle_check_release library version first too_new range where)
  if(version VERSION_LESS first OR NOT version VERSION_LESS too_new)
    message(FATAL_ERROR
      "${library} ${version} found (${where}), but the XML service supports ${library} ${range}. "
      "Point CMAKE_PREFIX_PATH at a supported release; .ci/build-engines builds the newest and "
      "the oldest into build/engines.")
  endif()
endfunction()

brendle_header_version("${LIBXML2_INCLUDE_DIR}/libxml/xmlversion.h" LIBXML_DOTTED_VERSION
  BRENDLE_LIBXML2_VERSION)
# Debian keeps xsltconfig.h in the multiarch include folder, apart from the other headers.
find_file(xsltconfig_header libxslt/xsltconfig.h HINTS "${LIBXSLT_INCLUDE_DIR}" NO_CACHE REQUIRED)
brendle_header_version("${xsltconfig_header}" LIBXSLT_DOTTED_VERSION BRENDLE_LIBXSLT_VERSION)
brendle_check_release(libxml2 "${BRENDLE_LIBXML2_VERSION}" 2.9.14 2.16 "2.9.14 up to 2.15.x"
  "${LIBXML2_INCLUDE_DIR}/libxml/xmlversion.h")
brendle_check_release(libxslt "${BRENDLE_LIBXSLT_VERSION}" 1.1.35 1.1.46 "1.1.35 up to 1.1.45"
  "${xsltconfig_header}")
message(STATUS "XML service on libxml2 ${BRENDLE_LIBXML2_VERSION} (${LIBXML2_LIBRARY}) "
  "and libxslt ${BRENDLE_LIBXSLT_VERSION} (${LIBXSLT_LIBRARY})")

# The engines-* presets name the prefix that .ci/build-engines made. Without this check a prefix
# that is missing, or a library found elsewhere first, would quietly build and test the system's
# releases instead.
set(BRENDLE_ENGINES_PREFIX "" CACHE PATH
  "A prefix made by .ci/build-engines: libxml2 and libxslt must come from it where it holds them")
if(BRENDLE_ENGINES_PREFIX)
  if(NOT EXISTS "${BRENDLE_ENGINES_PREFIX}/engines.stamp")
    message(FATAL_ERROR "${BRENDLE_ENGINES_PREFIX} holds no complete build of the libraries: "
      "run .ci/build-engines first")
  endif()
  set(found_in_prefix LIBXSLT_INCLUDE_DIR LIBXSLT_LIBRARY LIBXSLT_EXSLT_INCLUDE_DIR LIBXSLT_EXSLT_LIBRARY)
  if(EXISTS "${BRENDLE_ENGINES_PREFIX}/include/libxml2")
    list(APPEND found_in_prefix LIBXML2_INCLUDE_DIR LIBXML2_LIBRARY)
  endif()
  foreach(found IN LISTS found_in_prefix)
    cmake_path(IS_PREFIX BRENDLE_ENGINES_PREFIX "${${found}}" NORMALIZE inside)
    if(NOT inside)
      message(FATAL_ERROR "${found} is ${${found}}, not in ${BRENDLE_ENGINES_PREFIX}: "
        "put that prefix first in CMAKE_PREFIX_PATH")
    endif()
  endforeach()
endif()
