// The real peer servers a test run started (tests/peers/start.sh), as the
// file named by KBV_PEERS_ENV describes them: NAME=value lines such as
// NGINX_HTTP_PORT, NGINX_HTTPS_PORT, NGINX_CA_FILE, HTTPBIN_PORT, PEER_DIR.
//
//   std::optional<uint16_t> Port = PeerPort("NGINX_HTTP_PORT");
//   if (!Port)
//       GTEST_SKIP() << "no peers: run through ctest (-L peer)";
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Empty when KBV_PEERS_ENV is not set (the test program runs without the
// peer fixture). With it set, a missing or unreadable file or a missing name
// throws std::runtime_error: the peers were meant to be there.
std::optional<std::string> PeerSetting(const char* AName);

// PeerSetting as a port; a value that is not one throws std::runtime_error.
std::optional<uint16_t> PeerPort(const char* AName);

// The path of a file nginx serves under /files/ (size-1024.bin, lorem.txt).
// Only for a run with the peers: it needs PEER_DIR.
std::string PeerFile(const std::string& AName);

// PeerPort as text, for building URLs.
std::string PeerPortText(const char* AName);

// What a peer writes to its log (a path under PEER_DIR) from its making on.
class TPeerLogTail {
public:
    explicit TPeerLogTail(const std::string& ALog);
    // Whether AText has come within 5 s: squid writes a tunnel's line once it has closed.
    bool Has(const std::string& AText) const;

private:
    std::string FPath;
    size_t FFrom;
};
