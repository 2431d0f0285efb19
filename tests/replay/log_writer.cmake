# The log writer, for any folder that needs dirty hives: include() this file
# (the tests here do; tools/ may too, whether or not the tests are built).
if(NOT TARGET tarnwick_log_writer)
    add_library(tarnwick_log_writer STATIC ${CMAKE_CURRENT_LIST_DIR}/log_writer.cpp)
    target_include_directories(tarnwick_log_writer PUBLIC ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(tarnwick_log_writer PUBLIC tarnwick_replay)
endif()
