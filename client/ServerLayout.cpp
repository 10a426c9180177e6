#include "client/ServerLayout.h"

namespace velmor::client {

ServerLayout serverLayout(std::uint16_t code) {
  const wire::MessageInfo* message = wire::findMessage(code);
  if (message == nullptr) return {};
  const bool flat = message->shape == LayoutShape::Flat ||
                    message->shape == LayoutShape::MemberInfo ||
                    message->shape == LayoutShape::OptionalFlat;
  return {message->name, message->shape, flat ? message->fields : "", message->navigationFields};
}

}  // namespace velmor::client
