#include "client/RequestWriter.h"

#include <algorithm>

namespace velmor::client {

using wire::ClientType;

void RequestWriter::clear() {
  buffer_.clear();
  frameStart_ = kNoFrame;
}

RequestWriter& RequestWriter::beginFrame() {
  frameStart_ = buffer_.size();
  return u16(0);
}

bool RequestWriter::endFrame() {
  if (frameStart_ == kNoFrame) return false;
  const std::size_t payload = buffer_.size() - frameStart_ - 2;
  buffer_[frameStart_] = static_cast<char>(payload & 0xFF);
  buffer_[frameStart_ + 1] = static_cast<char>((payload >> 8) & 0xFF);
  frameStart_ = kNoFrame;
  return payload <= wire::kMaxFramePayload;
}

RequestWriter& RequestWriter::u8(std::uint8_t value) {
  buffer_.push_back(static_cast<char>(value));
  return *this;
}

RequestWriter& RequestWriter::u16(std::uint16_t value) {
  u8(static_cast<std::uint8_t>(value & 0xFF));
  return u8(static_cast<std::uint8_t>(value >> 8));
}

RequestWriter& RequestWriter::u32(std::uint32_t value) {
  u16(static_cast<std::uint16_t>(value & 0xFFFF));
  return u16(static_cast<std::uint16_t>(value >> 16));
}

RequestWriter& RequestWriter::string(std::string_view text) {
  const std::size_t length = std::min<std::size_t>(text.size(), wire::kMaxWireString);
  u16(static_cast<std::uint16_t>(length));
  return raw(text.substr(0, length));
}

RequestWriter& RequestWriter::raw(std::string_view bytes) {
  buffer_.append(bytes);
  return *this;
}

RequestWriter& RequestWriter::hash(const Hash16& bytes) {
  for (std::uint8_t b : bytes) u8(b);
  return *this;
}

RequestWriter& RequestWriter::login(const LoginFields& f) {
  type(ClientType::Login).u8(f.version);
  u32(f.profileWord1).u32(f.profileWord2).u16(f.profileShort).u32(f.loginWord);
  u32(f.appearanceWord).u8(f.appearanceByte).u16(f.appearanceShort1).u16(f.appearanceShort2);
  u32(f.ignored);
  return string(f.name).string(f.appearanceText).string(f.password);
}

RequestWriter& RequestWriter::position(std::uint16_t x, std::uint16_t y, std::uint8_t layer,
                                       std::uint8_t flags, std::uint16_t direction) {
  return type(ClientType::Position).u16(x).u16(y).u8(layer).u8(flags).u16(direction);
}

RequestWriter& RequestWriter::objectReport(std::string_view name, std::uint16_t value1,
                                           std::uint16_t value2, std::uint8_t value3) {
  return type(ClientType::ObjectReport).string(name).u16(value1).u16(value2).u8(value3);
}

RequestWriter& RequestWriter::appearance(std::uint32_t word, std::uint8_t byte,
                                         std::uint16_t short1, std::uint16_t short2,
                                         std::string_view text) {
  return type(ClientType::Appearance).u32(word).u8(byte).u16(short1).u16(short2).string(text);
}

RequestWriter& RequestWriter::localChat(std::string_view text) {
  return type(ClientType::LocalChat).string(text);
}

RequestWriter& RequestWriter::repeatLocalChat() {
  return type(ClientType::RepeatLocalChat);
}

RequestWriter& RequestWriter::whisper(std::string_view recipient, std::string_view text) {
  return type(ClientType::Whisper).string(recipient).string(text);
}

RequestWriter& RequestWriter::roomChat(std::string_view text) {
  return type(ClientType::RoomChat).string(text);
}

RequestWriter& RequestWriter::repeatRoomChat() {
  return type(ClientType::RepeatRoomChat);
}

RequestWriter& RequestWriter::privateMessage(std::string_view recipient, std::string_view text) {
  return type(ClientType::PrivateMessage).string(recipient).string(text);
}

RequestWriter& RequestWriter::createRoom(std::string_view name, std::string_view password,
                                         std::string_view leaderPassword, std::uint8_t navigation) {
  type(ClientType::CreateRoomRequest).string(name).string(password).string(leaderPassword);
  return u8(navigation);
}

RequestWriter& RequestWriter::nop() {
  return type(ClientType::Nop);
}

RequestWriter& RequestWriter::joinChannel(std::string_view room, std::string_view password) {
  return type(ClientType::JoinChannel).string(room).string(password);
}

RequestWriter& RequestWriter::leaveChannel(std::string_view room) {
  return type(ClientType::LeaveChannel).string(room);
}

RequestWriter& RequestWriter::enterRoom(std::string_view room, std::string_view password) {
  return type(ClientType::EnterRoom).string(room).string(password);
}

RequestWriter& RequestWriter::loginProof(const Hash16& proof) {
  return type(ClientType::LoginProof).hash(proof);
}

RequestWriter& RequestWriter::registerAccount(const Hash16& emailHash, const Hash16& passwordHash) {
  return type(ClientType::Register).hash(emailHash).hash(passwordHash);
}

RequestWriter& RequestWriter::keepAlive() {
  return type(ClientType::KeepAlive);
}

RequestWriter& RequestWriter::roomKick(std::string_view user, std::string_view reason) {
  return type(ClientType::RoomKick).string(user).string(reason);
}

RequestWriter& RequestWriter::roomBan(std::string_view user, std::string_view reason,
                                      std::uint32_t mask) {
  return type(ClientType::RoomBan).string(user).string(reason).u32(mask);
}

RequestWriter& RequestWriter::serverKick(std::string_view user, std::string_view reason) {
  return type(ClientType::ServerKick).string(user).string(reason);
}

RequestWriter& RequestWriter::serverBan(std::string_view user, std::string_view reason,
                                        std::uint32_t mask) {
  return type(ClientType::ServerBan).string(user).string(reason).u32(mask);
}

RequestWriter& RequestWriter::listRoomBans() {
  return type(ClientType::ListRoomBans);
}

RequestWriter& RequestWriter::listServerBans() {
  return type(ClientType::ListServerBans);
}

RequestWriter& RequestWriter::roomUnban(std::string_view name) {
  return type(ClientType::RoomUnban).string(name);
}

RequestWriter& RequestWriter::serverUnban(std::string_view name) {
  return type(ClientType::ServerUnban).string(name);
}

RequestWriter& RequestWriter::claimLeader(std::string_view password) {
  return type(ClientType::ClaimLeader).string(password);
}

RequestWriter& RequestWriter::createFile(std::string_view name, std::uint8_t usersCanRead,
                                         std::uint8_t usersCanWrite) {
  return type(ClientType::CreateFile).string(name).u8(usersCanRead).u8(usersCanWrite);
}

RequestWriter& RequestWriter::readFile(std::string_view name, std::uint32_t versionHeld) {
  return type(ClientType::ReadFile).string(name).u32(versionHeld);
}

RequestWriter& RequestWriter::writeFile(std::uint32_t totalLength, std::string_view name,
                                        std::string_view firstChunk) {
  return type(ClientType::WriteFile).u32(totalLength).string(name).blob(firstChunk);
}

RequestWriter& RequestWriter::setFileAccess(std::string_view name, std::uint8_t usersCanRead,
                                            std::uint8_t usersCanWrite) {
  return type(ClientType::SetFileAccess).string(name).u8(usersCanRead).u8(usersCanWrite);
}

RequestWriter& RequestWriter::listFiles() {
  return type(ClientType::ListFiles);
}

RequestWriter& RequestWriter::deleteFile(std::string_view name) {
  return type(ClientType::DeleteFile).string(name);
}

RequestWriter& RequestWriter::leaveRoom() {
  return type(ClientType::LeaveRoom);
}

RequestWriter& RequestWriter::listRooms(std::uint16_t firstIndex) {
  return type(ClientType::ListRooms).u16(firstIndex);
}

RequestWriter& RequestWriter::setRoomPasswords(std::string_view password,
                                               std::string_view leaderPassword) {
  return type(ClientType::SetRoomPasswords).string(password).string(leaderPassword);
}

RequestWriter& RequestWriter::fileChunk(std::string_view chunk) {
  return type(ClientType::FileChunk).blob(chunk);
}

RequestWriter& RequestWriter::fileChunkRequest(std::uint32_t offset) {
  return type(ClientType::FileChunkRequest).u32(offset);
}

RequestWriter& RequestWriter::enemyReport(std::uint16_t value1, std::uint16_t value2,
                                          std::uint8_t value3) {
  return type(ClientType::EnemyReport).u16(value1).u16(value2).u8(value3);
}

RequestWriter& RequestWriter::roomRefresh() {
  return type(ClientType::RoomRefresh);
}

RequestWriter& RequestWriter::statusRequest(std::string_view adminPassword) {
  return type(ClientType::StatusRequest).string(adminPassword);
}

}  // namespace velmor::client
