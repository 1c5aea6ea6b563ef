# Read by ctest after the discovered tests: every test that talks to the loopback S3 server needs
# the run's server first.
set(s3_tests)
foreach(test IN LISTS cloud_tests_TESTS daemon_tests_TESTS)
  if(test MATCHES "^S3(Store|Upload|Faults|Sync)")
    list(APPEND s3_tests "${test}")
  endif()
endforeach()
if(s3_tests)
  set_tests_properties(${s3_tests} PROPERTIES FIXTURES_REQUIRED s3_server)
endif()
