# kav-host serve: the server on Boost.Beast (headers only) with its page embedded, and
# the loopback load generator that the load test and the benchmark share.
find_package(Threads REQUIRED)
find_path(KAV_HOST_BEAST_INCLUDE boost/beast.hpp REQUIRED)
find_path(KAV_HOST_RAPIDJSON_INCLUDE rapidjson/writer.h REQUIRED)

set(web ${CMAKE_CURRENT_SOURCE_DIR}/web)
set(page ${CMAKE_CURRENT_BINARY_DIR}/serve_page.cpp)
add_custom_command(OUTPUT ${page}
  COMMAND ${CMAKE_COMMAND} -DWEB_DIR=${web} -DOUTPUT=${page} -P ${web}/embed.cmake
  DEPENDS ${web}/embed.cmake ${web}/index.html ${web}/page.css ${web}/page.js ${web}/explorer.js
  VERBATIM)
target_sources(kav_host_tool PRIVATE src/serve.cpp src/serve_http.cpp src/serve_socket.cpp src/serve_command.cpp ${page})
target_include_directories(kav_host_tool PRIVATE src)
target_include_directories(kav_host_tool SYSTEM PRIVATE ${KAV_HOST_BEAST_INCLUDE} ${KAV_HOST_RAPIDJSON_INCLUDE})
target_link_libraries(kav_host_tool PUBLIC Threads::Threads)

add_library(kav_serve_load STATIC src/serve_load.cpp)
target_include_directories(kav_serve_load PUBLIC include)
target_include_directories(kav_serve_load SYSTEM PRIVATE ${KAV_HOST_BEAST_INCLUDE} ${KAV_HOST_RAPIDJSON_INCLUDE})
target_link_libraries(kav_serve_load PUBLIC kav_host_tool Threads::Threads)
# Beast speaks std::string_view, as the rest of the code does.
target_compile_definitions(kav_host_tool PRIVATE BOOST_BEAST_USE_STD_STRING_VIEW)
target_compile_definitions(kav_serve_load PRIVATE BOOST_BEAST_USE_STD_STRING_VIEW)
# RapidJSON's member iterators declare == and != in the pre-C++20 way; clang warns at
# every comparison of them, g++ does not.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  target_compile_options(kav_host_tool PRIVATE -Wno-ambiguous-reversed-operator)
  target_compile_options(kav_serve_load PRIVATE -Wno-ambiguous-reversed-operator)
endif()
