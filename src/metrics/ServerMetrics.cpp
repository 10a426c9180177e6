#include "metrics/ServerMetrics.h"

#include <ctime>
#include <utility>

#include "base/Version.h"
#include "core/ServerCore.h"
#include "metrics/ExpositionWriter.h"
#include "metrics/ProcessFigures.h"
#include "server/VelmorServer.h"

namespace velmor {

namespace {

using Kind = std::pair<const char*, const char*>;  // the labels kind and result

// A switch without default: a new outcome is a compile error until it is named here.
Kind loginLabels(LoginOutcome outcome) {
  switch (outcome) {
    case LoginOutcome::GuestAdmitted:
      return {"guest", "admitted"};
    case LoginOutcome::GuestNameInUse:
      return {"guest", "name_in_use"};
    case LoginOutcome::GuestBanned:
      return {"guest", "banned"};
    case LoginOutcome::MemberAdmitted:
      return {"member", "admitted"};
    case LoginOutcome::MemberBanned:
      return {"member", "banned"};
    case LoginOutcome::MemberWrongPassword:
      return {"member", "wrong_password"};
    case LoginOutcome::RefusedVersion:
      return {"unknown", "version_rejected"};
    case LoginOutcome::RefusedBanned:
      return {"unknown", "banned"};
    case LoginOutcome::RefusedName:
      return {"unknown", "invalid_name"};
    case LoginOutcome::RefusedServerPassword:
      return {"unknown", "server_password_wrong"};
  }
  return {"unknown", "unknown"};
}

const char* queryKindLabel(QueryKind kind) {
  switch (kind) {
    case QueryKind::RoomLoad:
      return "room_load";
    case QueryKind::RoomCreation:
      return "room_creation";
    case QueryKind::RoomChange:
      return "room_change";
    case QueryKind::AccountLookup:
      return "account_lookup";
    case QueryKind::AccountRegistration:
      return "account_registration";
    case QueryKind::FileContentLoad:
      return "file_content_load";
    case QueryKind::FileChange:
      return "file_change";
    case QueryKind::BanChange:
      return "ban_change";
    case QueryKind::Other:
      return "other";
  }
  return "other";
}

void writePopulation(const VelmorServer& server, ExpositionWriter& w) {
  const ServerCore& core = server.core();
  w.family("velmor_users_online", MetricType::Gauge, "Users logged in and admitted.");
  w.sample(core.online.onlineCount());
  w.family("velmor_users_waiting_for_admission", MetricType::Gauge,
           "Users whose login finished, waiting for the next tick to admit them.");
  w.sample(core.online.waitingCount());
  w.family("velmor_connections_open", MetricType::Gauge,
           "Client connections open, logged in or not.");
  w.sample(core.traffic.users.get());
  w.family("velmor_rooms_live", MetricType::Gauge, "Live rooms.");
  w.sample(core.traffic.rooms.get());
  w.family("velmor_rooms_stored", MetricType::Gauge,
           "Stored rooms, live or asleep (as of the last tick).");
  w.sample(core.traffic.storedRooms.get());
  w.family("velmor_room_members", MetricType::Gauge, "Members of live rooms.");
  w.sample(core.traffic.roomMembers.get());
  w.family("velmor_channel_followers", MetricType::Gauge,
           "Rooms followed as channels, summed over the users.");
  w.sample(core.traffic.channelFollowers.get());
  w.family("velmor_listening", MetricType::Gauge, "1 while the server listens for clients.");
  w.sample(server.isListening() ? 1u : 0u);
}

void writeTraffic(const VelmorServer& server, ExpositionWriter& w) {
  const TrafficCounters& traffic = server.core().traffic;
  w.family("velmor_sent_packets", MetricType::Counter, "Frames sent to clients.");
  w.sample(traffic.packetsSent.get());
  w.family("velmor_received_packets", MetricType::Counter,
           "Reads from client connections (a read may hold several frames or part of one).");
  w.sample(traffic.packetsReceived.get());
  w.family("velmor_sent_bytes", MetricType::Counter, "Bytes of the frames sent to clients.",
           "bytes");
  w.sample(traffic.bytesSent.get());
  w.family("velmor_received_bytes", MetricType::Counter, "Bytes read from clients.", "bytes");
  w.sample(traffic.bytesReceived.get());
  w.family("velmor_output_waiting_bytes", MetricType::Gauge,
           "Bytes written to client connections that the sockets have not taken yet.", "bytes");
  w.sample(server.totalPendingOutput());
  const auto byDoor = [&server, &w](auto figure) {
    for (std::size_t door = 0; door < kTransportKinds; ++door) {
      const auto kind = static_cast<TransportKind>(door);
      w.sample(figure(server.doorTraffic(kind)), {{"transport", transportName(kind)}});
    }
  };
  w.family("velmor_transport_connections", MetricType::Counter,
           "Connections accepted, by the door they came in by (tcp, tls, ws, wss).");
  byDoor([](const GenericServer::DoorTraffic& d) { return d.connections.get(); });
  w.family("velmor_transport_received_bytes", MetricType::Counter,
           "Bytes read from client sockets by door, TLS and WebSocket framing included.", "bytes");
  byDoor([](const GenericServer::DoorTraffic& d) { return d.bytesReceived.get(); });
  w.family("velmor_transport_sent_bytes", MetricType::Counter,
           "Bytes written to client sockets by door, TLS and WebSocket framing included.", "bytes");
  byDoor([](const GenericServer::DoorTraffic& d) { return d.bytesSent.get(); });
  w.family("velmor_slow_readers_closed", MetricType::Counter,
           "Connections closed because their unsent output passed its limit.");
  w.sample(server.slowReaderCloses());
}

void writeAdmission(const VelmorServer& server, ExpositionWriter& w) {
  const ConnectionCounts& connections = server.connectionCounts();
  w.family("velmor_connections_accepted", MetricType::Counter,
           "Connections the connection policy admitted.");
  w.sample(connections.accepted.get());
  w.family("velmor_connections_refused", MetricType::Counter,
           "Connections refused at connect, by reason.");
  w.sample(connections.refusedRateLimit.get(), {{"reason", "rate_limit"}});
  w.sample(connections.refusedBan.get(), {{"reason", "ban"}});

  const LoginCounts& logins = server.core().logins;
  w.family("velmor_logins", MetricType::Counter,
           "Logins by kind (guest, member; unknown when refused before the account lookup) "
           "and result.");
  for (std::size_t i = 0; i < kLoginOutcomes; ++i) {
    const auto outcome = static_cast<LoginOutcome>(i);
    const Kind labels = loginLabels(outcome);
    w.sample(logins.logins(outcome), {{"kind", labels.first}, {"result", labels.second}});
  }
  w.family("velmor_registrations", MetricType::Counter, "Registrations of names, by result.");
  w.sample(logins.registrationsStored.get(), {{"result", "stored"}});
  w.sample(logins.registrationsRefused.get(), {{"result", "refused"}});
}

void writeRooms(const VelmorServer& server, ExpositionWriter& w) {
  const ServerCore& core = server.core();
  w.family("velmor_chat_lines_relayed", MetricType::Counter,
           "Chat lines and whispers delivered to their room.");
  w.sample(core.traffic.chatLinesRelayed.get());
  w.family("velmor_relay_passes", MetricType::Counter, "Relay passes run (as of the last tick).");
  w.sample(core.traffic.relayPasses.get());
  w.family("velmor_expired_rooms_deleted", MetricType::Counter,
           "Stored rooms deleted after a week unused.");
  w.sample(core.traffic.expiredRoomsDeleted.get());
  w.family("velmor_expired_rooms_to_delete", MetricType::Gauge,
           "Expired rooms whose deletion is not done: the expiry's backlog.");
  w.sample(core.traffic.expiredToDelete.get());
  w.family("velmor_server_bans", MetricType::Gauge,
           "Entries of the server ban list (stored in the main database's serverbans table).");
  w.sample(core.traffic.serverBans.get());

  const TickTimes::Summary ticks = core.tickTimes.summary();
  w.family("velmor_tick_longest_seconds", MetricType::Gauge,
           "The longest of the last 256 ticks (about 5 s); the tick runs every 0.02 s.", "seconds");
  w.sample(ticks.longestMs / 1000.0);
  const TickTimes::Durations& durations = core.tickTimes.durations();
  const auto snapshot = durations.snapshot();
  w.family("velmor_tick_duration_seconds", MetricType::Histogram,
           "How long each tick took (relay passes, chat, admission, sleep and expiry).", "seconds");
  w.histogram(durations.boundsNs(), snapshot.cumulative, snapshot.sumNs);
}

void writeStorage(const VelmorServer& server, ExpositionWriter& w) {
  const PipelineFigures& figures = server.core().pipeline().figures();
  w.family("velmor_queries_posted", MetricType::Counter,
           "Database work handed to the query worker, by kind.");
  for (std::size_t i = 0; i < kQueryKinds; ++i) {
    const auto kind = static_cast<QueryKind>(i);
    w.sample(figures.posted(kind), {{"kind", queryKindLabel(kind)}});
  }
  w.family("velmor_queries_completed", MetricType::Counter,
           "Database work done, committed and handed back to the main loop, by kind.");
  for (std::size_t i = 0; i < kQueryKinds; ++i) {
    const auto kind = static_cast<QueryKind>(i);
    w.sample(figures.completed(kind), {{"kind", queryKindLabel(kind)}});
  }
  w.family("velmor_query_queue_depth", MetricType::Gauge,
           "Database work posted that the worker has not taken yet.");
  w.sample(figures.queueDepth());
  const PipelineFigures::BatchDurations& batches = figures.batchDurations();
  const auto snapshot = batches.snapshot();
  w.family("velmor_query_batch_duration_seconds", MetricType::Histogram,
           "How long each of the worker's batches took, commits included.", "seconds");
  w.histogram(batches.boundsNs(), snapshot.cumulative, snapshot.sumNs);
  w.family("velmor_storage_waiting_queries", MetricType::Gauge,
           "Work the databases refused (busy, full, failing), kept to be stored later.");
  w.sample(figures.waiting());
  w.family("velmor_storage_waiting_oldest_age_seconds", MetricType::Gauge,
           "How long the oldest work kept for the databases has waited; 0 when none waits.",
           "seconds");
  w.sample(figures.oldestWaitingSeconds());
  w.family("velmor_storage_held_change_bytes", MetricType::Gauge,
           "Memory held by acknowledged changes not stored yet (at most 64 MiB, 8 MiB per "
           "client address; past that new changes are refused).",
           "bytes");
  w.sample(server.core().pipeline().changes().bytes());
}

void writeProcess(const VelmorServer& server, DescriptorListing& descriptors, ExpositionWriter& w) {
  const ServerCore& core = server.core();
  w.family("velmor_build", MetricType::Info, "The server's version.");
  w.sample(1u, {{"version", kServerVersion}});
  w.family("velmor_uptime_seconds", MetricType::Gauge, "Seconds since the server started.",
           "seconds");
  w.sample(core.uptimeSeconds());

  const ProcessFigures process = readProcessFigures(descriptors);
  if (process.cpuSeconds) {
    w.family("process_cpu_seconds", MetricType::Counter, "User and system CPU time spent.",
             "seconds");
    w.sample(*process.cpuSeconds);
  }
  if (process.residentBytes) {
    w.family("process_resident_memory_bytes", MetricType::Gauge, "Resident memory size.", "bytes");
    w.sample(*process.residentBytes);
  }
  if (process.virtualBytes) {
    w.family("process_virtual_memory_bytes", MetricType::Gauge, "Virtual memory size.", "bytes");
    w.sample(*process.virtualBytes);
  }
  if (process.openDescriptors) {
    w.family("process_open_fds", MetricType::Gauge, "Open file descriptors.");
    w.sample(*process.openDescriptors);
  }
  if (process.maxDescriptors) {
    w.family("process_max_fds", MetricType::Gauge, "The most file descriptors it may open.");
    w.sample(*process.maxDescriptors);
  }
  // Without the boot time (a hardened service may not read /proc/stat), the server's own
  // start, a moment after the process's.
  w.family("process_start_time_seconds", MetricType::Gauge,
           "When the process started, in seconds since 1970.", "seconds");
  w.sample(process.startTimeSeconds ? *process.startTimeSeconds
                                    : static_cast<double>(core.startedAt()));
}

}  // namespace

std::string renderServerMetrics(const VelmorServer& server, DescriptorListing& descriptors,
                                ExpositionFormat format) {
  ExpositionWriter w(format);
  writePopulation(server, w);
  writeTraffic(server, w);
  writeAdmission(server, w);
  writeRooms(server, w);
  writeStorage(server, w);
  writeProcess(server, descriptors, w);
  return w.finish();
}

}  // namespace velmor
