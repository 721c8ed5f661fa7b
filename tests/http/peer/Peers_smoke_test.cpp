// The peers the fixture started answer on the ports it wrote down.
#include <gtest/gtest.h>

#include <string>

#include "tests/http/peer/RawExchange.h"
#include "tests/support/Peers.h"

namespace {

std::string Text(const TIdBytes& ABytes) {
    return std::string(ABytes.begin(), ABytes.end());
}

TEST(Peers, NginxServesAStaticFile) {
    std::optional<uint16_t> Port = PeerPort("NGINX_HTTP_PORT");
    if (!Port)
        GTEST_SKIP() << "KBV_PEERS_ENV is not set: run through ctest";
    TRawReply Reply = RawGet(*Port, "/files/size-1024.bin");
    EXPECT_EQ(Reply.StatusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(Reply.Headers["content-length"], "1024");
    EXPECT_EQ(Reply.Body.size(), 1024u);
}

TEST(Peers, NginxAnswersMissingPathsWith404) {
    std::optional<uint16_t> Port = PeerPort("NGINX_HTTP_PORT");
    if (!Port)
        GTEST_SKIP() << "KBV_PEERS_ENV is not set: run through ctest";
    TRawReply Reply = RawGet(*Port, "/notfound");
    EXPECT_EQ(Reply.StatusLine, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(Text(Reply.Body), "not found here\n");
}

TEST(Peers, HttpbinAnswersGet) {
    std::optional<uint16_t> Port = PeerPort("HTTPBIN_PORT");
    if (!Port)
        GTEST_SKIP() << "KBV_PEERS_ENV is not set: run through ctest";
    TRawReply Reply = RawGet(*Port, "/get?probe=1");
    EXPECT_EQ(Reply.StatusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(Reply.Headers["content-type"], "application/json");
    EXPECT_NE(Text(Reply.Body).find(R"("probe":"1")"), std::string::npos) << Text(Reply.Body);
}

TEST(Peers, TheFileNamesEveryPeer) {
    if (!PeerSetting("PEER_DIR"))
        GTEST_SKIP() << "KBV_PEERS_ENV is not set: run through ctest";
    for (const char* Name : {"NGINX_HTTP_PORT", "NGINX_HTTPS_PORT", "HTTPBIN_PORT"})
        EXPECT_TRUE(PeerPort(Name)) << Name;
    EXPECT_THROW(PeerSetting("NO_SUCH_PEER"), std::runtime_error);
}

}  // namespace
