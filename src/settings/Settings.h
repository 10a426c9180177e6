#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmor {

// A room written into the stored rooms at every start ("rooms" of the settings file).
struct RoomConfig {
  bool navigation = true;  // "type": false only for exactly "chat"
  std::string name;
  std::string password;
  std::string leaderpassword;
  std::uint32_t maxusers = 0;  // 0: the default of the room's type
  bool loadatstartup = false;
  bool neversleeps = false;
};

// The settings record: defaults, then "velmorserv.json" from the executable's folder.
// Built and loaded once by the entry point before anything else; port forwarding may
// replace serverport and the two address texts before the server is built; read-only
// afterwards (the status screen reads it from the worker thread). Owned by main().
class Settings {
 public:
  static constexpr const char* kFileName = "velmorserv.json";

  // Sets the defaults and finds the application directory; if there is none, prints
  // "Unable to get application path." and ends the process with status 0.
  Settings();
  // Defaults with a given application directory (tests, tools).
  explicit Settings(std::string directory);

  // Reads the settings file from the application directory. A missing, unreadable or
  // malformed file, and every value of the wrong type, leave the earlier values silently.
  void load();
  // The same rules applied to a text; nothing changes unless the whole text parses.
  void loadFromText(const std::string& text);
  // The metrics endpoint never takes the game's port: started first, it would keep the game
  // from listening for good. A metricsport equal to serverport turns the endpoint off, and the
  // console says so. The loader applies it; the entry point again after port forwarding,
  // which may move serverport.
  void refuseMetricsOnTheGamePort();
  void refuseSharedPorts();

  std::string applicationDirectory;  // ends with the directory separator
  std::uint32_t chatroommaxusers = 64;
  std::uint32_t navroommaxusers = 32;
  std::uint32_t roomUpdateInterval = 50;    // ms, fixed
  std::uint32_t enemyupdateinterval = 500;  // ms
  std::uint32_t roomidletime = 600;         // s
  std::uint32_t roomExpiryTime = 604800;    // s, fixed
  std::uint32_t serverport = 7175;
  bool userscancreateroom = false;
  bool useupnp = true;
  std::string servername = "VelmorServer";
  std::string adminpassword;
  std::string serverpassword;
  std::string publicAddressText = "Unknown. You can check at: https://ifconfig.me";
  std::string lanAddressText = "Unknown. You can check using ipconfig/ifconfig";
  std::vector<RoomConfig> rooms;
  // IPv4 address to listen on. Not one of the classic keys: operators (and the tests)
  // may bind one interface with "bindaddress"; every interface by default.
  std::string bindaddress = "0.0.0.0";
  // Bytes that output waiting for one connection may hold before it is closed as too slow
  // a reader ("maxpendingoutput"), counted in whole output buffers; 0 means no limit.
  std::uint32_t maxpendingoutput = 4 * 1024 * 1024;
  // The same for all connections together ("maxtotalpendingoutput"): output that would pass
  // it closes the connection holding the most; 0 means no limit.
  std::uint32_t maxtotalpendingoutput = 256 * 1024 * 1024;
  // Milliseconds a database statement waits for a lock held by another program before the
  // work is put aside and tried again later ("busytimeout").
  std::uint32_t busytimeout = 5000;
  // Seconds a connection has to log in (be admitted) before it is closed ("logintimeout");
  // 0: no limit.
  std::uint32_t logintimeout = 30;
  // Seconds of silence on a connection before TCP keep-alive probes it ("keepalive"; a
  // vanished peer is closed after about twice as long); 0: no probes. At most
  // kMaxKeepAlive, the most the kernel takes for the silence before the first probe.
  static constexpr std::uint32_t kMaxKeepAlive = 32767;
  std::uint32_t keepalive = 60;
  // The port of the metrics endpoint: HTTP GET /metrics answers the server's figures for
  // Prometheus ("metricsport"). 0, the default, turns it off; so does a value above 65535,
  // and the game's own port (refuseMetricsOnTheGamePort).
  std::uint32_t metricsport = 0;
  // The IPv4 address the metrics endpoint listens on ("metricsaddress"): this host only by
  // default, so that the figures reach no network unless the operator names an interface.
  std::string metricsaddress = "127.0.0.1";

  // --- the other doors: the same protocol from browsers, over TLS and behind proxies ---
  // The WebSocket port ("websocketport"; wss when a certificate is set); 0, the default,
  // turns it off.
  std::uint32_t websocketport = 0;
  // The port of the protocol inside TLS ("tlsport"); 0, the default, turns it off. Needs
  // the certificate and key.
  std::uint32_t tlsport = 0;
  // PEM files of the certificate chain and its private key ("tlscertificate", "tlskey"); a
  // relative path is taken from the application's directory (certificatePath).
  std::string tlscertificate;
  std::string tlskey;
  // Addresses whose connections carry the client's address ("trustedproxies": "a.b.c.d"
  // or "a.b.c.d/n"): X-Forwarded-For on the WebSocket port, a PROXY header on the others.
  std::vector<std::string> trustedproxies;
  // Origins a WebSocket handshake may come from ("websocketorigins", exact texts); empty:
  // any, since a login is made inside the protocol and no cookie grants anything.
  std::vector<std::string> websocketorigins;
  // The folder of the web client, which a plain GET on the WebSocket port fetches
  // ("webroot"; relative from the application's directory, like the certificate); an
  // empty text serves no pages.
  std::string webroot = "/usr/share/velmorserver/web";

  bool tlsConfigured() const { return !tlscertificate.empty() && !tlskey.empty(); }
  // The path of a file or folder named in the settings as the server opens it.
  std::string certificatePath(const std::string& file) const;
};

// The directory part of an executable path, up to and including the last separator;
// nothing when the path holds no separator.
std::optional<std::string> directoryOfPath(std::string_view executablePath);

}  // namespace velmor
