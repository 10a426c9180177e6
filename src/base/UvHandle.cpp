#include "base/UvHandle.h"

namespace velmor {

void freeHandle(uv_handle_t* handle) {
  std::free(handle);
}

}  // namespace velmor
