// Text watermark with the built-in bitmap font.
#include "internal.h"

namespace rastra {

void draw_watermark(uint8_t* /*pixels*/, int32_t /*w*/, int32_t /*h*/) noexcept {}

}  // namespace rastra
