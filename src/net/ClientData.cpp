#include "net/ClientData.h"

#include <netinet/in.h>

#include <cstring>

namespace velmor {

ClientData::ClientData(uv_stream_t* clientHandle, uv_stream_t* serverHandle)
    : client(clientHandle), server(serverHandle) {}

ClientData::~ClientData() = default;

std::uint32_t ClientData::peerIPv4() const {
  if (peerAddress.ss_family != AF_INET) return 0;
  sockaddr_in address;
  std::memcpy(&address, &peerAddress, sizeof(address));
  return address.sin_addr.s_addr;
}

}  // namespace velmor
