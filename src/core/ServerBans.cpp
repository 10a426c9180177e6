#include "core/ServerBans.h"

#include <string>

#include "base/FixedText.h"
#include "db/MainDatabase.h"

namespace velmor {

namespace {

// A ban stored as the row of its id.
class StoreServerBanQuery final : public BanChange {
 public:
  StoreServerBanQuery(std::uint64_t entryId, const BanEntry& entry) {
    id = entryId;
    ban = entry;
  }
  StoreOutcome execute(Storage& storage) override {
    return storeOutcome(storage.main.storeServerBan(id, ban));
  }
  std::string unstoredText() const override {
    return "server ban of " + std::string(fieldText(ban.name));
  }
};

// An unban: the row of the entry's id goes (a row an operator took out already is no
// longer there, and nothing else goes with it).
class DeleteServerBanQuery final : public BanChange {
 public:
  DeleteServerBanQuery(std::uint64_t entryId, std::string_view name) {
    id = entryId;
    copyText(ban.name, name);
  }
  StoreOutcome execute(Storage& storage) override {
    return storeOutcome(storage.main.deleteServerBan(id));
  }
  std::string unstoredText() const override {
    return "server unban of " + std::string(fieldText(ban.name));
  }
};

}  // namespace

void ServerBans::restore(std::uint64_t id, const BanEntry& ban) {
  list_.add(ban, id);
  count_.set(list_.size());
}

void ServerBans::add(const BanEntry& ban) {
  const std::uint64_t id = list_.add(ban);
  count_.set(list_.size());
  queries_.post(nullptr, new StoreServerBanQuery(id, ban));
}

bool ServerBans::removeNamed(std::string_view name) {
  const std::uint64_t id = list_.removeNamed(name);
  if (id == 0) return false;
  count_.set(list_.size());
  queries_.post(nullptr, new DeleteServerBanQuery(id, name));
  return true;
}

}  // namespace velmor
