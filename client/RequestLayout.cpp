#include "client/RequestLayout.h"

#include "wire/Schema.h"

namespace velmor::client {

RequestLayout requestLayout(std::uint8_t type) {
  const wire::RequestInfo* request = wire::findRequest(type);
  if (request == nullptr) return {};
  return {request->name, request->fields, request->fieldNames};
}

unsigned fixedFieldSize(char letter) {
  switch (letter) {
    case 'b':
      return 1;
    case 'w':
      return 2;
    case 'd':
      return 4;
    case 'h':
      return 16;
    default:
      return 0;
  }
}

}  // namespace velmor::client
