# The interpreter-free core, listed once for every build that compiles it
# (the project itself and the fuzz targets).
set(QUORL_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/../src/diff/node_update.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/diff/node_map.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/diff/graph_diff.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/diff/graph_diff_batches.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/diff/hash_key.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/encoding/float_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/encoding/encode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/encoding/decode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/encoding/node_record_write.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/encoding/node_record_read.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/encoding/node_record_messages.cpp
)
