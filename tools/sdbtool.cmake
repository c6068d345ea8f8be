# The record-file tool and the room file of the ready program folder.
add_executable(sdbtool ${CMAKE_CURRENT_SOURCE_DIR}/sdbtool.cpp)
target_link_libraries(sdbtool PRIVATE tvl_storage)

# dist/rooms.sdb from site/rooms.txt; made again when the list or the tool
# changes.
set(TVL_ROOM_LIST ${CMAKE_SOURCE_DIR}/site/rooms.txt)
add_custom_command(OUTPUT ${TAVELLA_DIST_DIR}/rooms.sdb
                   COMMAND sdbtool create ${TAVELLA_DIST_DIR}/rooms.sdb ${TVL_ROOM_LIST}
                   DEPENDS sdbtool ${TVL_ROOM_LIST}
                   COMMENT "Making rooms.sdb from site/rooms.txt" VERBATIM)
add_custom_target(tvl_rooms DEPENDS ${TAVELLA_DIST_DIR}/rooms.sdb)

# The site target is defined in site/, which is added after tools/: attach
# the room file to it once every folder has been read.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL add_dependencies tvl_site tvl_rooms)
