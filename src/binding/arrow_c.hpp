// The Arrow C data and stream interfaces: the three structs through which
// Arrow libraries hand columns to each other, as Arrow publishes them for
// copying into any project (arrow/c/abi.h). The guards are Arrow's own, so
// this copy and any other met in the same translation unit define each
// struct once.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    // Array type description
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;

    // Release callback
    void (*release)(struct ArrowSchema*);
    // Opaque producer-specific data
    void* private_data;
};

struct ArrowArray {
    // Array data description
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;

    // Release callback
    void (*release)(struct ArrowArray*);
    // Opaque producer-specific data
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    // Callback to get the stream type (the same for all arrays in the
    // stream). Returns 0, or an errno-compatible error code; a schema it
    // gives is released independently from the stream.
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);

    // Callback to get the next array (released, with no error: the stream
    // has ended). Returns 0, or an errno-compatible error code; an array it
    // gives is released independently from the stream.
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);

    // Callback to get a description of the last error, called only after
    // an operation failed: a null-terminated text valid until the next
    // operation on the stream, or NULL.
    const char* (*get_last_error)(struct ArrowArrayStream*);

    // Release callback: release the stream's own resources.
    void (*release)(struct ArrowArrayStream*);

    // Opaque producer-specific data
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

#ifdef __cplusplus
}
#endif
