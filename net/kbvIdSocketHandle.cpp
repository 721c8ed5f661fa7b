#include "net/kbvIdSocketHandle.h"

#include <algorithm>

#include "core/Format.h"
#include "core/Ticks.h"
#include "net/kbvIdAntiFreezeBase.h"
#include "net/kbvIdIOHandler.h"

namespace {
// The anti-freeze hook's default IdleTimeOut; the instance's own value is
// not reachable from here.
constexpr int AntiFreezeSliceMS = 250;
}  // namespace

EIdInvalidPortRange::EIdInvalidPortRange(int AMin, int AMax)
    : EIdSocketHandleError(Format("Invalid Port Range (%d - %d)", AMin, AMax)) {}

EIdCanNotBindPortInRange::EIdCanNotBindPortInRange(int AMin, int AMax)
    : EIdSocketHandleError(Format("Can not bind in port range (%d - %d)", AMin, AMax)) {}

TIdSocketHandle::TIdSocketHandle() = default;

TIdSocketHandle::~TIdSocketHandle() { CloseSocket(); }

void TIdSocketHandle::AllocateSocket(int ASocketType, int AProtocol) {
    CloseSocket();
    FHandle = GStack()->NewSocketHandle(ASocketType, AProtocol, FIPVersion, FOverLapped);
    FHandleAllocated = true;
    FReadSocketList.Add(FHandle);
    if (FLingerState >= 0)
        GStack()->SetLingerState(FHandle, FLingerState);
    FSocketType = GetSockOpt(Id_SOL_SOCKET, Id_SO_TYPE);
    if (FSocketType == Id_SOCK_STREAM)
        FUseNagle = GetSockOpt(Id_IPPROTO_TCP, Id_TCP_NODELAY) == 0;
}

bool TIdSocketHandle::TryBind(uint16_t APort) {
    try {
        GStack()->Bind(FHandle, FIP, APort, FIPVersion);
        return true;
    } catch (const EIdSocketError&) {
        return false;
    }
}

void TIdSocketHandle::Bind() {
    SetSockOpt(Id_SOL_SOCKET, Id_SO_REUSEADDR, FReuseSocket == rsTrue ? 1 : 0);
    if (FPort == 0 && FClientPortMin != 0 && FClientPortMax != 0) {
        if (FClientPortMax < FClientPortMin)
            throw EIdInvalidPortRange(FClientPortMin, FClientPortMax);
        bool Bound = false;
        for (int Port = FClientPortMax; Port >= FClientPortMin && !Bound; --Port)
            Bound = TryBind(static_cast<uint16_t>(Port));
        if (!Bound)
            throw EIdCanNotBindPortInRange(FClientPortMin, FClientPortMax);
    } else {
        GStack()->Bind(FHandle, FIP, FPort, FIPVersion);
    }
    UpdateBindingLocal();
}

bool TIdSocketHandle::Connect(int ATimeoutMS) {
    if (ATimeoutMS < 0)
        GStack()->Connect(FHandle, FPeerIP, FPeerPort, FIPVersion);
    else if (!GStack()->Connect(FHandle, FPeerIP, FPeerPort, FIPVersion, ATimeoutMS))
        return false;
    // Another thread may have closed the socket to abort the connect.
    std::lock_guard Guard(FConnectionHandle);
    if (FHandleAllocated) {
        UpdateBindingLocal();
        UpdateBindingPeer();
    }
    return true;
}

void TIdSocketHandle::CloseSocket() {
    std::lock_guard Guard(FConnectionHandle);
    if (!FHandleAllocated)
        return;
    FHandleAllocated = false;
    DisconnectSocket();
    FReadSocketList.Remove(FHandle);
    FHandle = Id_INVALID_SOCKET;
}

void TIdSocketHandle::DisconnectSocket() { GStack()->Disconnect(FHandle); }

bool TIdSocketHandle::Readable(int AMSec) {
    if (AMSec == -1)
        AMSec = -2;
    auto WaitOnce = [this](int AWaitMS) {
        if (!FHandleAllocated)
            throw EIdConnClosedGracefully();
        const bool Result = FReadSocketList.SelectRead(AWaitMS);
        TIdAntiFreezeBase::DoProcess(!Result);
        return Result;
    };
    if (!TIdAntiFreezeBase::ShouldUse())
        return WaitOnce(AMSec);
    // Wait in slices so the anti-freeze hook runs in between.
    const int Slice = AntiFreezeSliceMS;
    const uint64_t Start = GetTickCount64();
    for (;;) {
        int Wait = Slice;
        if (AMSec >= 0) {
            const uint64_t Elapsed = GetTickDiff64(Start, GetTickCount64());
            if (Elapsed >= static_cast<uint64_t>(AMSec))
                return WaitOnce(0);
            Wait = static_cast<int>(std::min<uint64_t>(Slice, static_cast<uint64_t>(AMSec) - Elapsed));
        }
        if (WaitOnce(Wait))
            return true;
    }
}

void TIdSocketHandle::Reset(bool AResetLocal) {
    CloseSocket();
    if (AResetLocal) {
        FIP.clear();
        FPort = 0;
    }
    FPeerIP.clear();
    FPeerPort = 0;
}

void TIdSocketHandle::SetPeer(const std::string& AIP, uint16_t APort, TIdIPVersion AIPVersion) {
    FPeerIP = AIP;
    FPeerPort = APort;
    FIPVersion = AIPVersion;
}

void TIdSocketHandle::UpdateBindingLocal() { GStack()->GetSocketName(FHandle, FIP, FPort, FIPVersion); }

void TIdSocketHandle::UpdateBindingPeer() { GStack()->GetPeerName(FHandle, FPeerIP, FPeerPort, FIPVersion); }

int TIdSocketHandle::GetSockOpt(int ALevel, int AOptName) {
    return GStack()->GetSocketOption(FHandle, ALevel, AOptName);
}

void TIdSocketHandle::SetSockOpt(int ALevel, int AOptName, int AOptVal) {
    GStack()->SetSocketOption(FHandle, ALevel, AOptName, AOptVal);
}

void TIdSocketHandle::SetIPVersion(TIdIPVersion AValue) {
    if (AValue == FIPVersion)
        return;
    if (FHandleAllocated)
        throw EIdCannotSetIPVersionWhenConnected();
    FIPVersion = AValue;
}

void TIdSocketHandle::SetUseNagle(bool AValue) {
    if (AValue == FUseNagle)
        return;
    FUseNagle = AValue;
    if (FHandleAllocated && FSocketType == Id_SOCK_STREAM)
        SetSockOpt(Id_IPPROTO_TCP, Id_TCP_NODELAY, AValue ? 0 : 1);
}

void TIdSocketHandle::SetLingerState(int AValue) {
    FLingerState = AValue;
    if (FHandleAllocated)
        GStack()->SetLingerState(FHandle, AValue);
}
