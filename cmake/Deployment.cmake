# Deployment values of a build: the addresses the installer talks to, the
# analytics tracking id and the maker's code-signing certificates. The
# defaults use reserved example host names (RFC 2606), so a build made
# without setting them can never reach a real host; a maker sets the real
# ones when building a release, for instance
#   cmake --preset release -DQUELLOX_DOWNLOAD_URL=https://download.maker.com/q/quellox-setup.exe \
#         -DQUELLOX_SIGNER_SHA256=<fingerprint of the signing certificate> ...

set(QUELLOX_DOWNLOAD_URL "http://download.quellox.example/files/quellox-setup.exe" CACHE STRING
    "Address A of the product's setup program (http or https; the file name ends in -setup.exe)")
set(QUELLOX_DOWNLOAD_BUILD_CODE "b169" CACHE STRING
    "Build code of address B: address A with source/<code>/ inserted before the file name")
set(QUELLOX_LICENSE_URL "http://www.quellox.example/license/" CACHE STRING
    "Licence-agreement page (http or https; the path ends in /license/)")
set(QUELLOX_ANALYTICS_URL "http://analytics.quellox.example/collect" CACHE STRING
    "Analytics collection address (http or https, optionally with a port; the path is /collect)")
set(QUELLOX_TRACKING_ID "UA-00000000-0" CACHE STRING
    "Analytics tracking id: UA-, eight digits, -, one digit")
set(QUELLOX_SIGNER_SHA256 "" CACHE STRING
    "SHA-256 fingerprints of the maker's code-signing certificates, separated by ';' (or 'any': any publisher)")

set(quellox_deployment_template ${CMAKE_CURRENT_LIST_DIR}/Deployment.h.in)

# An optional fourth argument says, in words, which shape is expected.
function(quellox_require value pattern what)
  if(NOT "${value}" MATCHES "${pattern}")
    set(expected "")
    if(ARGC GREATER 3)
      set(expected ": expected ${ARGV3}")
    endif()
    message(FATAL_ERROR "${what}: '${value}' does not have the required shape${expected}")
  endif()
endfunction()

# The window's languages besides English: each names resources/lang/<tag>.po.
# The window shows the first of the user's UI languages that is among them
# (falling back from a region to its language), else English; empty builds
# an English-only copy. A text missing from a translation falls back to
# English, and the build says which.
set(QUELLOX_LANGUAGES "de;fr;es;pt-BR;it;pl;ru;tr;ja;zh-CN;ko;ar;he" CACHE STRING
    "The window's translations, as resources/lang/<tag>.po tags separated by ';' (empty: English only)")
foreach(tag IN LISTS QUELLOX_LANGUAGES)
  quellox_require("${tag}" "^[a-z][a-z][a-z]?(-[A-Za-z0-9]+)*$" "QUELLOX_LANGUAGES" "a tag such as de or pt-BR")
  if(NOT EXISTS ${CMAKE_CURRENT_LIST_DIR}/../resources/lang/${tag}.po)
    message(FATAL_ERROR "QUELLOX_LANGUAGES: no resources/lang/${tag}.po")
  endif()
endforeach()

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
    quellox_require("${QUELLOX_GA4_MEASUREMENT_ID}" "^G-[A-Za-z0-9]+$" QUELLOX_GA4_MEASUREMENT_ID
                    "G- followed by letters and digits, as G-XXXXXXXXXX")
    quellox_require("${QUELLOX_GA4_API_SECRET}" "^[!-~]+$" QUELLOX_GA4_API_SECRET
                    "printable ASCII without blanks")
    # The service takes https only; http is for the reserved .example test hosts.
    quellox_require("${QUELLOX_ANALYTICS_URL}"
                    "^(https://[A-Za-z0-9.-]+|http://([A-Za-z0-9-]+\\.)*example)(:[0-9]+)?(/mp)?/collect$"
                    QUELLOX_ANALYTICS_URL
                    "with ga4, https://HOST[:PORT]/mp/collect or https://HOST[:PORT]/collect (http:// only for a .example test host)")
    set(ga4 true)
    set(measurement_id "${QUELLOX_GA4_MEASUREMENT_ID}")
    # Backslashes, quotes and question marks (no trigraph may form) escaped.
    string(REPLACE "\\" "\\\\" api_secret "${QUELLOX_GA4_API_SECRET}")
    string(REPLACE "\"" "\\\"" api_secret "${api_secret}")
    string(REPLACE "?" "\\?" api_secret "${api_secret}")
  else()
    if("${QUELLOX_ANALYTICS_URL}" MATCHES "/mp/collect$")
      message(FATAL_ERROR "QUELLOX_ANALYTICS_URL: '${QUELLOX_ANALYTICS_URL}' does not have the required shape: "
                          "expected with v1, http(s)://HOST[:PORT]/collect (/mp/collect is GA4's)")
    endif()
  endif()
  set(QUELLOX_ANALYTICS_GA4 ${ga4} PARENT_SCOPE)
  set(QUELLOX_GA4_MEASUREMENT_ID_LITERAL "${measurement_id}" PARENT_SCOPE)
  set(QUELLOX_GA4_API_SECRET_LITERAL "${api_secret}" PARENT_SCOPE)
endfunction()

# Checks the deployment values of the calling scope and writes them as
# <directory>/Deployment.h. The build's own values come from the cache; test
# programs of other deployments call it with values of their own.
function(quellox_deployment_header directory)
  # http or https, a host without user or query in the way of the paths below,
  # and an optional port.
  set(host_part "https?://[A-Za-z0-9.-]+(:[0-9]+)?")
  quellox_require("${QUELLOX_DOWNLOAD_URL}" "^${host_part}/([A-Za-z0-9._~-]+/)*[A-Za-z0-9._~-]+-setup\\.exe$"
                  QUELLOX_DOWNLOAD_URL)
  quellox_require("${QUELLOX_DOWNLOAD_BUILD_CODE}" "^[A-Za-z0-9._~-]+$" QUELLOX_DOWNLOAD_BUILD_CODE)
  quellox_require("${QUELLOX_LICENSE_URL}" "^${host_part}/([A-Za-z0-9._~-]+/)*license/$" QUELLOX_LICENSE_URL)
  quellox_require("${QUELLOX_ANALYTICS_URL}" "^${host_part}(/mp)?/collect$" QUELLOX_ANALYTICS_URL
                  "http(s)://HOST[:PORT]/collect, or /mp/collect with ga4")
  quellox_require("${QUELLOX_TRACKING_ID}" "^UA-[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]-[0-9]$" QUELLOX_TRACKING_ID)
  foreach(address QUELLOX_DOWNLOAD_URL QUELLOX_LICENSE_URL QUELLOX_ANALYTICS_URL)
    if("${${address}}" MATCHES "^https?://[^/]*:([0-9]+)/")
      set(port "${CMAKE_MATCH_1}")
      if(port LESS 1 OR port GREATER 65535)
        message(FATAL_ERROR "${address}: port ${port} of '${${address}}' is not between 1 and 65535")
      endif()
    endif()
  endforeach()

  # Address B: the same server and path, with source/<build code>/ before the file name.
  string(REGEX REPLACE "/([^/]+)$" "/source/${QUELLOX_DOWNLOAD_BUILD_CODE}/\\1" QUELLOX_DOWNLOAD_URL_B
         "${QUELLOX_DOWNLOAD_URL}")

  # The signer pin: the installer runs a downloaded setup program only when its
  # signature's leaf certificate is one of these. Fingerprints may be written as
  # openssl prints them (with colons, any case); several let a renewed
  # certificate be added before the old one expires.
  set(fingerprint_help
      "Get the fingerprint of your code-signing certificate with\n"
      "  openssl x509 -in maker.crt -noout -fingerprint -sha256\n"
      "or, from a file you have already signed,\n"
      "  osslsigncode extract-signature -in signed.exe -out sig.der && "
      "openssl pkcs7 -inform DER -in sig.der -print_certs | openssl x509 -noout -fingerprint -sha256\n"
      "(the first certificate printed is the signer's when it stands first in the signature; check its subject).")
  string(STRIP "${QUELLOX_SIGNER_SHA256}" signer_value)
  set(QUELLOX_SIGNER_PINS "")
  string(REGEX MATCH "^https?://[^/:]+" download_host "${QUELLOX_DOWNLOAD_URL}")
  if(signer_value STREQUAL "any" AND download_host MATCHES "^http://" AND NOT download_host MATCHES "\\.example$")
    # Any valid publisher over plain http: whoever is on the network path
    # between a user and the server chooses what runs elevated.
    message(FATAL_ERROR
      "QUELLOX_DOWNLOAD_URL '${QUELLOX_DOWNLOAD_URL}' is a plain http:// address and QUELLOX_SIGNER_SHA256 is "
      "'any': anyone on the network path could then choose the program that the installer runs with "
      "administrator rights. Use an https:// download address, or pin your code-signing certificate with "
      "QUELLOX_SIGNER_SHA256 (its SHA-256 fingerprint).\n" ${fingerprint_help})
  endif()
  if(signer_value STREQUAL "")
    if(NOT download_host MATCHES "\\.example$")
      message(FATAL_ERROR
        "QUELLOX_DOWNLOAD_URL '${QUELLOX_DOWNLOAD_URL}' is a real address, and no QUELLOX_SIGNER_SHA256 is set: "
        "the installer would run, with administrator rights, a file signed by any publisher that answers the "
        "download. Set QUELLOX_SIGNER_SHA256 to the SHA-256 fingerprint of your code-signing certificate "
        "(several separated by ';'), or to 'any' to accept every valid publisher.\n" ${fingerprint_help})
    endif()
  elseif(NOT signer_value STREQUAL "any")
    set(entries "${signer_value}")  # a CMake list: ';' separates the entries
    foreach(entry IN LISTS entries)
      string(STRIP "${entry}" entry)
      string(REPLACE ":" "" digits "${entry}")
      string(TOUPPER "${digits}" digits)
      string(LENGTH "${digits}" count)
      if(NOT digits MATCHES "^[0-9A-F]+$" OR NOT count EQUAL 64)
        message(FATAL_ERROR
          "QUELLOX_SIGNER_SHA256: '${entry}' is not a SHA-256 fingerprint: it needs 64 hexadecimal digits "
          "(colons allowed between them), and has ${count} characters after removing colons. "
          "Separate several fingerprints with ';'.\n" ${fingerprint_help})
      endif()
      if(QUELLOX_SIGNER_PINS STREQUAL "")
        set(QUELLOX_SIGNER_PINS "${digits}")
      else()
        string(APPEND QUELLOX_SIGNER_PINS ";${digits}")
      endif()
    endforeach()
  endif()

  quellox_analytics_protocol()
  configure_file(${quellox_deployment_template} ${directory}/Deployment.h @ONLY)
endfunction()
