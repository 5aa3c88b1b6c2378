// Memory that grows as bytes come: the sink of a body read into memory, and
// the lists noted for a spread.
#include "base/base.h"

#include <stdlib.h>
#include <string.h>

int mem_sink(void* context, const void* bytes, DWORD count) {
    mem_buf* buffer = (mem_buf*)context;
    unsigned long long need = buffer->len + count + 1;
    if (need > buffer->cap) {
        unsigned long long cap = 2 * need;
        char* grown = (char*)(cap == (size_t)cap ? realloc(buffer->data, (size_t)cap) : 0);
        if (!grown) {
            free(buffer->data);
            buffer->data = 0;
            buffer->len = 0;
            buffer->cap = 0;
            return 0;
        }
        buffer->data = grown;
        buffer->cap = cap;
    }
    memcpy(buffer->data + buffer->len, bytes, count);
    buffer->len += count;
    buffer->data[buffer->len] = 0;
    return 1;
}

void mem_free(mem_buf* buffer) {
    free(buffer->data);
    buffer->data = 0;
    buffer->len = 0;
    buffer->cap = 0;
}
