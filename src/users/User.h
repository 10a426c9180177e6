#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "net/ClientData.h"
#include "wire/MessageReader.h"

namespace velmor {

class ServerCore;
class Room;
struct ChatLine;
struct FileRecord;
class VelmorBaseQuery;
class VelmorUserQuery;

// The record of one client connection: who the user is, where he is and what the relay
// last told the others about him. Created by VelmorServer::createClient for every
// accepted connection and destroyed by the TCP framework after the connection closed
// (onDisconnect first). Main loop only.
//
// Received bytes arrive chunk by chunk in handleData. Complete frames are handled in
// place in the connection's read buffer; a frame cut by the end of a chunk is kept in
// `partial_` (at most one frame, 65537 bytes) and completed by the next chunk.
class User : public ClientData {
 public:
  static constexpr std::size_t kMaxChannels = 5;
  static constexpr std::size_t kNameSize = 32;
  static constexpr std::uint32_t kChatAllowance = 10;  // lines per 1000 ms

  User(uv_stream_t* client, uv_stream_t* server, ServerCore* core);
  ~User() override;

  // Handles one received chunk. False when a stop abandoned the rest of the chunk
  // (and any unfinished frame); the connection stays open either way.
  bool handleData(const char* data, std::size_t length);

  // Hands finished frames to the connection; counts one packet per frame and the bytes
  // when the write was taken. False if the connection failed.
  bool sendFrames(const char* data, std::size_t length, std::size_t frames);

  // Ends the file transfer in progress, if any.
  void releaseTransfer();
  // Forgets what a login granted: membership, administration, leadership, the account
  // record and the chat allowances. The user is going offline; a later login starts over.
  void clearLoginGrants();

  MessageReader reader;
  char name[kNameSize] = {};
  char nameKey[kNameSize] = {};  // name with A..Z lowered: key of the online map
  char appearanceText[kNameSize] = {};
  std::vector<VelmorBaseQuery*> pendingQueries;  // posted and not yet completed
  Room* chatChannels[kMaxChannels] = {};
  std::uint8_t channelCount = 0;
  std::uint8_t presenceChanged = 0;
  std::uint8_t loggedIn = 0;
  std::uint8_t fullStateDue = 1;
  std::uint8_t loginPending = 0;
  std::uint8_t admissionPending = 0;
  std::uint8_t appearanceChanged = 0;
  std::uint8_t isAdmin = 0;
  std::uint8_t isMember = 0;
  std::uint8_t relayMoving = 0;  // relay flags: moving, idle
  std::uint8_t relayIdle = 0;
  std::uint8_t posFlags = 0;
  std::uint8_t lastSentPosFlags = 0;
  std::uint16_t roomSlot = 0;
  std::uint8_t isLeader = 0;
  std::uint8_t appearanceByte = 0;
  std::uint8_t posLayer = 0;
  std::uint8_t lastSentPosLayer = 0;
  ChatLine* lastChat = nullptr;
  Room* room = nullptr;
  Room* currentChannel = nullptr;
  // The times of his last lines, one per line of the allowance (core clock). One table for
  // every room and for private messages, kept from room to room until he goes offline, so
  // that neither moving between rooms nor repeating lines says more than the allowance.
  std::uint32_t chatTimes[kChatAllowance] = {};
  std::uint32_t profileWord1 = 0;
  std::uint32_t profileWord2 = 0;
  std::uint32_t appearanceWord = 0;
  std::uint32_t lastActivity = 0;  // core clock at the last position or object report
  std::uint32_t lastMoved = 0;     // core clock at the last position change
  std::uint32_t address = 0;       // IPv4, network byte order
  std::uint32_t relayCounter;
  std::uint32_t loginWord = 0;
  std::uint16_t appearanceShort1 = 0;
  std::uint16_t profileShort = 0;
  std::uint16_t posX = 0;
  std::uint16_t posY = 0;
  std::uint16_t lastSentX = 0;
  std::uint16_t lastSentY = 0;
  std::uint16_t lastSentDir = 0;
  std::uint16_t posDir = 0;
  std::uint16_t appearanceShort2 = 0;
  ServerCore* const core;
  VelmorUserQuery* accountRecord = nullptr;
  // The file transfer in progress, one at a time: a file given in chunks (download, the
  // listed record) or one received in chunks (upload, a new record only he holds). Each
  // holds a reference; at most one of the two is set.
  FileRecord* download = nullptr;
  FileRecord* upload = nullptr;

 private:
  // Handles one complete frame; false when a stop ends the chunk.
  bool handleFrame(const char* frame, std::uint32_t frameEnd);
  void keepPartial(const char* data, std::size_t length);
  std::size_t completePartial(const char* data, std::size_t length);

  std::vector<char> partial_;  // the unfinished frame carried over from the last chunk
};

}  // namespace velmor
