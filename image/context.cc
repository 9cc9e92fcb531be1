#include "image/context.h"

#include <algorithm>

namespace {

constexpr uint32_t kInitialBufferBytes = 32768;

}  // namespace

void init_context(RelabelContext* ctx) {
  *ctx = RelabelContext{};
  ctx->buffer.used = 0;
  ctx->buffer.capacity = kInitialBufferBytes;
  ctx->buffer.bytes.assign(kInitialBufferBytes, 0);
  ctx->new_id128[127] = kQueryModeMarker;
}

void destroy_context(RelabelContext* ctx) {
  stream_close(&ctx->file);
  ctx->buffer.bytes.clear();
  ctx->buffer.bytes.shrink_to_fit();
  ctx->buffer.used = 0;
  ctx->buffer.capacity = 0;
}

void ensure_capacity(SectorBuffer* buffer, uint32_t n) {
  if (buffer->capacity >= n) return;
  if (buffer->capacity != 0) {
    buffer->bytes.resize(n);
    buffer->capacity = n;
  } else if (buffer->bytes.empty()) {
    buffer->bytes.assign(n, 0);
    buffer->used = 0;
    buffer->capacity = n;
  }
}
