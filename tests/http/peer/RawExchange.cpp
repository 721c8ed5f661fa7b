#include "tests/http/peer/RawExchange.h"

#include "core/Text.h"
#include "net/kbvIdTCPClient.h"

namespace {

constexpr int BoundMS = 5000;

void ReadChunked(TIdIOHandler& AIO, TIdBytes& ABody) {
    for (;;) {
        int Size = std::stoi(AIO.ReadLn(), nullptr, 16);  // chunk extensions are ignored by stoi
        if (Size == 0)
            break;
        AIO.ReadBytes(ABody, Size);
        AIO.ReadLn();
    }
    while (!AIO.ReadLn().empty()) {  // trailer fields
    }
}

}  // namespace

TRawReply RawGet(uint16_t APort, const std::string& APath, const std::string& AExtraHeaders) {
    TIdTCPClient Client;
    Client.SetHost("127.0.0.1");
    Client.SetPort(APort);
    Client.SetConnectTimeout(BoundMS);
    Client.SetReadTimeout(BoundMS);
    Client.Connect();
    TIdIOHandler& IO = *Client.IOHandler();
    IO.Write("GET " + APath + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(APort) + "\r\n" + AExtraHeaders +
             "Connection: close\r\n\r\n");

    TRawReply Reply;
    Reply.StatusLine = IO.ReadLn();
    for (std::string Line = IO.ReadLn(); !Line.empty(); Line = IO.ReadLn()) {
        size_t Colon = Line.find(':');
        size_t ValueAt = Line.find_first_not_of(' ', Colon + 1);
        Reply.Headers[LowerCase(Line.substr(0, Colon))] = ValueAt == std::string::npos ? "" : Line.substr(ValueAt);
    }
    if (LowerCase(Reply.Headers["transfer-encoding"]) == "chunked")
        ReadChunked(IO, Reply.Body);
    else if (Reply.Headers.count("content-length"))
        IO.ReadBytes(Reply.Body, std::stoi(Reply.Headers["content-length"]));
    Client.Disconnect();
    return Reply;
}
