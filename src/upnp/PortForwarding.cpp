#include "upnp/PortForwarding.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#include <algorithm>

#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#endif

namespace velmor {

namespace {

constexpr std::uint16_t kNoPort = 65535;
constexpr int kDiscoveryDelayMs = 0;  // the library's default wait
constexpr unsigned char kDiscoveryTtl = 2;

enum class Protocol { Tcp = 1, Other = 2 };

struct MappingEntry {
  Protocol protocol;
  std::string internalClient;
  std::uint16_t internalPort;
  std::uint16_t externalPort;
  std::string description;
};

// Everything one call of forwardPort works with; the library's structures are freed when
// the context goes.
class UpnpContext {
 public:
  explicit UpnpContext(const std::string& logPath)
      : log_(logPath, std::ios::out | std::ios::trunc) {
    if (log_) {
      const std::time_t now = std::time(nullptr);
      log_ << "UPnP Log Started. " << std::ctime(&now) << '\n';
    }
#ifdef _WIN32
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) log_ << "WSAStartup() failed.\n";
#endif
  }

  ~UpnpContext() {
    freeUPNPDevlist(devices_);
    if (igdFound_) FreeUPNPUrls(&urls_);
#ifdef _WIN32
    if (WSACleanup() != 0) log_ << "WSACleanup() failed\n";
#endif
    log_ << "\n\n";
  }

  UpnpContext(const UpnpContext&) = delete;
  UpnpContext& operator=(const UpnpContext&) = delete;

  bool findGateway();
  void listMappings();
  // `chosen`: the external ports earlier doors took.
  std::uint16_t searchAndMap(std::uint32_t port, const std::vector<std::uint16_t>& chosen = {});

  const std::string& lanAddress() const {
    return lanAddress_;
  }
  const std::string& publicAddress() const {
    return publicAddress_;
  }

 private:
  const char* controlUrl() const {
    return urls_.controlURL;
  }
  const char* serviceType() const {
    return igdData_.first.servicetype;
  }
  void addMapping(std::uint32_t port, const std::string& description);

  UPNPDev* devices_ = nullptr;
  std::string lanAddress_ = "unset";
  std::string publicAddress_;
  int discoveryError_ = -1;
  UPNPUrls urls_{};
  IGDdatas igdData_{};
  bool igdFound_ = false;
  std::ofstream log_;
  std::vector<MappingEntry> mappings_;
};

bool UpnpContext::findGateway() {
  devices_ =
      upnpDiscover(kDiscoveryDelayMs, nullptr, nullptr, 0, 0, kDiscoveryTtl, &discoveryError_);
  if (devices_ == nullptr) {
    log_ << "No IGD UPnP Device found on the network. error code: " << discoveryError_ << '\n';
    return false;
  }
  log_ << "List of UPNP devices found on the network:\n";
  for (const UPNPDev* device = devices_; device != nullptr; device = device->pNext) {
    log_ << " desc: " << device->descURL << "\n st: " << device->st << "\n\n";
  }
  char lan[64] = {};
#if MINIUPNPC_API_VERSION >= 18
  char wan[64] = {};
  const int found =
      UPNP_GetValidIGD(devices_, &urls_, &igdData_, lan, sizeof(lan), wan, sizeof(wan));
#else
  const int found = UPNP_GetValidIGD(devices_, &urls_, &igdData_, lan, sizeof(lan));
#endif
  switch (found) {
    case 0:
      log_ << "No valid UPNP Internet Gateway Device found\n";
      return false;
    case 1:
      log_ << "Found valid IGD: " << urls_.controlURL << '\n';
      break;
    case 2:
      log_ << "Found a (not connected?) IGD: " << urls_.controlURL << '\n'
           << "Trying to continue anyway\n";
      break;
    case 3:
      log_ << "UPnP device found. Is it an IGD? " << urls_.controlURL << '\n'
           << "Trying to continue anyway\n";
      break;
    default:
      log_ << "Found device (IGD ?) " << urls_.controlURL << '\n' << "Trying to continue anyway\n";
      break;
  }
  igdFound_ = true;  // the URL strings are ours to free from here on
  lanAddress_ = lan;
  char external[40] = {};
  const int status = UPNP_GetExternalIPAddress(controlUrl(), serviceType(), external);
  if (status == UPNPCOMMAND_SUCCESS) {
    publicAddress_ = external;
  } else {
    log_ << "GetExternalIPAddress failed. error code: " << status << '\n';
  }
  log_ << "Local LAN IP address: " << lanAddress_ << '\n'
       << "Public IP address: " << publicAddress_ << '\n';
  return true;
}

void UpnpContext::listMappings() {
  mappings_.clear();
  log_ << "\n i protocol exPort->inAddr:inPort description remoteHost leaseTime\n";
  for (int index = 0;; ++index) {
    char indexText[12];
    std::snprintf(indexText, sizeof(indexText), "%d", index);
    char externalPort[6] = {}, client[40] = {}, internalPort[6] = {}, protocol[4] = {},
         description[80] = {};
    char enabled[6] = {}, remoteHost[64] = {}, duration[16] = {};
    if (UPNP_GetGenericPortMappingEntry(controlUrl(), serviceType(), indexText, externalPort,
                                        client, internalPort, protocol, description, enabled,
                                        remoteHost, duration) != UPNPCOMMAND_SUCCESS) {
      break;
    }
    char line[1024];
    std::snprintf(line, sizeof(line), "%2d %s %5s->%s:%-5s '%s' '%s' %s\n", index, protocol,
                  externalPort, client, internalPort, description, remoteHost, duration);
    log_ << line;
    mappings_.push_back(MappingEntry{
        std::strcmp(protocol, "TCP") == 0 ? Protocol::Tcp : Protocol::Other, client,
        static_cast<std::uint16_t>(std::strtoul(internalPort, nullptr, 10)),
        static_cast<std::uint16_t>(std::strtoul(externalPort, nullptr, 10)), description});
  }
}

void UpnpContext::addMapping(std::uint32_t port, const std::string& description) {
  const std::string portText = std::to_string(port);
  char external[40] = {};
  if (UPNP_GetExternalIPAddress(controlUrl(), serviceType(), external) == UPNPCOMMAND_SUCCESS) {
    log_ << "ExternalIPAddress = " << external << '\n';
  } else {
    log_ << "GetExternalIPAddress failed.\n";
  }
  int status = UPNP_AddPortMapping(controlUrl(), serviceType(), portText.c_str(), portText.c_str(),
                                   lanAddress_.c_str(), description.c_str(), "TCP", nullptr, "0");
  if (status != UPNPCOMMAND_SUCCESS) {
    log_ << "AddPortMapping(" << portText << ", " << portText << ", " << lanAddress_
         << ") failed with code " << status << " (" << strupnperror(status) << ")\n";
  }
  char client[40] = {}, internalPort[6] = {}, mappedDescription[80] = {}, enabled[6] = {},
       duration[16] = {};
  status = UPNP_GetSpecificPortMappingEntry(controlUrl(), serviceType(), portText.c_str(), "TCP",
                                            nullptr, client, internalPort, mappedDescription,
                                            enabled, duration);
  if (status != UPNPCOMMAND_SUCCESS) {
    log_ << "GetSpecificPortMappingEntry() failed with code " << status << " ("
         << strupnperror(status) << ")\n";
  } else {
    log_ << (lanAddress_ == client ? "Redirect success!" : "Redirect failed!");
  }
}

std::uint16_t UpnpContext::searchAndMap(std::uint32_t port,
                                        const std::vector<std::uint16_t>& chosen) {
  for (std::uint32_t candidate = port;;) {
    if (std::find(chosen.begin(), chosen.end(), candidate) != chosen.end()) {
      log_ << "Port '" << candidate << "' is another door's. We'll try the next one\n";
      if (++candidate > kNoPort) {
        log_ << "Unable to find a port to forward\n";
        return kNoPort;
      }
      continue;
    }
    const MappingEntry* taken = nullptr;
    for (const MappingEntry& entry : mappings_) {
      if (entry.externalPort == candidate && entry.protocol == Protocol::Tcp) {
        taken = &entry;
        break;
      }
    }
    const std::string description = "velmorserver " + lanAddress_ + ":" + std::to_string(candidate);
    if (taken == nullptr) {
      log_ << "Port '" << candidate << "' is available. Proceeding with port forwarding\n";
      addMapping(candidate, description);
      return static_cast<std::uint16_t>(candidate);
    }
    if (taken->internalClient == lanAddress_) {
      log_ << "Port is already forwarded correctly.\n";
      return static_cast<std::uint16_t>(candidate);
    }
    log_ << "There is someone already using your port: '" << candidate
         << "'. We'll try the next one\n";
    if (++candidate > kNoPort) {
      log_ << "Unable to find a port to forward\n";
      return kNoPort;
    }
  }
}

}  // namespace

std::uint16_t forwardPort(std::uint32_t port, const std::string& logPath,
                          std::string& publicAddressText, std::string& lanAddressText) {
  return forwardPorts({port}, logPath, publicAddressText, lanAddressText).front();
}

std::vector<std::uint16_t> forwardPorts(const std::vector<std::uint32_t>& ports,
                                        const std::string& logPath, std::string& publicAddressText,
                                        std::string& lanAddressText) {
  UpnpContext context(logPath);
  std::vector<std::uint16_t> results;
  if (context.findGateway()) {
    context.listMappings();
    for (const std::uint32_t port : ports) results.push_back(context.searchAndMap(port, results));
  } else {
    for (const std::uint32_t port : ports) results.push_back(static_cast<std::uint16_t>(port));
  }
  if (!context.lanAddress().empty()) lanAddressText = context.lanAddress();
  if (!context.publicAddress().empty()) publicAddressText = context.publicAddress();
  return results;
}

}  // namespace velmor
