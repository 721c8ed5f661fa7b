// One HTTP/1.1 exchange written by hand over the TCP client, for tests that
// check a real peer (or what it sends) without the HTTP component.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "net/kbvIdGlobal.h"

struct TRawReply {
    std::string StatusLine;
    std::map<std::string, std::string> Headers;  // names in lower case
    TIdBytes Body;                               // de-chunked, still content-coded
};

// GET APath from 127.0.0.1:APort with AExtraHeaders ("Name: value\r\n" each)
// and Connection: close. The body is read by Content-Length or chunked
// coding. Every wait is bounded by a 5 s read time-out.
TRawReply RawGet(uint16_t APort, const std::string& APath, const std::string& AExtraHeaders = "");
