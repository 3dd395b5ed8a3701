# Generates the message code of proto/quillmar.proto: C++ into the library
# `quillmar_proto` (part of the ipc room, linked by `quillmar_ipc`), Python (for the cross-language test) into build/python/proto.
# The schema is named proto/quillmar.proto to protoc, so its outputs land in a
# proto/ directory below each output directory.
set(QUILLMAR_PROTO ${CMAKE_SOURCE_DIR}/proto/quillmar.proto)
set(QUILLMAR_PROTO_CPP_DIR ${CMAKE_BINARY_DIR}/generated)
set(QUILLMAR_PROTO_PY_DIR ${CMAKE_BINARY_DIR}/python)
file(MAKE_DIRECTORY ${QUILLMAR_PROTO_CPP_DIR}/proto ${QUILLMAR_PROTO_PY_DIR}/proto)

add_library(quillmar_proto STATIC)
target_link_libraries(quillmar_proto PUBLIC protobuf::libprotobuf)

protobuf_generate(
  TARGET quillmar_proto
  LANGUAGE cpp
  PROTOS ${QUILLMAR_PROTO}
  PROTOC_OUT_DIR ${QUILLMAR_PROTO_CPP_DIR}
  OUT_VAR QUILLMAR_PROTO_CPP_FILES)

# Generated code is not ours to keep warning-free.
set_source_files_properties(${QUILLMAR_PROTO_CPP_FILES} PROPERTIES COMPILE_OPTIONS "-w")
target_include_directories(quillmar_proto SYSTEM PUBLIC ${QUILLMAR_PROTO_CPP_DIR})

protobuf_generate(
  LANGUAGE python
  PROTOS ${QUILLMAR_PROTO}
  PROTOC_OUT_DIR ${QUILLMAR_PROTO_PY_DIR}
  OUT_VAR QUILLMAR_PROTO_PY_FILES)
add_custom_target(quillmar_proto_py ALL DEPENDS ${QUILLMAR_PROTO_PY_FILES})
