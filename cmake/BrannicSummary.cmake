# Printed at the end of every configure run.
message(STATUS "brannic ${PROJECT_VERSION}: client flavour ${BRANNIC_CLIENT_FLAVOUR}, "
               "sanitizers ${BRANNIC_SANITIZE}, fuzz ${BRANNIC_FUZZ}, warnings as errors ${BRANNIC_WERROR}")
if(APPLE)
  message(STATUS "codeSign: not part of the macOS build")
elseif(BRANNIC_SIGNING_KEY_IS_DEV)
  message(WARNING "codeSign verification key: the DEVELOPMENT key (${BRANNIC_SIGNING_PUBLIC_KEY_FILE}). "
                  "Its private half is public in this repository, so anyone can sign for this build. "
                  "Pass -DBRANNIC_SIGNING_PUBLIC_KEY=<public.pem> for a deployment.")
else()
  message(STATUS "codeSign verification key: ${BRANNIC_SIGNING_PUBLIC_KEY_FILE}")
endif()
