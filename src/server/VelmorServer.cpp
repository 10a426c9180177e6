#include "server/VelmorServer.h"

namespace velmor {

VelmorServer::VelmorServer(uv_loop_t* loop, const Settings* settings)
    : TCPServer(loop), settings_(settings) {
  port = static_cast<int>(settings->serverport);
  address = settings->bindaddress;
}

VelmorServer::~VelmorServer() = default;

void VelmorServer::onData(uv_stream_t*, ssize_t, const uv_buf_t*) {}

bool VelmorServer::onConnect(uv_stream_t*) {
  return true;
}

void VelmorServer::onDisconnect(uv_stream_t*) {}

void VelmorServer::shutdown() {
  stopListening();
  closeAllClients();
}

}  // namespace velmor
