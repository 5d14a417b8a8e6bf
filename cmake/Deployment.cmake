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

# Analytics protocol. "v1" (the default): each event form-encoded, posted to
# QUELLOX_ANALYTICS_URL with the tracking id. "ga4": each event as GA4
# Measurement Protocol JSON, posted to /mp/collect on the scheme, host and
# port of QUELLOX_ANALYTICS_URL, with the measurement id and the API secret
# as the query; the tracking id is then unused.
set(QUELLOX_ANALYTICS_PROTOCOL "v1" CACHE STRING "Analytics protocol: v1 (form-encoded) or ga4 (JSON to /mp/collect)")
set_property(CACHE QUELLOX_ANALYTICS_PROTOCOL PROPERTY STRINGS v1 ga4)
set(QUELLOX_GA4_MEASUREMENT_ID "" CACHE STRING "GA4 measurement id, with ga4: G- followed by letters and digits")
set(QUELLOX_GA4_API_SECRET "" CACHE STRING "GA4 Measurement Protocol API secret, with ga4: printable ASCII, no blanks")

# Checks the protocol values of the calling scope and sets, there, what
# Deployment.h says of them: QUELLOX_ANALYTICS_GA4 (true or false) and the
# measurement id and secret as string-literal contents (empty for v1).
function(quellox_analytics_protocol)
  quellox_require("${QUELLOX_ANALYTICS_PROTOCOL}" "^(v1|ga4)$" QUELLOX_ANALYTICS_PROTOCOL)
  set(ga4 false)
  set(measurement_id "")
  set(api_secret "")
  if(QUELLOX_ANALYTICS_PROTOCOL STREQUAL "ga4")
    foreach(name QUELLOX_GA4_MEASUREMENT_ID QUELLOX_GA4_API_SECRET)
      if("${${name}}" STREQUAL "")
        message(FATAL_ERROR "QUELLOX_ANALYTICS_PROTOCOL=ga4 needs ${name}")
      endif()
    endforeach()
    quellox_require("${QUELLOX_GA4_MEASUREMENT_ID}" "^G-[A-Za-z0-9]+$" QUELLOX_GA4_MEASUREMENT_ID)
    quellox_require("${QUELLOX_GA4_API_SECRET}" "^[!-~]+$" QUELLOX_GA4_API_SECRET)
    set(ga4 true)
    set(measurement_id "${QUELLOX_GA4_MEASUREMENT_ID}")
    # Backslashes, quotes and question marks (no trigraph may form) escaped.
    string(REPLACE "\\" "\\\\" api_secret "${QUELLOX_GA4_API_SECRET}")
    string(REPLACE "\"" "\\\"" api_secret "${api_secret}")
    string(REPLACE "?" "\\?" api_secret "${api_secret}")
  endif()
  set(QUELLOX_ANALYTICS_GA4 ${ga4} PARENT_SCOPE)
  set(QUELLOX_GA4_MEASUREMENT_ID_LITERAL "${measurement_id}" PARENT_SCOPE)
  set(QUELLOX_GA4_API_SECRET_LITERAL "${api_secret}" PARENT_SCOPE)
endfunction()
quellox_analytics_protocol()

configure_file(${CMAKE_SOURCE_DIR}/cmake/Deployment.h.in ${CMAKE_BINARY_DIR}/generated/Deployment.h @ONLY)
