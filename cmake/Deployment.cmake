# Deployment values of a build: the addresses the installer talks to and the
# analytics tracking id. The defaults use reserved example host names
# (RFC 2606), so a build made without setting them can never reach a real
# host; a maker sets the real ones when building a release, for instance
#   cmake --preset release -DQUELLOX_DOWNLOAD_URL=http://download.maker.com/q/quellox-setup.exe

set(QUELLOX_DOWNLOAD_URL "http://download.quellox.example/files/quellox-setup.exe" CACHE STRING
    "Address A of the product's setup program (plain HTTP; the file name ends in -setup.exe)")
set(QUELLOX_DOWNLOAD_BUILD_CODE "b169" CACHE STRING
    "Build code of address B: address A with source/<code>/ inserted before the file name")
set(QUELLOX_LICENSE_URL "http://www.quellox.example/license/" CACHE STRING
    "Licence-agreement page (plain HTTP; the path ends in /license/)")
set(QUELLOX_ANALYTICS_URL "http://analytics.quellox.example/collect" CACHE STRING
    "Analytics collection address (plain HTTP; the path is /collect)")
set(QUELLOX_TRACKING_ID "UA-00000000-0" CACHE STRING
    "Analytics tracking id: UA-, eight digits, -, one digit")

function(quellox_require value pattern what)
  if(NOT "${value}" MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: '${value}' does not have the required shape")
  endif()
endfunction()

# Plain HTTP, a host without user, port or query in the way of the paths below.
set(host_part "http://[A-Za-z0-9.-]+(:[0-9]+)?")
quellox_require("${QUELLOX_DOWNLOAD_URL}" "^${host_part}/([A-Za-z0-9._~-]+/)*[A-Za-z0-9._~-]+-setup\\.exe$"
                QUELLOX_DOWNLOAD_URL)
quellox_require("${QUELLOX_DOWNLOAD_BUILD_CODE}" "^[A-Za-z0-9._~-]+$" QUELLOX_DOWNLOAD_BUILD_CODE)
quellox_require("${QUELLOX_LICENSE_URL}" "^${host_part}/([A-Za-z0-9._~-]+/)*license/$" QUELLOX_LICENSE_URL)
quellox_require("${QUELLOX_ANALYTICS_URL}" "^${host_part}/collect$" QUELLOX_ANALYTICS_URL)
quellox_require("${QUELLOX_TRACKING_ID}" "^UA-[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]-[0-9]$" QUELLOX_TRACKING_ID)

# Address B: the same server and path, with source/<build code>/ before the file name.
string(REGEX REPLACE "/([^/]+)$" "/source/${QUELLOX_DOWNLOAD_BUILD_CODE}/\\1" QUELLOX_DOWNLOAD_URL_B
       "${QUELLOX_DOWNLOAD_URL}")

configure_file(${CMAKE_SOURCE_DIR}/cmake/Deployment.h.in ${CMAKE_BINARY_DIR}/generated/Deployment.h @ONLY)
