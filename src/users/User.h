#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/TrafficCounters.h"
#include "db/Queries.h"
#include "model/ChatLine.h"
#include "model/FileRecord.h"
#include "model/Motion.h"
#include "model/Ref.h"
#include "net/ClientData.h"

namespace velmor {

class MessageReader;
class Room;
namespace wire {
struct Login;
struct LoginProof;
}  // namespace wire
class ServerCore;

// The record of one client connection: who the user is, what his login granted, where he
// is and what the relay last told the others about him. Created by
// VelmorServer::createClient for every accepted connection; the server forgets him
// (ServerCore::forgetUser) in onDisconnect, and the TCP framework destroys him after the
// connection closed. Main loop only.
//
// Everyone may read his state; each group has its writers, and the compiler keeps them:
//  - identity, rights and login state: the login code (handleLogin, handleLoginProof and the
//    two login queries) sets them; OnlineUsers alone writes his presence (online, waiting
//    for admission, refused) and clears the lot when he goes offline (forgetLogin). Leadership is
//    the exception: it is of his room, set by the Room and ended when he leaves it.
//  - room membership, channels, position, appearance after login and relay state: his Room
//    (its verbs), the RelayPass, and UserRooms (his side: reports in no room, his channels);
//    a join starts the relay state over.
//  - the login deadline: LoginDeadlines.
//  - the user's own requests write the rest through its accessors: his chat (the chat
//    requests), his room requests (rooms/RoomRequests), his file transfer (the file
//    requests; leave ends it) and the frame loop's carry-over.
// He is a connection (ClientData) rather than holding one: the TCP framework creates,
// reads into and destroys its clients as ClientData, and a user's lifetime is exactly his
// connection's, so holding it as a member would add an owner and a pointer back and make
// nothing plainer.
class User : public ClientData, public QueryOwner {
 public:
  static constexpr std::size_t kMaxChannels = 5;
  static constexpr std::size_t kNameSize = 32;
  static constexpr std::uint32_t kChatAllowance = 10;  // lines per 1000 ms

  // Who the user says he is, from his Login (the stored letter case of a member's name
  // replaces the typed one).
  struct Identity {
    char name[kNameSize] = {};
    char nameKey[kNameSize] = {};  // name with A..Z lowered: key of the online map
    std::uint32_t profileWord1 = 0;
    std::uint32_t profileWord2 = 0;
    std::uint16_t profileShort = 0;
    std::uint32_t loginWord = 0;
  };

  // What a login granted. Cleared, all at once, when the user goes offline; leadership is
  // of the room he is in and also ends when he leaves it.
  struct Rights {
    std::uint8_t isMember = 0;
    std::uint8_t isAdmin = 0;
    std::uint8_t isLeader = 0;
  };

  // The login in progress: a Login's lookup is out or its challenge unanswered, and
  // `account`, the lookup of his login (challenge, salt, stored hash) kept from the lookup to
  // the proof (members) or for a later registration (guests). Written by the login code;
  // OnlineUsers ends the pending login when it queues him for admission.
  struct LoginState {
    std::uint8_t loginPending = 0;
    std::unique_ptr<VelmorUserQuery> account;
  };

  // Where he stands with the users online: online (in the online list and map, at his
  // place in the list), waiting for admission, or refused it on this connection (his name
  // was taken: no further Login here). Written by OnlineUsers alone.
  class Presence {
   public:
    bool loggedIn() const { return loggedIn_ != 0; }
    bool admissionPending() const { return admissionPending_ != 0; }
    bool admissionRefused() const { return admissionRefused_ != 0; }
    std::uint32_t onlineSlot() const { return onlineSlot_; }

   private:
    friend class OnlineUsers;
    friend class UserProbe;

    std::uint8_t loggedIn_ = 0;
    std::uint8_t admissionPending_ = 0;
    std::uint8_t admissionRefused_ = 0;
    std::uint32_t onlineSlot_ = 0;
  };

  // A navigation position as reported.
  struct Position {
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::uint8_t layer = 0;
    std::uint8_t flags = 0;
    std::uint16_t direction = 0;
    bool operator==(const Position&) const = default;
  };

  struct Appearance {
    std::uint32_t word = 0;
    std::uint8_t byte = 0;
    std::uint16_t short1 = 0;
    std::uint16_t short2 = 0;
    char text[kNameSize] = {};
    bool operator==(const Appearance& other) const;
  };

  // His chat: the times of his last lines (core clock), one per line of the allowance, for
  // every room and for private messages alike, and the line a repeat says again.
  struct Chat {
    std::uint32_t times[kChatAllowance] = {};
    Ref<ChatLine> last;
  };

  // The rooms he follows as chat channels, and the one whose member list is due to him.
  // `current` is the room's serial (Room::serial), never a pointer: a room that goes away
  // cannot leave it dangling.
  struct Channels {
    Room* rooms[kMaxChannels] = {};
    std::uint8_t count = 0;
    std::uint64_t current = 0;  // 0: none
  };

  // What the relay knows of him as a member of his room. Started over by join.
  struct RelayState {
    std::uint8_t fullStateDue = 1;  // he has not yet been given the room's state
    std::uint8_t presenceChanged = 0;
    std::uint8_t appearanceChanged = 0;
    Motion motion;                   // moving or stopped, idle or not
    std::uint32_t lastActivity = 0;  // core clock at the last position or object report
    std::uint32_t lastMoved = 0;     // core clock at the last position change
    Position lastSent;               // the position as the room last heard it
    std::uint64_t servedPass = 0;    // the last relay pass that sent him a frame
  };

  // His requests to enter or leave a room, of which the last wins (rooms/RoomRequests.h):
  // their count, and an EnterRoom of a stored room kept until his load in flight completes.
  struct RoomRequests {
    std::uint64_t latest = 0;  // the number of his latest request
    bool deferred = false;
    char deferredName[kNameSize] = {};
    char deferredPassword[kNameSize] = {};
  };

  // His place in the list of connections that must log in by a deadline (LoginDeadlines).
  // Not part of the login state: going offline starts it again rather than clearing it.
  struct LoginDeadline {
    std::uint64_t at = 0;  // loop ms
    User* previous = nullptr;
    User* next = nullptr;
    bool listed = false;
  };

  // The file transfer in progress, one at a time: a file given in chunks (download, the
  // listed record) or one received in chunks (upload, a new record only he holds).
  struct Transfer {
    Ref<FileRecord> download;
    Ref<FileRecord> upload;
  };

  // The frame loop's state between reads (users/FrameLoop): the unfinished frame of the last
  // read; what is left to drop of a frame that a stopped read cut (its byte count, or the
  // first byte of its length when the read ended between the two); and the requests held,
  // re-framed, while his queries in flight are at their bound.
  struct Input {
    std::vector<char> partialFrame;
    std::uint32_t skipLeft = 0;
    bool skipHeaderHalf = false;
    std::uint8_t skipHeaderLow = 0;
    std::vector<char> held;
  };

  // Once a request leaves him with this many queries in flight, the frame loop holds his
  // further requests (Input::held) and reading from his connection pauses; both resume when
  // they are down to half: the database work a client can queue stays bounded, and nothing
  // he sent is lost or reordered. Not while the storage fails: his queries would not come
  // back, so he is read and served, and his further storage work is refused instead
  // (ServerCore::storageTakes, ChangeShares).
  static constexpr std::size_t kMaxQueriesInFlight = 32;

  User(uv_stream_t* client, uv_stream_t* server, TrafficCounters& traffic);
  ~User() override;

  bool queriesAtBound() const { return pendingCount() >= kMaxQueriesInFlight; }
  // After received bytes were handled: pauses reading while his requests wait (some are
  // held, or his queries are at their bound while the storage serves), and resumes it once
  // they may go on. `storageFailing`: as ServerCore::storageFailing says.
  void limitQueriesInFlight(bool storageFailing);
  bool readingPaused() const { return readingPaused_; }
  // His held requests and his reading may go on: his queries in flight came down to half,
  // or the storage fails.
  bool mayGoOn(bool storageFailing) const {
    return storageFailing || pendingCount() <= kMaxQueriesInFlight / 2;
  }

  // Hands finished frames to the connection; counts one packet per frame and the bytes
  // when the write was taken. False if there is no connection or it failed.
  bool sendFrames(const char* data, std::size_t length, std::size_t frames);

  // Ends the file transfer in progress, if any.
  void releaseTransfer();

  // --- reading, for everyone -------------------------------------------------------------
  const Identity& identity() const { return identity_; }
  const Rights& rights() const { return rights_; }
  const LoginState& login() const { return login_; }
  const Presence& presence() const { return presence_; }
  const Appearance& appearance() const { return appearance_; }
  const Position& position() const { return position_; }
  const Channels& channels() const { return channels_; }
  const RelayState& relay() const { return relay_; }
  const LoginDeadline& loginDeadline() const { return loginDeadline_; }
  // Membership: set by Room::join, cleared by Room::leave (the only two places).
  Room* room() const { return room_; }
  std::uint16_t roomSlot() const { return roomSlot_; }  // his index among the room's members
  std::uint32_t address() const { return peerIPv4(); }  // IPv4 of the peer, network byte order

  // --- his own requests' state -----------------------------------------------------------
  Chat& chat() { return chat_; }
  RoomRequests& roomRequests() { return roomRequests_; }
  Transfer& transfer() { return transfer_; }
  const Transfer& transfer() const { return transfer_; }
  // The frame loop's state between reads.
  Input& input() { return input_; }
  const Input& input() const { return input_; }

 protected:
  // Hands finished frames to the connection (GenericServer::write); false without one.
  // A test's user records them instead.
  virtual bool writeFrames(const char* data, std::size_t length);
  void pendingCompleted(std::size_t remaining) override;

 private:
  friend class OnlineUsers;
  friend class LoginDeadlines;
  friend class LoginLookup;
  friend class Registration;
  friend bool handleLogin(ServerCore& core, User& user, const wire::Login& request);
  friend bool takeLogin(ServerCore& core, User& user, const wire::Login& request,
                        char (&password)[32]);
  friend bool handleLoginProof(ServerCore& core, User& user, const wire::LoginProof& request);
  friend class Room;
  friend class RelayPass;
  friend class UserRooms;
  friend class UserProbe;  // tests/support: sets up users in unit tests

  // Forgets what a login granted (rights, login state, chat, room requests). REQUIRES: he is
  // out of his room and off the online list, his queries let go.
  void clearLoginGrants();

  TrafficCounters& traffic_;
  bool readingPaused_ = false;

  Identity identity_;
  Rights rights_;
  LoginState login_;
  Presence presence_;
  Appearance appearance_;
  Position position_;
  Chat chat_;
  RoomRequests roomRequests_;
  LoginDeadline loginDeadline_;
  Channels channels_;
  RelayState relay_;
  Room* room_ = nullptr;
  std::uint16_t roomSlot_ = 0;
  Transfer transfer_;
  Input input_;
};

}  // namespace velmor
