# The suite's BlueZ tests a second time, on the real Linux Bluetooth stack: one testbed guest runs the listed tests
# (by their ctest names) with ctest inside it, where the fixtures use the real bluetoothd and the world server in
# place of tavrin-bluez-sim. Each runs as it does against the simulator; the guest takes the whole machine (TCG),
# so nothing else runs beside it.
# The tests (ctest names) that also run on the real stack.
set(TAVRIN_REAL_STACK_TESTS
  # The tool, as `make demo` runs it, and when nothing matches.
  "Bluez/ToolRun.SwitchesThePlugOnAndShowsTheCountdown/Bluez"
  "Bluez/ToolRun.AddressThatMatchesNothingEndsNormally/Bluez"
  # GATT, notifications and a stream of them. (Not yet the reconnect cycles: on the testbed a Connect() made right
  # after a disconnection now and then stays unanswered until the connection limit.)
  "BluezRadioTest.ConnectDiscoverReadWriteDescriptorsAndTheMtu"
  "BluezRadioTest.NotificationsArriveInOrderOnlyWhileSubscribed"
  "BluezRadioTest.NotificationStreamKeepsItsOrderUpToTheDisconnection"
  # Services of one UUID, service data.
  "Deployment.CharacteristicIsFoundInEachServiceOfItsUuid"
  "Deployment.ListedServicesKeepTheirData"
  # Pairing.
  "BluezPairing.EncryptedReadPairsOnDemandAndUnpairs"
  # The Python module.
  "python_test_bluez"
)
if(TAVRIN_TESTBED_TESTS AND TAVRIN_SANITIZE STREQUAL "" AND TARGET tavrin-world-server)
  list(JOIN TAVRIN_REAL_STACK_TESTS "|" names)
  string(REPLACE "." "\\." names "${names}")
  add_test(NAME RealStack
           COMMAND ${TAVRIN_TESTBED_DIR}/tavrin-testbed --controllers 8 --failure-trace ${CMAKE_BINARY_DIR}/testbed-failure
                   --timeout 1200 --
                   ${CMAKE_CTEST_COMMAND} --test-dir ${CMAKE_BINARY_DIR} -R "^(${names})( |$)" --output-on-failure
                   --no-tests=error --timeout 300)
  set_tests_properties(RealStack PROPERTIES LABELS testbed RUN_SERIAL TRUE TIMEOUT 1300)
endif()
