# The product version and its form for Windows Installer.

# The version the service states (program_version, which it also writes to
# the registry as Version), so that resources and package never drift from it.
function(nolvane_read_version out_var)
  file(STRINGS ${CMAKE_SOURCE_DIR}/src/host/service_main.h line REGEX "program_version = ")
  string(REGEX MATCH "\"([0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+)\"" found "${line}")
  if(NOT found)
    message(FATAL_ERROR "No program_version of four numbers in src/host/service_main.h")
  endif()
  set(${out_var} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()

# MSI's ProductVersion is major.minor.build, at most 255.255.65535, and
# Windows Installer ignores any fourth field when it compares versions. The
# service's A.B.C.D becomes (A - 1000).B.C: the order of A, B and C is kept
# while A is 1000..1255, B at most 255 and C at most 65535; D is left out, as
# the installer would ignore it, and the package upgrades an installed one of
# the same ProductVersion, so a build that raises only D still replaces it.
function(nolvane_msi_product_version version out_var)
  string(REPLACE "." ";" fields "${version}")
  list(GET fields 0 a)
  list(GET fields 1 b)
  list(GET fields 2 c)
  math(EXPR major "${a} - 1000")
  if(major LESS 0 OR major GREATER 255 OR b GREATER 255 OR c GREATER 65535)
    message(FATAL_ERROR "Version ${version} has no MSI ProductVersion: "
      "the first field must be 1000..1255, the second at most 255, the third at most 65535")
  endif()
  set(${out_var} "${major}.${b}.${c}" PARENT_SCOPE)
endfunction()

# "1.2.3.4" -> "1,2,3,4", the form of VERSIONINFO.
function(nolvane_version_commas version out_var)
  string(REPLACE "." "," commas "${version}")
  set(${out_var} "${commas}" PARENT_SCOPE)
endfunction()
