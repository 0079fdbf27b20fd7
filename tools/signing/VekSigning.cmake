# Signed PE files for tests, made at test time (see make-signing-fixtures.sh).
#   include(${PROJECT_SOURCE_DIR}/tools/signing/VekSigning.cmake)
#   vek_add_signing_fixture(<fixture> DIR <out-dir> TARGETS <dll-or-exe-target>...)
# adds a CTest setup test that makes the CA and the signers in <out-dir>, signs each target's file
# with every signer (<out-dir>/<signer>/<file>), makes unsigned/ and tampered/ copies, and trusts
# the CA in the tree's Wine prefix. Tests name <fixture> in vek_add_test(... FIXTURES <fixture>)
# and DEPENDS on the targets.
if(NOT TARGET vek_trust_cert)
  add_executable(vek_trust_cert ${CMAKE_CURRENT_LIST_DIR}/TrustTestCertificate.cpp)
  target_link_libraries(vek_trust_cert PRIVATE vek_options)
  target_link_options(vek_trust_cert PRIVATE -municode)
endif()
set(VEK_SIGNING_DIR ${CMAKE_CURRENT_LIST_DIR})

function(vek_add_signing_fixture fixture)
  cmake_parse_arguments(A "" "DIR" "TARGETS" ${ARGN})
  set(files)
  foreach(t IN LISTS A_TARGETS)
    list(APPEND files $<TARGET_FILE:${t}>)
  endforeach()
  add_test(NAME ${fixture}_setup
    COMMAND bash ${VEK_SIGNING_DIR}/make-signing-fixtures.sh ${A_DIR} $<TARGET_FILE:vek_trust_cert> ${files})
  set_tests_properties(${fixture}_setup PROPERTIES FIXTURES_SETUP ${fixture}
    ENVIRONMENT "VEK_BUILD_DIR=${PROJECT_BINARY_DIR}")
endfunction()
