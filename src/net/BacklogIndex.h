#pragma once

#include <cstddef>
#include <vector>

namespace velmor {

class ClientData;

// The connections that hold queued output, ordered by the bytes they hold, so that the
// output limit for all connections finds the largest backlog without a walk over every
// connection: a binary max-heap whose entries know their own slot (ClientData::backlogSlot_).
// The largest is read in O(1); a change of one connection's holding costs O(log n), and
// holdings change only when a whole buffer is taken or given back.
// Owned by GenericServer; main loop only. The storage grows with reserve(), called as
// connections are accepted, so that queuing output never allocates.
class BacklogIndex {
 public:
  static constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);

  // Room for this many connections, grown by doubling.
  void reserve(std::size_t connections);
  // After the connection's held output changed: enters it, moves it or (holding nothing)
  // takes it out.
  void update(ClientData& client);
  // The connection holding the most output; nullptr when none holds any.
  ClientData* largest() const { return heap_.empty() ? nullptr : heap_.front(); }
  std::size_t size() const { return heap_.size(); }

 private:
  static std::size_t held(const ClientData* client);
  void place(std::size_t slot, ClientData* client);
  void siftUp(std::size_t slot);
  void siftDown(std::size_t slot);
  void remove(std::size_t slot);

  std::vector<ClientData*> heap_;  // heap_[0] holds the most; each entry's slot is its index
};

}  // namespace velmor
