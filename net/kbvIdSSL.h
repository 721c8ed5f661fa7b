// The socket IO handler that can run TLS over its connection, whatever the
// TLS library. It starts in pass-through (plain TCP); switching PassThrough
// off starts TLS on the open socket, which is how a tunnel through a proxy is
// first opened in plain text and then secured.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/kbvIdIOHandlerSocket.h"

class TIdSSLIOHandlerSocketBase : public TIdIOHandlerStack {
public:
    using TIdIOHandlerStack::TIdIOHandlerStack;

    bool PassThrough() const { return FPassThrough; }
    virtual void SetPassThrough(bool AValue) { FPassThrough = AValue; }
    // The URI the connection is for: its host is the name the server's
    // certificate must carry and the name sent to the server.
    const std::string& URIToCheck() const { return FURIToCheck; }
    virtual void SetURIToCheck(const std::string& AValue) { FURIToCheck = AValue; }
    // The handler sits on the accepting side of the connection.
    bool IsPeer() const { return FIsPeer; }
    void SetIsPeer(bool AValue) { FIsPeer = AValue; }

    // Negotiates TLS on the connected socket; nothing while PassThrough is on.
    virtual void StartSSL() = 0;
    // A handler of the same class with the same settings.
    virtual std::unique_ptr<TIdSSLIOHandlerSocketBase> Clone() const = 0;

protected:
    // Connects the socket with TLS held back: name resolution, binding and
    // any proxy run in plain text.
    void ConnectInPlainText();
    // The transport while TLS is on; the socket's own while it is off.
    virtual int RecvEnc(TIdBytes& VBuffer) = 0;
    virtual int SendEnc(const TIdBytes& ABuffer, int AOffset, int ALength) = 0;
    int ReadDataFromSource(TIdBytes& ABuffer) override {
        return FPassThrough ? TIdIOHandlerStack::ReadDataFromSource(ABuffer) : RecvEnc(ABuffer);
    }
    int WriteDataToTarget(const TIdBytes& ABuffer, int AOffset, int ALength) override {
        return FPassThrough ? TIdIOHandlerStack::WriteDataToTarget(ABuffer, AOffset, ALength)
                            : SendEnc(ABuffer, AOffset, ALength);
    }

    bool FPassThrough = true;
    bool FIsPeer = false;
    std::string FURIToCheck;
};

// The host part of a URI ("https://[::1]:8443/x" gives "::1"), for the
// certificate check and the server-name extension.
std::string HostOfURI(const std::string& AURI);
// The scheme and authority of a URI ("https://[::1]:8443"), without
// user name and password.
std::string OriginOfURI(const std::string& AURI);

// --- shared by the TLS handlers ----------------------------------------------------

// Without a read time-out a handshake still may not wait forever for a
// silent peer: each of its waits ends after this long.
constexpr int TLSHandshakeWaitDefaultMS = 30000;
// What is left until ADeadline (a tick count), 0 when it has passed.
int MillisecondsUntil(uint64_t ADeadline);
// An IPv4 or IPv6 address rather than a host name.
bool IsAddress(const std::string& AHost);
// Waits until ASocket is ready for AEvents (POLLIN, POLLOUT); false when
// AMSec ran out (negative: forever). An error or hang-up counts as ready:
// the next call on the socket shows it.
bool WaitForSocket(int ASocket, short AEvents, int AMSec);
// The host the server's certificate must name and that is sent to it: the
// host of URIToCheck when it gives one, else AHost.
std::string HostToCheck(const std::string& AURIToCheck, const std::string& AHost);
