# Read by ctest after the discovered tests: tests that change kernel-wide settings (the inotify
# limits) run alone, since every other watcher of the same user would feel them meanwhile.
set_tests_properties(
  "EventStreamTest.QueueOverflowSaysEventsWereLostAndRescans"
  "EventStreamTest.WatchLimitMakesTheStreamLoseItsWatches"
  PROPERTIES RUN_SERIAL TRUE)
# The device link's end-to-end tests use the fixed ports of the real service.
set_tests_properties(
  "DeviceLinkService.APhoneFindsTheServicePairsAndSaysHello"
  "DeviceLinkService.WithoutPhonesNoLinkIsTried"
  PROPERTIES RUN_SERIAL TRUE)
foreach(test IN LISTS daemon_tests_TESTS)
  if(test MATCHES "^PhonePassService\\.")
    set_tests_properties("${test}" PROPERTIES RUN_SERIAL TRUE)
  endif()
endforeach()
