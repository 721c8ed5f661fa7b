// Compressed bodies as real servers send them decode to what they stand for.
#include "http/kbvIdZLibCompressor.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/http/peer/RawExchange.h"
#include "tests/support/Files.h"
#include "tests/support/Peers.h"

namespace {

std::string Decoded(const TIdBytes& ABody, void (TIdZLibCompressorBase::*ADecompress)(TStream&, TStream&)) {
    TMemoryStream In;
    In.WriteBuffer(ABody.data(), static_cast<int64_t>(ABody.size()));
    In.SetPosition(0);
    TStringStream Out;
    TIdZLibCompressor Compressor;
    (Compressor.*ADecompress)(In, Out);
    return Out.DataString();
}

TEST(ZLibCompressorPeers, NginxGzipBodyDecodesToTheFile) {
    std::optional<uint16_t> Port = PeerPort("NGINX_HTTP_PORT");
    if (!Port)
        GTEST_SKIP() << "KBV_PEERS_ENV is not set: run through ctest";
    TRawReply Reply = RawGet(*Port, "/gzip/lorem.txt", "Accept-Encoding: gzip\r\n");
    ASSERT_EQ(Reply.StatusLine, "HTTP/1.1 200 OK");
    ASSERT_EQ(Reply.Headers["content-encoding"], "gzip");
    std::string Expected = FileText(PeerFile("lorem.txt"));
    ASSERT_GT(Expected.size(), 100000u);
    EXPECT_LT(Reply.Body.size(), Expected.size() / 10);
    EXPECT_EQ(Decoded(Reply.Body, &TIdZLibCompressorBase::DecompressGZipStream), Expected);
}

TEST(ZLibCompressorPeers, HttpbinGzipAndDeflateBodiesDecode) {
    std::optional<uint16_t> Port = PeerPort("HTTPBIN_PORT");
    if (!Port)
        GTEST_SKIP() << "KBV_PEERS_ENV is not set: run through ctest";
    TRawReply GZip = RawGet(*Port, "/gzip");
    ASSERT_EQ(GZip.Headers["content-encoding"], "gzip");
    EXPECT_NE(Decoded(GZip.Body, &TIdZLibCompressorBase::DecompressGZipStream).find(R"("gzipped":true)"),
              std::string::npos);

    TRawReply Deflate = RawGet(*Port, "/deflate");
    ASSERT_EQ(Deflate.Headers["content-encoding"], "deflate");
    for (auto Decompress : {&TIdZLibCompressorBase::DecompressDeflateStream,
                            &TIdZLibCompressorBase::DecompressHTTPDeflate})
        EXPECT_NE(Decoded(Deflate.Body, Decompress).find(R"("deflated":true)"), std::string::npos);
}

}  // namespace
