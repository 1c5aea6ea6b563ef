# Read by ctest after the discovered tests: every test that starts the loopback sshd needs the
# password account first.
set(sftp_tests)
foreach(test IN LISTS remote_tests_TESTS control_tests_TESTS daemon_tests_TESTS)
  if(test MATCHES "^(Replies/)?(Session|Inspect|Download|Dispatch|RemoteTest|SftpBackup|PhonePass)")
    list(APPEND sftp_tests "${test}")
  endif()
endforeach()
if(sftp_tests)
  set_tests_properties(${sftp_tests} PROPERTIES FIXTURES_REQUIRED sftp_user)
endif()
