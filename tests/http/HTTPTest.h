// A client against the scripted loopback peer, for exchange tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "http/kbvIdHTTP.h"
#include "tests/net/support/LoopbackPeer.h"

inline constexpr int ReadBoundMS = 5000;
inline constexpr const char* EndOfHead = "\r\n\r\n";

// A client with bounded reads; the peer is declared first so that the client
// closes its connection before the peer goes.
struct THTTPTest : ::testing::Test {
    TLoopbackPeer Peer;
    TIdHTTP HTTP;

    THTTPTest() { HTTP.SetReadTimeout(ReadBoundMS); }
    std::string URL(const std::string& APath = "/") const {
        return "http://127.0.0.1:" + std::to_string(Peer.Port()) + APath;
    }
    // Answers one request (headers only) with AResponse.
    THTTPTest& Answer(const std::string& AResponse) {
        Peer.ExpectUntil(EndOfHead).Send(AResponse);
        return *this;
    }
};

inline std::string Reply(const std::string& AStatus, const std::string& ABody, const std::string& AHeaders = "") {
    return "HTTP/1.1 " + AStatus + "\r\nContent-Length: " + std::to_string(ABody.size()) + "\r\n" + AHeaders +
           "\r\n" + ABody;
}

