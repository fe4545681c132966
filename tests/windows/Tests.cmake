# Windows: the common tests and the tests through COM ports, all run under
# Wine by tools/win-test.sh, beside tarnel.exe and the DLLs it needs.
target_sources(testsupport PRIVATE
    support/fakeserialstate_win.cpp
    support/testplatform_win.cpp
    windows/deviceport.cpp windows/deviceport.h
)

add_library(testmain OBJECT main.cpp)
target_link_libraries(testmain PRIVATE testsupport Qt6::Widgets GTest::gtest)

qt_add_executable(tarnel_tests ${common_tests})
qt_add_executable(tarnel_comport_tests windows/test_comports.cpp)
qt_add_executable(tarnel_portlayer_tests
    windows/scripteddriver.cpp windows/scripteddriver.h
    windows/test_portlayer.cpp
)
foreach(suite tarnel_tests tarnel_comport_tests tarnel_portlayer_tests)
    target_link_libraries(${suite} PRIVATE testmain testsupport tarnelcore GTest::gtest Qt6::Test)
    # Console programs: their output is the test report.
    set_target_properties(${suite} PROPERTIES WIN32_EXECUTABLE OFF
                          RUNTIME_OUTPUT_DIRECTORY ${TARNEL_OUTPUT_DIR})
endforeach()

# The launch tests start tarnel.exe beside them.
target_compile_definitions(tarnel_comport_tests PRIVATE TARNEL_VERSION="${PROJECT_VERSION}")
add_dependencies(tarnel_comport_tests tarnel)

# The tests' own Qt DLL, beside them.
add_custom_command(TARGET tarnel_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:Qt6::Test> ${TARNEL_OUTPUT_DIR}
    VERBATIM)
