#include "server/ConnectionRateTable.h"

namespace velmor {

bool ConnectionRateTable::admit(std::uint32_t address, std::uint64_t now) {
  // Walk to the address's record, dropping stale records of other addresses on the way
  // (the last record moves into the freed place); records after the match stay unexamined.
  Record* record = nullptr;
  for (std::size_t i = 0; i < records_.size();) {
    Record& candidate = records_[i];
    const bool stale = now - candidate.lastSeen > kWindowMs;
    if (candidate.address == address) {
      record = &candidate;
      break;
    }
    if (stale) {
      if (i + 1 != records_.size()) candidate = std::move(records_.back());
      records_.pop_back();
    } else {
      ++i;
    }
  }

  if (record == nullptr) {
    records_.push_back(Record{address, now, nullptr, 0});
    return true;
  }
  if (record->bannedAt != 0 && now - record->bannedAt < kBlockMs) {
    record->bannedAt = now;
    return false;
  }
  if (now - record->lastSeen > kWindowMs) {
    record->lastSeen = now;
    record->recentTimes.reset();
    return true;
  }
  if (!record->recentTimes) {
    record->recentTimes = std::make_unique<std::uint64_t[]>(kRecentTimes);
    record->recentTimes[0] = record->lastSeen;
    record->lastSeen = now;
    return true;
  }
  record->lastSeen = now;
  // A slot is free when it was never used (0), its time left the window, or it lies in
  // the future; the oldest free one takes the new time.
  std::size_t chosen = kRecentTimes;
  for (std::size_t i = 0; i < kRecentTimes; ++i) {
    const std::uint64_t t = record->recentTimes[i];
    const bool candidate = t == 0 || t + kWindowMs <= now || t > now;
    if (candidate && (chosen == kRecentTimes || t < record->recentTimes[chosen])) chosen = i;
  }
  if (chosen == kRecentTimes) {
    record->bannedAt = now;
    return false;
  }
  record->recentTimes[chosen] = now;
  return true;
}

bool ConnectionRateTable::blocked(std::uint32_t address) const {
  for (const Record& record : records_) {
    if (record.address == address) return record.bannedAt != 0;
  }
  return false;
}

}  // namespace velmor
