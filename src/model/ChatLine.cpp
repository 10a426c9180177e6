#include "model/ChatLine.h"

namespace velmor {

namespace {
struct Pool {
  ChatLine* head = nullptr;
  std::uint32_t count = 0;
  ~Pool() {
    while (head != nullptr) {
      ChatLine* next = head->nextFree;
      delete head;
      head = next;
    }
  }
};

Pool& pool() {
  static Pool lines;
  return lines;
}
}  // namespace

Ref<ChatLine> ChatLine::acquire() {
  Pool& free = pool();
  ChatLine* line = free.head;
  if (line != nullptr) {
    free.head = line->nextFree;
    --free.count;
  } else {
    line = new ChatLine;
  }
  line->recipient[0] = '\0';
  line->length = 0;
  line->senderSlot = 0;
  line->references = 1;
  line->local = 0;
  line->renumbered = 0;
  line->text[0] = '\0';
  line->nextFree = nullptr;
  return Ref<ChatLine>::adopt(line);
}

void ChatLine::release(ChatLine* line) {
  if (line == nullptr || --line->references != 0) return;
  Pool& free = pool();
  line->nextFree = free.head;
  free.head = line;
  ++free.count;
}

std::uint32_t ChatLine::pooled() {
  return pool().count;
}

}  // namespace velmor
