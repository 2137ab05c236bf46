# The private sound servers that the tests on a real server run against: one
# PulseAudio and one PipeWire server (scripts/KIND_server.sh), each started
# by a fixture before the first test that needs it and stopped after the
# last. The directories are short /tmp paths, as a socket path must be, of
# this build tree's own. Included by every folder whose tests need one; the
# fixtures are added once.
set(KORVALIN_SOUND_SERVERS pulse pipewire)
string(MD5 build_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${build_hash}" 0 10 build_hash)
get_property(fixtures_added GLOBAL PROPERTY KORVALIN_SOUND_SERVER_FIXTURES)
foreach(server ${KORVALIN_SOUND_SERVERS})
  set(dir /tmp/korvalin-servers-${build_hash}/${server})
  set(script ${PROJECT_SOURCE_DIR}/scripts/${server}_server.sh)
  set(KORVALIN_SOUND_SERVER_ENV_${server}
      PULSE_SERVER=unix:${dir}/runtime/native KORVALIN_PULSE_DIR=${dir} KORVALIN_SERVER_SCRIPT=${script})
  if(NOT fixtures_added)
    add_test(NAME sound_server_${server}_start COMMAND ${script} start ${dir})
    # The last server to stop takes the shared parent directory with it.
    add_test(NAME sound_server_${server}_stop
             COMMAND sh -c "\"$0\" stop \"$1\" && rmdir --ignore-fail-on-non-empty \"$(dirname \"$1\")\""
                     ${script} ${dir})
    set_tests_properties(sound_server_${server}_start PROPERTIES FIXTURES_SETUP ${server}_server)
    set_tests_properties(sound_server_${server}_stop PROPERTIES FIXTURES_CLEANUP ${server}_server)
  endif()
endforeach()
set_property(GLOBAL PROPERTY KORVALIN_SOUND_SERVER_FIXTURES TRUE)

# Runs `test` against the `server` sound server: its environment, its
# fixture, and its lock, because the tests change the server's defaults.
function(korvalin_on_sound_server test server)
  set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT ${KORVALIN_SOUND_SERVER_ENV_${server}})
  set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED ${server}_server RESOURCE_LOCK ${server}_server)
endfunction()
