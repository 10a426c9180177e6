#include "ScenarioSupport.h"

namespace velmor::load {

namespace {
struct Until {
  std::function<bool()> done;
  uv_timer_t timer{};
};
}  // namespace

void runUntil(uv_loop_t* loop, std::function<bool()> done) {
  Until until{std::move(done), {}};
  uv_timer_init(loop, &until.timer);
  until.timer.data = &until;
  uv_timer_start(
      &until.timer,
      [](uv_timer_t* t) {
        if (static_cast<Until*>(t->data)->done()) uv_stop(t->loop);
      },
      0, 10);
  uv_run(loop, UV_RUN_DEFAULT);
  uv_timer_stop(&until.timer);
  uv_close(reinterpret_cast<uv_handle_t*>(&until.timer), nullptr);
  uv_run(loop, UV_RUN_NOWAIT);
}

std::vector<client::ServerMessage> decode(std::string_view payload, bool navigation) {
  std::vector<client::ServerMessage> messages;
  std::string error;
  client::decodeFrame(payload, {navigation}, messages, error);
  return messages;
}

bool has(const std::vector<client::ServerMessage>& messages, ServerCode code) {
  for (const auto& m : messages) {
    if (m.is(code)) return true;
  }
  return false;
}

client::Hash16 hashFor(std::size_t i) {
  client::Hash16 hash{};
  for (int b = 0; b < 16; ++b) hash[b] = static_cast<std::uint8_t>(i * 131 + b * 17);
  return hash;
}

void loginAsGuest(LoadClient& c, const std::string& name) {
  client::LoginFields fields;
  fields.name = name;
  c.send([&](client::RequestWriter& w) { w.login(fields); });
}

void Pacer::start(uv_loop_t* loop, std::uint64_t offsetMs, std::uint64_t intervalMs) {
  uv_timer_init(loop, &timer);
  timer.data = this;
  uv_timer_start(
      &timer, [](uv_timer_t* t) { static_cast<Pacer*>(t->data)->tick(); }, offsetMs, intervalMs);
}

void Pacer::stop() {
  uv_timer_stop(&timer);
  uv_close(reinterpret_cast<uv_handle_t*>(&timer), nullptr);
}

}  // namespace velmor::load
