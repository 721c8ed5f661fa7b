// An IO handler over memory, for tests and fuzz targets: no socket, no wait,
// no thread. The peer is a script of replies given by the test; the bytes the
// client sends are kept (or dropped); the n-th read or write can be made to
// fail as a reset connection does.
//
// The peer answers: each reply is sent when the client writes after it took
// the previous reply in full (a request in several writes releases one reply).
// After a reply the peer either keeps the connection open, so a read past the
// reply times out at once (a real client would wait for its read time-out),
// or closes it gracefully. After the last reply it always closes. A new
// connection (Open) drops what was left of the current reply and goes on
// with the next one, so a client that reconnects after "Connection: close"
// or a redirect reads the next reply of the script.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "net/kbvIdIOHandler.h"

class TIdIOHandlerMemory : public TIdIOHandler {
public:
    enum TAfterReply { arKeepOpen, arClose };

    explicit TIdIOHandlerMemory(TComponent* AOwner = nullptr);
    ~TIdIOHandlerMemory() override;

    void AddReply(std::string_view ABytes, TAfterReply AAfter = arKeepOpen);
    // At most this many bytes per receive (0: as many as the receive takes),
    // to cut replies at every place a real peer might.
    void SetReceiveLimit(size_t AValue) { FReceiveLimit = AValue; }
    // The n-th receive or send (counted from 1 over the handler's life; 0:
    // none) fails with a connection reset.
    void SetFailingRead(int AValue) { FFailingRead = AValue; }
    void SetFailingWrite(int AValue) { FFailingWrite = AValue; }
    // Whether the bytes the client sends are kept in Written(); on by default.
    void SetKeepWritten(bool AValue) { FKeepWritten = AValue; }

    const std::string& Written() const { return FWritten; }
    // Replies sent so far, in part or in full.
    int RepliesSent() const { return FCurrent + 1; }
    int Connections() const { return FConnections; }

    void Open() override;
    void Close() override;
    // Notices a close by the peer, as a socket handler polls for one.
    bool Connected() override;
    void CheckForDisconnect(bool ARaiseExceptionIfDisconnected = true, bool AIgnoreBuffer = false) override;
    // Never waits: readable when bytes of the current reply are left or the
    // peer closed; otherwise the wait times out at once.
    bool Readable(int AMSec = IdTimeoutDefault) override;

protected:
    int ReadDataFromSource(TIdBytes& ABuffer) override;
    int WriteDataToTarget(const TIdBytes& ABuffer, int AOffset, int ALength) override;
    bool SourceIsAvailable() override { return FConnectionOpen; }
    int GetSocketErrorCode(int AResult) override;
    [[noreturn]] void RaiseSocketError(int AErrorCode) override;

private:
    struct TReply {
        std::string Bytes;
        TAfterReply After;
    };
    size_t CurrentLeft() const;
    bool PeerClosed() const;

    std::vector<TReply> FReplies;
    int FCurrent = -1;       // the reply being sent; -1 before the first
    size_t FCurrentPos = 0;  // bytes of it taken by the client
    bool FCurrentOnThisConnection = false;
    bool FConnectionOpen = false;
    bool FPeerClosedConnection = false;
    size_t FReceiveLimit = 0;
    bool FKeepWritten = true;
    std::string FWritten;
    int FConnections = 0;
    int FReads = 0;
    int FWrites = 0;
    int FFailingRead = 0;
    int FFailingWrite = 0;
};
