#include "httpapi/kbvIdLogFile_Redact.h"

#include <array>

#include "net/kbvIdGlobal.h"

namespace {

using TLineKind = TkbvCredentialRedactor::TLineKind;
using TLineState = TkbvCredentialRedactor::TLineState;

constexpr std::array<std::string_view, 2> CredentialNames = {"Authorization:", "Proxy-Authorization:"};
constexpr std::string_view Mask = "****";
constexpr size_t TailLength = 4;
constexpr size_t ShortestWithTail = 16;

// Credential when the line begins with one of the names; Undecided while an
// unfinished line could still grow into one; Other otherwise.
TLineKind Classify(std::string_view ALine, bool AFinished) {
    for (std::string_view Name : CredentialNames) {
        if (TextStartsWith(ALine, Name))
            return TLineKind::Credential;
        if (!AFinished && ALine.size() < Name.size() && TextStartsWith(Name, ALine))
            return TLineKind::Undecided;
    }
    return TLineKind::Other;
}

// The trailing CR LF, LF or CR of ALine.
std::string_view LineBreakOf(std::string_view ALine) {
    size_t Start = ALine.size();
    if (Start > 0 && ALine[Start - 1] == '\n')
        --Start;
    if (Start > 0 && ALine[Start - 1] == '\r')
        --Start;
    return ALine.substr(Start);
}

std::string_view Trimmed(std::string_view AText) {
    size_t First = AText.find_first_not_of(" \t");
    if (First == std::string_view::npos)
        return {};
    return AText.substr(First, AText.find_last_not_of(" \t") - First + 1);
}

// "scheme secret" or a bare secret, masked as the header comment shows.
std::string MaskedValue(std::string_view AValue) {
    size_t Blank = AValue.find_first_of(" \t");
    std::string_view Scheme = Blank == std::string_view::npos ? std::string_view() : AValue.substr(0, Blank);
    std::string_view Secret = Trimmed(Blank == std::string_view::npos ? AValue : AValue.substr(Blank));
    std::string Result = Scheme.empty() ? std::string() : std::string(Scheme) + ' ';
    Result += Mask;
    if (Secret.size() >= ShortestWithTail && !TextIsSame(Scheme, "Basic"))
        Result += Secret.substr(Secret.size() - TailLength);
    return Result;
}

// A credential line: its name and colon as sent, then the masked value. An
// unfinished line shows no part of its value at all.
std::string RedactCredentialLine(std::string_view ALine, bool AFinished) {
    std::string_view Break = LineBreakOf(ALine);
    std::string_view Body = ALine.substr(0, ALine.size() - Break.size());
    size_t Colon = Body.find(':');
    std::string_view Value = Trimmed(Body.substr(Colon + 1));
    std::string Result(Body.substr(0, Colon + 1));
    if (!Value.empty())
        Result += ' ' + (AFinished ? MaskedValue(Value) : std::string(Mask));
    return Result + std::string(Break);
}

// One line, or the part of it in this block. AState says how the line began
// in earlier blocks and is updated for the next one.
std::string RedactSegment(std::string_view ASegment, bool AFinished, TLineState& AState) {
    switch (AState.Kind) {
        case TLineKind::Other:
            return std::string(ASegment);
        case TLineKind::Credential: {
            std::string_view Break = LineBreakOf(ASegment);
            return (ASegment.size() > Break.size() ? std::string(Mask) : std::string()) + std::string(Break);
        }
        case TLineKind::Undecided:
            break;
    }
    std::string Line = AState.Head + std::string(ASegment);
    AState.Kind = Classify(Line, AFinished);
    if (AState.Kind == TLineKind::Undecided) {
        AState.Head = std::move(Line);
        return std::string(ASegment);
    }
    // The head holds no colon yet, so masking leaves it as it was written.
    size_t HeadLength = AState.Head.size();
    AState.Head.clear();
    if (AState.Kind == TLineKind::Other)
        return std::string(ASegment);
    return RedactCredentialLine(Line, AFinished).substr(HeadLength);
}

// AComplete: the end of AText ends its last line too.
std::string Redact(std::string_view AText, TLineState& AState, bool AComplete) {
    std::string Result;
    Result.reserve(AText.size());
    size_t Pos = 0;
    while (Pos < AText.size()) {
        size_t LineFeed = AText.find('\n', Pos);
        size_t End = LineFeed == std::string_view::npos ? AText.size() : LineFeed + 1;
        bool Finished = LineFeed != std::string_view::npos || AComplete;
        Result += RedactSegment(AText.substr(Pos, End - Pos), Finished, AState);
        if (Finished)
            AState = TLineState();
        Pos = End;
    }
    return Result;
}

}  // namespace

std::string TkbvCredentialRedactor::RedactBlock(std::string_view ABlock) {
    std::lock_guard<std::mutex> Guard(FLock);
    auto Found = FStates.try_emplace(std::this_thread::get_id()).first;
    std::string Result = Redact(ABlock, Found->second, false);
    if (Found->second.Kind == TLineKind::Undecided && Found->second.Head.empty())
        FStates.erase(Found);
    return Result;
}

void TkbvCredentialRedactor::Restart() {
    std::lock_guard<std::mutex> Guard(FLock);
    FStates.erase(std::this_thread::get_id());
}

std::string TkbvCredentialRedactor::RedactText(std::string_view AText) {
    TLineState State;
    return Redact(AText, State, true);
}
