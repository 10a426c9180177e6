#include "net/BacklogIndex.h"

#include <algorithm>

#include "net/ClientData.h"

namespace velmor {

void BacklogIndex::reserve(std::size_t connections) {
  if (connections > heap_.capacity()) heap_.reserve(std::max(connections, 2 * heap_.capacity()));
}

std::size_t BacklogIndex::held(const ClientData* client) {
  return client->output_.heldBytes();
}

void BacklogIndex::update(ClientData& client) {
  std::size_t slot = client.backlogSlot_;
  if (held(&client) == 0) {
    if (slot != kNoSlot) remove(slot);
    return;
  }
  if (slot == kNoSlot) {
    slot = heap_.size();
    heap_.push_back(&client);
    client.backlogSlot_ = slot;
  }
  siftUp(slot);
  siftDown(client.backlogSlot_);
}

void BacklogIndex::place(std::size_t slot, ClientData* client) {
  heap_[slot] = client;
  client->backlogSlot_ = slot;
}

void BacklogIndex::siftUp(std::size_t slot) {
  ClientData* moving = heap_[slot];
  while (slot > 0) {
    const std::size_t parent = (slot - 1) / 2;
    if (held(heap_[parent]) >= held(moving)) break;
    place(slot, heap_[parent]);
    slot = parent;
  }
  place(slot, moving);
}

void BacklogIndex::siftDown(std::size_t slot) {
  ClientData* moving = heap_[slot];
  for (;;) {
    std::size_t child = 2 * slot + 1;
    if (child >= heap_.size()) break;
    if (child + 1 < heap_.size() && held(heap_[child + 1]) > held(heap_[child])) ++child;
    if (held(heap_[child]) <= held(moving)) break;
    place(slot, heap_[child]);
    slot = child;
  }
  place(slot, moving);
}

void BacklogIndex::remove(std::size_t slot) {
  ClientData* leaving = heap_[slot];
  leaving->backlogSlot_ = kNoSlot;
  ClientData* last = heap_.back();
  heap_.pop_back();
  if (last == leaving) return;
  place(slot, last);
  siftUp(slot);
  siftDown(last->backlogSlot_);
}

}  // namespace velmor
