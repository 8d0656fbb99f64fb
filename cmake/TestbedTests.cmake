# The suite's BlueZ tests a second time, on the real Linux Bluetooth stack: one testbed guest runs the listed tests
# (by their ctest names) with ctest inside it, where the fixtures use the real bluetoothd and the world server in
# place of tavrin-bluez-sim. Each runs as it does against the simulator; the guest takes the whole machine (TCG),
# so nothing else runs beside it.
# The tests (ctest names) that also run on the real stack.
set(TAVRIN_REAL_STACK_TESTS
  # The tool, as `make demo` runs it, and when nothing matches; the examples.
  "Bluez/ToolRun.SwitchesThePlugOnAndShowsTheCountdown/Bluez"
  "Bluez/ToolRun.AddressThatMatchesNothingEndsNormally/Bluez"
  "Bluez/ToolRun.NoArgumentsScansAndMatchesNothing/Bluez"
  "Bluez/Examples.ScanPrintsEachDeviceWithItsAdvertisement/Bluez"
  "Bluez/Examples.ReadWriteListsTheTreeReadsAndSwitchesThePlug/Bluez"
  "Bluez/Examples.NotifyPrintsValuesUntilItUnsubscribes/Bluez"
  # Scanning and its options, two adapters.
  "Deployment.ScanOptionsHoldWhileAnotherProgramScansWider"
  "Deployment.EachAdapterScansAndConnectsOnItsOwn"
  # GATT, notifications and a stream of them, limits, reconnect cycles.
  "BluezRadioTest.ConnectDiscoverReadWriteDescriptorsAndTheMtu"
  "BluezRadioTest.NotificationsArriveInOrderOnlyWhileSubscribed"
  "BluezRadioTest.NotificationStreamKeepsItsOrderUpToTheDisconnection"
  "Deployment.SlowReadSucceedsWithinARaisedLimitAndFailsWithTheDefault"
  "Deployment.ReconnectCyclesEachServeTheirRequests"
  # bluetoothd's sockets: a notify socket's stream, another program's subscription, writes through the write socket.
  "SocketPath.ExclusiveSubscriptionStreamsInOrderAndGivesWayToAnotherProgram"
  # Services of one UUID, service data.
  "Deployment.CharacteristicIsFoundInEachServiceOfItsUuid"
  "Deployment.ListedServicesKeepTheirData"
  # Pairing.
  "BluezPairing.EncryptedReadPairsOnDemandAndUnpairs"
  # The Python module and its examples.
  "python_test_bluez"
  "python_test_examples"
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
