# Java side: the agent jar (loaded into profiled JVMs, Java 8 bytecode, no
# dependencies), the tool jar (snapshot reader, command line, reports) and
# the real-JVM JUnit tests, each test class registered as its own ctest.
find_package(Java 17 REQUIRED COMPONENTS Development Runtime)
include(UseJava)

set(JUNIT_STANDALONE /usr/share/java/junit-platform-console-standalone.jar)
if(NOT EXISTS ${JUNIT_STANDALONE})
  message(FATAL_ERROR "JUnit 5 console launcher not found; install Debian's junit5 package")
endif()

# pprof output: Java classes generated from profile.proto, on Debian's protobuf-java.
set(PROTOBUF_JAR /usr/share/java/protobuf.jar)
if(NOT EXISTS ${PROTOBUF_JAR})
  message(FATAL_ERROR "protobuf-java not found; install Debian's libprotobuf-java package")
endif()
find_program(PROTOC protoc REQUIRED)

# The tool's command line is declared with picocli (Debian's libpicocli-java);
# the agent jar stays free of dependencies.
set(PICOCLI_JAR /usr/share/java/picocli.jar)
if(NOT EXISTS ${PICOCLI_JAR})
  message(FATAL_ERROR "picocli not found; install Debian's libpicocli-java package")
endif()
set(PPROF_PROTO ${CMAKE_SOURCE_DIR}/java/tool/proto/profile.proto)
set(PPROF_JAVA ${CMAKE_BINARY_DIR}/generated/com/tolvane/report/pprof/ProfileProto.java)
add_custom_command(OUTPUT ${PPROF_JAVA}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
  COMMAND ${PROTOC} --proto_path=${CMAKE_SOURCE_DIR}/java/tool/proto --java_out=${CMAKE_BINARY_DIR}/generated
    ${PPROF_PROTO}
  DEPENDS ${PPROF_PROTO}
  COMMENT "Generating the pprof profile classes")

file(GLOB_RECURSE AGENT_JAVA CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/java/agent/*.java)
set(CMAKE_JAVA_COMPILE_FLAGS --release 8 -Xlint:-options -encoding UTF-8)
add_jar(tolvane-agent SOURCES ${AGENT_JAVA}
  MANIFEST ${CMAKE_SOURCE_DIR}/java/agent/MANIFEST.MF
  OUTPUT_DIR ${CMAKE_BINARY_DIR}/jars)
get_target_property(TOLVANE_AGENT_JAR tolvane-agent JAR_FILE)

file(GLOB_RECURSE TOOL_JAVA CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/java/tool/*.java)
file(GLOB_RECURSE TOOL_RESOURCES CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR}/java/tool
  ${CMAKE_SOURCE_DIR}/java/tool/*.html ${CMAKE_SOURCE_DIR}/java/tool/*.js ${CMAKE_SOURCE_DIR}/java/tool/*.css)
set(CMAKE_JAVA_COMPILE_FLAGS --release 17 -encoding UTF-8)
# Resources keep their package path inside the jar (com/tolvane/report/report.js).
set(TOOL_RESOURCE_ARGS)
foreach(res ${TOOL_RESOURCES})
  get_filename_component(res_dir ${res} DIRECTORY)
  list(APPEND TOOL_RESOURCE_ARGS NAMESPACE ${res_dir} ${CMAKE_SOURCE_DIR}/java/tool/${res})
endforeach()
if(TOOL_RESOURCE_ARGS)
  set(TOOL_RESOURCE_ARGS RESOURCES ${TOOL_RESOURCE_ARGS})
endif()
add_jar(tolvane-tool SOURCES ${TOOL_JAVA} ${PPROF_JAVA} ${TOLVANE_FORMAT_JAVA}
  ${TOOL_RESOURCE_ARGS}
  INCLUDE_JARS tolvane-agent ${PROTOBUF_JAR} ${PICOCLI_JAR}
  OUTPUT_DIR ${CMAKE_BINARY_DIR}/jars)
get_target_property(TOLVANE_TOOL_JAR tolvane-tool JAR_FILE)

file(GLOB_RECURSE JVM_TEST_JAVA CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/jvm/*.java)
if(JVM_TEST_JAVA)
  set(CMAKE_JAVA_COMPILE_FLAGS --release 17 -encoding UTF-8)
  add_jar(tolvane-jvm-tests SOURCES ${JVM_TEST_JAVA}
    INCLUDE_JARS tolvane-agent tolvane-tool ${PROTOBUF_JAR} ${PICOCLI_JAR} ${JUNIT_STANDALONE}
    OUTPUT_DIR ${CMAKE_BINARY_DIR}/jars)
  get_target_property(TOLVANE_TEST_JAR tolvane-jvm-tests JAR_FILE)
  add_dependencies(tolvane-jvm-tests tolvane tolvane_clockstep)

  foreach(test_src ${JVM_TEST_JAVA})
    get_filename_component(test_name ${test_src} NAME_WE)
    if(NOT test_name MATCHES "Test$")
      continue()
    endif()
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR}/tests/jvm ${test_src})
    string(REGEX REPLACE "\\.java$" "" fqcn ${rel})
    string(REPLACE "/" "." fqcn ${fqcn})
    add_test(NAME jvm.${test_name}
      COMMAND ${Java_JAVA_EXECUTABLE}
        -Dtolvane.lib=$<TARGET_FILE:tolvane>
        -Dtolvane.agentJar=${TOLVANE_AGENT_JAR}
        -Dtolvane.toolJar=${TOLVANE_TOOL_JAR}
        -Dtolvane.testJar=${TOLVANE_TEST_JAR}
        -Dtolvane.java=${Java_JAVA_EXECUTABLE}
        -Dtolvane.root=${CMAKE_SOURCE_DIR}
        -Dtolvane.buildDir=${CMAKE_BINARY_DIR}
        -Dtolvane.clockShim=$<TARGET_FILE:tolvane_clockstep>
        -Dtolvane.protobufJar=${PROTOBUF_JAR}
        -jar ${JUNIT_STANDALONE}
        --disable-banner --details=tree --fail-if-no-tests
        --class-path ${TOLVANE_TEST_JAR}:${TOLVANE_TOOL_JAR}:${TOLVANE_AGENT_JAR}:${PROTOBUF_JAR}:${PICOCLI_JAR}
        --select-class ${fqcn})
    set_tests_properties(jvm.${test_name} PROPERTIES LABELS jvm TIMEOUT 600)
  endforeach()
endif()
