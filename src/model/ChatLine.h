#pragma once

#include <cstdint>

#include "model/Ref.h"

namespace velmor {

// One chat line: shared by the room's chat queue, the room's recent lines and the
// sender's last chat, each holding a Ref. Lines come from a free pool and go back to
// it when the last reference is dropped, so chatting does not allocate once warm.
// Main loop only.
struct ChatLine {
  static constexpr std::uint16_t kMaxText = 1024;

  char recipient[32];  // empty for room and local chat; the whispered-to member otherwise
  std::uint16_t length;
  std::uint16_t senderSlot;
  // Holders: each place in a chat queue (a repeat queues the line again), the recent lines
  // and the sender's last chat. 32 bits: no number of holders that can exist wraps it.
  std::uint32_t references;
  std::uint8_t local;       // 1: local chat of a navigation room
  std::uint8_t renumbered;  // scratch of a departure's renumbering: this line is done
  char text[kMaxText + 1];
  ChatLine* nextFree;

  // A line from the pool, with no recipient and no text; the Ref is its one reference.
  static Ref<ChatLine> acquire();
  void addRef() { ++references; }
  // Drops one reference; the last returns the line to the pool. Null is ignored.
  static void release(ChatLine* line);
  // Lines kept in the pool (tests, memory figures).
  static std::uint32_t pooled();
};

}  // namespace velmor
