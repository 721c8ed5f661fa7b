#include "tests/net/support/MemoryIOHandler.h"

#include <algorithm>
#include <cstring>

#include "net/kbvIdStack.h"

TIdIOHandlerMemory::TIdIOHandlerMemory(TComponent* AOwner) : TIdIOHandler(AOwner) {}

TIdIOHandlerMemory::~TIdIOHandlerMemory() {
    if (FOpened) {
        try {
            Close();
        } catch (...) {
        }
    }
}

void TIdIOHandlerMemory::AddReply(std::string_view ABytes, TAfterReply AAfter) {
    FReplies.push_back({std::string(ABytes), AAfter});
}

size_t TIdIOHandlerMemory::CurrentLeft() const {
    return FCurrent < 0 ? 0 : FReplies[static_cast<size_t>(FCurrent)].Bytes.size() - FCurrentPos;
}

// The peer closes once the current reply is taken, when it said so or no
// reply is left to come.
bool TIdIOHandlerMemory::PeerClosed() const {
    if (FPeerClosedConnection)
        return true;
    if (CurrentLeft() > 0)
        return false;
    const bool NoneToCome = static_cast<size_t>(FCurrent + 1) >= FReplies.size();
    return NoneToCome || (FCurrentOnThisConnection && FReplies[static_cast<size_t>(FCurrent)].After == arClose);
}

void TIdIOHandlerMemory::Open() {
    TIdIOHandler::Open();
    FConnectionOpen = true;
    FPeerClosedConnection = false;
    FCurrentOnThisConnection = false;
    if (FCurrent >= 0)
        FCurrentPos = FReplies[static_cast<size_t>(FCurrent)].Bytes.size();
    ++FConnections;
}

void TIdIOHandlerMemory::Close() {
    FConnectionOpen = false;
    TIdIOHandler::Close();
}

bool TIdIOHandlerMemory::Connected() {
    FillInputBuffer(false, 0, false);
    return (FConnectionOpen && TIdIOHandler::Connected()) || !InputBufferIsEmpty();
}

// The socket handler's rule: a close noticed earlier closes our side now.
void TIdIOHandlerMemory::CheckForDisconnect(bool ARaiseExceptionIfDisconnected, bool AIgnoreBuffer) {
    bool Disconnected = !FConnectionOpen;
    if (FClosedGracefully) {
        if (FConnectionOpen) {
            Close();
            ReportStatus(hsDisconnected);
        }
        Disconnected = true;
    }
    if (Disconnected && ARaiseExceptionIfDisconnected && (AIgnoreBuffer || InputBufferIsEmpty()))
        throw EIdConnClosedGracefully();
}

bool TIdIOHandlerMemory::Readable(int) { return FConnectionOpen && (CurrentLeft() > 0 || PeerClosed()); }

int TIdIOHandlerMemory::ReadDataFromSource(TIdBytes& ABuffer) {
    if (++FReads == FFailingRead)
        return Id_SOCKET_ERROR;
    size_t Count = std::min(ABuffer.size(), CurrentLeft());
    if (FReceiveLimit > 0)
        Count = std::min(Count, FReceiveLimit);
    if (Count == 0) {
        FPeerClosedConnection = true;
        return 0;
    }
    std::memcpy(ABuffer.data(), FReplies[static_cast<size_t>(FCurrent)].Bytes.data() + FCurrentPos, Count);
    FCurrentPos += Count;
    return static_cast<int>(Count);
}

int TIdIOHandlerMemory::WriteDataToTarget(const TIdBytes& ABuffer, int AOffset, int ALength) {
    if (++FWrites == FFailingWrite)
        return Id_SOCKET_ERROR;
    if (FKeepWritten)
        FWritten.append(reinterpret_cast<const char*>(ABuffer.data()) + AOffset, static_cast<size_t>(ALength));
    // A peer that closed hears nothing more; otherwise a request after the
    // whole previous reply gets the next one.
    if (!PeerClosed() && CurrentLeft() == 0 && static_cast<size_t>(FCurrent + 1) < FReplies.size()) {
        ++FCurrent;
        FCurrentPos = 0;
        FCurrentOnThisConnection = true;
    }
    return ALength;
}

// Every failure of this transport is a reset.
int TIdIOHandlerMemory::GetSocketErrorCode(int) { return Id_WSAECONNRESET; }

void TIdIOHandlerMemory::RaiseSocketError(int AErrorCode) { TIdStack::RaiseSocketError(AErrorCode); }
