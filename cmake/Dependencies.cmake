# System libraries, all from Debian packages (see scripts/install-deps).
find_package(Threads REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(ZLIB REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n)

find_library(ONIG_LIBRARY onig REQUIRED)
find_path(ONIG_INCLUDE_DIR oniguruma.h REQUIRED)
add_library(Onig::onig UNKNOWN IMPORTED)
set_target_properties(Onig::onig PROPERTIES IMPORTED_LOCATION ${ONIG_LIBRARY}
                      INTERFACE_INCLUDE_DIRECTORIES ${ONIG_INCLUDE_DIR})

# OSSP uuid exports the same symbol names as the system's libuuid; the static
# archive is linked into the module and its symbols kept out of the dynamic
# symbol table, so a host that also loads libuuid cannot capture our calls.
find_library(OSSP_UUID_STATIC libossp-uuid.a REQUIRED)
find_path(OSSP_UUID_INCLUDE_DIR ossp/uuid.h REQUIRED)
add_library(OsspUuid::uuid STATIC IMPORTED)
set_target_properties(OsspUuid::uuid PROPERTIES IMPORTED_LOCATION ${OSSP_UUID_STATIC}
                      INTERFACE_INCLUDE_DIRECTORIES ${OSSP_UUID_INCLUDE_DIR})

find_library(PAM_LIBRARY pam REQUIRED)

if(DRV_TESTS OR DRV_BENCH)
  find_package(GTest REQUIRED)
endif()
if(DRV_BENCH)
  find_package(benchmark REQUIRED)
endif()
