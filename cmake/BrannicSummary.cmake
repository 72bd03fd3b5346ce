# Printed at the end of every configure run.
message(STATUS "brannic ${PROJECT_VERSION}: client flavour ${BRANNIC_CLIENT_FLAVOUR}, "
               "sanitizers ${BRANNIC_SANITIZE}, fuzz ${BRANNIC_FUZZ}, warnings as errors ${BRANNIC_WERROR}")
