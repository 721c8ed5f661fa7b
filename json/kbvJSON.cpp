#include "json/kbvJSON.h"

#include <algorithm>
#include <bitset>
#include <charconv>
#include <cmath>
#include <cstring>

#include "core/Exceptions.h"
#include "core/Format.h"

// ---------------------------------------------------------------------------
// Text helpers

namespace {

constexpr char32_t ReplacementCharacter = 0xFFFD;

// Decodes one UTF-8 character at Text[Pos], advancing Pos. An ill-formed
// sequence (overlong, surrogate, out of range, truncated) consumes one byte
// and gives U+FFFD.
char32_t DecodeUTF8(std::string_view Text, size_t& Pos) {
    auto Byte = [&](size_t I) { return static_cast<unsigned char>(Text[I]); };
    unsigned char Lead = Byte(Pos);
    if (Lead < 0x80) {
        ++Pos;
        return Lead;
    }
    int Length = Lead >= 0xF0 ? 4 : Lead >= 0xE0 ? 3 : Lead >= 0xC0 ? 2 : 0;
    if (Length == 0 || Lead > 0xF4 || Pos + Length > Text.size()) {
        ++Pos;
        return ReplacementCharacter;
    }
    char32_t Code = Lead & (0x7F >> Length);
    for (int I = 1; I < Length; ++I) {
        unsigned char Next = Byte(Pos + I);
        if ((Next & 0xC0) != 0x80) {
            ++Pos;
            return ReplacementCharacter;
        }
        Code = (Code << 6) | (Next & 0x3F);
    }
    static constexpr char32_t Minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (Code < Minimum[Length] || Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF)) {
        ++Pos;
        return ReplacementCharacter;
    }
    Pos += Length;
    return Code;
}

void AppendUTF8(std::string& Out, char32_t Code) {
    if (Code < 0x80) {
        Out += static_cast<char>(Code);
    } else if (Code < 0x800) {
        Out += static_cast<char>(0xC0 | (Code >> 6));
        Out += static_cast<char>(0x80 | (Code & 0x3F));
    } else if (Code < 0x10000) {
        Out += static_cast<char>(0xE0 | (Code >> 12));
        Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (Code & 0x3F));
    } else {
        Out += static_cast<char>(0xF0 | (Code >> 18));
        Out += static_cast<char>(0x80 | ((Code >> 12) & 0x3F));
        Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (Code & 0x3F));
    }
}

void AppendUnicodeEscape(std::string& Out, unsigned Unit) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    Out += "\\u";
    for (int Shift = 12; Shift >= 0; Shift -= 4)
        Out += Hex[(Unit >> Shift) & 0xF];
}

int HexDigitValue(char C) {
    if (C >= '0' && C <= '9')
        return C - '0';
    if ((C | 0x20) >= 'a' && (C | 0x20) <= 'f')
        return (C | 0x20) - 'a' + 10;
    return -1;
}

// Exactly four hexadecimal digits at Text[Pos] (no sign, no blank); -1 when they are not.
int ParseHex4(std::string_view Text, size_t Pos) {
    if (Pos > Text.size() || Text.size() - Pos < 4)
        return -1;
    int Value = 0;
    for (size_t I = Pos; I < Pos + 4; ++I) {
        int Digit = HexDigitValue(Text[I]);
        if (Digit < 0)
            return -1;
        Value = Value * 16 + Digit;
    }
    return Value;
}

bool IsHighSurrogate(int Unit) { return Unit >= 0xD800 && Unit <= 0xDBFF; }
bool IsLowSurrogate(int Unit) { return Unit >= 0xDC00 && Unit <= 0xDFFF; }

}  // namespace

std::string EscapeString(std::string_view Text) {
    std::string Out;
    Out.reserve(Text.size() + Text.size() / 8);
    size_t Pos = 0;
    while (Pos < Text.size()) {
        char32_t Code = DecodeUTF8(Text, Pos);
        switch (Code) {
            case '\b': Out += "\\b"; break;
            case '\t': Out += "\\t"; break;
            case '\n': Out += "\\n"; break;
            case '\f': Out += "\\f"; break;
            case '\r': Out += "\\r"; break;
            case '"': Out += "\\\""; break;
            case '/': Out += "\\/"; break;
            case '\\': Out += "\\\\"; break;
            default:
                if (Code >= 0x20 && Code < 0x80) {
                    Out += static_cast<char>(Code);
                } else if (Code < 0x10000) {
                    AppendUnicodeEscape(Out, Code);
                } else {
                    Code -= 0x10000;
                    AppendUnicodeEscape(Out, 0xD800 + (Code >> 10));
                    AppendUnicodeEscape(Out, 0xDC00 + (Code & 0x3FF));
                }
        }
    }
    return Out;
}

std::string UnescapeString(std::string_view Text) {
    std::string Out;
    Out.reserve(Text.size());
    size_t Pos = 0;
    while (Pos < Text.size()) {
        size_t Backslash = Text.find('\\', Pos);
        Out.append(Text.substr(Pos, Backslash - Pos));
        if (Backslash == std::string_view::npos || Backslash + 1 >= Text.size()) {
            if (Backslash != std::string_view::npos)
                Out += '\\';
            break;
        }
        Pos = Backslash + 2;
        switch (char Escaped = Text[Backslash + 1]) {
            case 'b': Out += '\b'; break;
            case 't': Out += '\t'; break;
            case 'n': Out += '\n'; break;
            case 'f': Out += '\f'; break;
            case 'r': Out += '\r'; break;
            case '"':
            case '/':
            case '\\': Out += Escaped; break;
            case 'u': {
                int Unit = ParseHex4(Text, Pos);
                if (Unit < 0) {
                    Out += "\\u";
                    break;
                }
                Pos += 4;
                char32_t Code = static_cast<char32_t>(Unit);
                if (IsHighSurrogate(Unit) && Text.substr(Pos, 2) == "\\u" &&
                    IsLowSurrogate(ParseHex4(Text, Pos + 2))) {
                    int Low = ParseHex4(Text, Pos + 2);
                    Code = 0x10000 + ((Unit - 0xD800) << 10) + (Low - 0xDC00);
                    Pos += 6;
                } else if (IsHighSurrogate(Unit) || IsLowSurrogate(Unit)) {
                    Code = ReplacementCharacter;
                }
                AppendUTF8(Out, Code);
                break;
            }
            default:
                Out += '\\';
                Out += Escaped;
        }
    }
    return Out;
}

std::string FormatJSONNumber(double Value) {
    if (!std::isfinite(Value))
        return "null";
    char Buffer[32];
    auto [End, Error] = std::to_chars(Buffer, Buffer + sizeof Buffer, Value, std::chars_format::general, 15);
    std::string Text(Buffer, Error == std::errc() ? End : Buffer);
    for (char& C : Text)
        if (C == 'e')
            C = 'E';
    return Text;
}

// ---------------------------------------------------------------------------
// Store

namespace {

// Objects made in chunks and destroyed together: a reply of a few hundred
// thousand values costs a few dozen allocations instead of one per value.
template <typename T>
class TChunkPool {
public:
    TChunkPool() = default;
    TChunkPool(const TChunkPool&) = delete;
    TChunkPool& operator=(const TChunkPool&) = delete;
    ~TChunkPool() {
        for (auto Chunk = FChunks.rbegin(); Chunk != FChunks.rend(); ++Chunk) {
            std::destroy(Chunk->Items, Chunk->Items + Chunk->Used);
            std::allocator<T>().deallocate(Chunk->Items, Chunk->Capacity);
        }
    }

    template <typename... Args>
    T* New(Args&&... AArgs) {
        if (FChunks.empty() || FChunks.back().Used == FChunks.back().Capacity) {
            // Chunks stay below the allocator's mapping threshold, so a
            // document read again and again reuses memory instead of
            // mapping fresh pages each time.
            constexpr size_t MaxCapacity = std::max<size_t>(1, 64 * 1024 / sizeof(T));
            size_t Capacity = FChunks.empty() ? 16 : std::min(FChunks.back().Capacity * 2, MaxCapacity);
            FChunks.push_back({std::allocator<T>().allocate(Capacity), 0, Capacity});
        }
        Chunk& Last = FChunks.back();
        T* Item = std::construct_at(Last.Items + Last.Used, std::forward<Args>(AArgs)...);
        ++Last.Used;
        return Item;
    }

private:
    struct Chunk {
        T* Items;
        size_t Used;
        size_t Capacity;
    };
    std::vector<Chunk> FChunks;
};

}  // namespace

// Holds the nodes, their text and the child documents of one document made
// by the program. Handles are aliasing pointers into it, so it lives while
// any is held.
class TkbvJSONStore : public std::enable_shared_from_this<TkbvJSONStore> {
public:
    // A copy of Text that lives as long as the store.
    std::string_view Keep(std::string_view Text) {
        if (Text.empty())
            return {};
        if (Text.size() > FBlockLeft) {
            // Large texts (a whole reply) get a block of their own.
            if (Text.size() > TextBlockSize / 4)
                return Copy(Text, NewBlock(Text.size()));
            FBlockNext = NewBlock(TextBlockSize);
            FBlockLeft = TextBlockSize;
        }
        std::string_view Kept = Copy(Text, FBlockNext);
        FBlockNext += Text.size();
        FBlockLeft -= Text.size();
        return Kept;
    }

    // Name and Value must be text this store keeps.
    TkbvObjectJSON* NewNode(std::string_view Name, TkbvJSONtype Kind, std::string_view Value) {
        return FNodes.New(TkbvObjectJSON::Key(), *this, Name, Kind, Value);
    }

    TkbvJSON* NewDocument() {
        TkbvJSON* Document = FDocuments.New();
        Document->FStore = this;
        return Document;
    }

    // Keeps a node or document of another store alive while this one lives.
    void Hold(std::shared_ptr<const void> Other) { FHeld.push_back(std::move(Other)); }

private:
    static constexpr size_t TextBlockSize = 16 * 1024;

    char* NewBlock(size_t Size) { return FTextBlocks.emplace_back(std::make_unique_for_overwrite<char[]>(Size)).get(); }

    static std::string_view Copy(std::string_view Text, char* Target) {
        std::memcpy(Target, Text.data(), Text.size());
        return {Target, Text.size()};
    }

    std::vector<std::unique_ptr<char[]>> FTextBlocks;
    char* FBlockNext = nullptr;
    size_t FBlockLeft = 0;
    std::vector<std::shared_ptr<const void>> FHeld;
    TChunkPool<TkbvJSON> FDocuments;
    TChunkPool<TkbvObjectJSON> FNodes;
};

// ---------------------------------------------------------------------------
// Reader

// A forgiving recursive-descent scanner over the source text. Values keep
// their source text; failures stop the read and leave what was appended.
class TkbvJSON::Reader {
public:
    // Text must be kept by Store: the nodes are views of it.
    Reader(std::string_view Text, TkbvJSONStore& AStore) : S(Text), Store(AStore) {}

    // The top-level value: an array when the first character after blanks is
    // "[", else an object. False when the text nests deeper than the bound.
    bool ParseDocument(TkbvJSON& Doc) {
        SkipBlanks();
        if (At('['))
            ParseArray(Doc, 1);
        else
            ParseObject(Doc, 1);
        return !TooDeep;
    }

private:
    bool ParseObject(TkbvJSON& Doc, int Depth) {
        SkipBlanks();
        if (!At('{') || !WithinDepth(Depth))
            return false;
        size_t Start = P++;
        Doc.FSource = S.data();
        for (;;) {
            SkipBlanks();
            if (P >= S.size())
                return Restore(Start);
            if (S[P] == '}') {
                ++P;
                return true;
            }
            std::string_view Name;
            if (!ParseString(Name))
                return Restore(Start);
            SkipBlanks();
            if (!At(':'))
                return Restore(Start);
            ++P;
            if (!ParseValue(Doc, Name, Depth))
                return Restore(Start);
            SkipOptionalComma();
        }
    }

    bool ParseArray(TkbvJSON& Doc, int Depth) {
        SkipBlanks();
        if (!At('[') || !WithinDepth(Depth))
            return false;
        size_t Start = P++;
        Doc.FSource = S.data();
        Doc.FIsArray = true;
        for (;;) {
            SkipBlanks();
            if (P >= S.size())
                return Restore(Start);
            if (S[P] == ']') {
                ++P;
                return true;
            }
            if (!ParseValue(Doc, {}, Depth))
                return Restore(Start);
            SkipOptionalComma();
        }
    }

    bool WithinDepth(int Depth) {
        TooDeep = TooDeep || Depth > kbvJSONMaxDepth;
        return !TooDeep;
    }

    bool At(char C) const { return P < S.size() && S[P] == C; }

    bool Restore(size_t Start) {
        P = Start;
        return false;
    }

    void SkipBlanks() {
        while (P < S.size()) {
            char C = S[P];
            if (C == ' ' || C == '\t' || C == '\n' || C == '\r' || C == '\f') {
                ++P;
            } else if (C == '#') {
                size_t LineFeed = S.find('\n', P);
                P = LineFeed == std::string_view::npos ? S.size() : LineFeed;
            } else {
                break;
            }
        }
    }

    void SkipOptionalComma() {
        SkipBlanks();
        if (At(','))
            ++P;
    }

    bool ParseValue(TkbvJSON& Doc, std::string_view Name, int Depth) {
        SkipBlanks();
        if (P >= S.size())
            return false;
        char C = S[P];
        std::string_view Text;
        switch (C) {
            case '"':
                if (!ParseString(Text))
                    return false;
                Append(Doc, Name, kbvJSONString, Text);
                return true;
            case '{':
            case '[': {
                TkbvJSONtype Kind = C == '{' ? kbvJSONObject : kbvJSONList;
                auto& Child = AppendNode(Doc, Name, Kind)->Child();
                return Kind == kbvJSONObject ? ParseObject(Child, Depth + 1) : ParseArray(Child, Depth + 1);
            }
            case 't': case 'T': return ParseKeyword("true", kbvJSONBoolean, Doc, Name);
            case 'f': case 'F': return ParseKeyword("false", kbvJSONBoolean, Doc, Name);
            case 'n': case 'N': return ParseKeyword("null", kbvJSONNull, Doc, Name);
            default:
                if (C == '+' || C == '-' || IsDigit(C)) {
                    if (!ParseNumber(Text))
                        return false;
                    Append(Doc, Name, kbvJSONNumber, Text);
                    return true;
                }
                return false;
        }
    }

    // Keywords match in any letter case and are stored in lower case; the
    // position moves past the keyword's length even when it does not match.
    bool ParseKeyword(std::string_view Keyword, TkbvJSONtype Kind, TkbvJSON& Doc, std::string_view Name) {
        std::string_view Found = S.substr(P, Keyword.size());
        P += Found.size();
        if (Found.size() != Keyword.size())
            return false;
        for (size_t I = 0; I < Keyword.size(); ++I)
            if ((Found[I] | 0x20) != Keyword[I])
                return false;
        Append(Doc, Name, Kind, Found == Keyword ? Found : Keyword);
        return true;
    }

    // The text between the quotes, escapes untouched. A backslash escapes
    // exactly the character after it, or "u" and four hexadecimal digits
    // (anything else after "\u" fails the string); an unescaped double quote
    // always closes the string.
    bool ParseString(std::string_view& Text) {
        if (!At('"'))
            return false;
        size_t Start = P;
        size_t Pos = P + 1;
        while (Pos < S.size()) {
            char C = S[Pos];
            if (C == '"') {
                Text = S.substr(Start + 1, Pos - Start - 1);
                P = Pos + 1;
                return true;
            }
            if (C != '\\') {
                ++Pos;
                continue;
            }
            if (Pos + 1 >= S.size())
                break;
            if (S[Pos + 1] != 'u') {
                Pos += 2;
                continue;
            }
            if (ParseHex4(S, Pos + 2) < 0)
                break;
            Pos += 6;
        }
        P = Start;
        return false;
    }

    static bool IsDigit(char C) { return C >= '0' && C <= '9'; }

    bool SkipDigits(size_t& Pos) const {
        size_t Start = Pos;
        while (Pos < S.size() && IsDigit(S[Pos]))
            ++Pos;
        return Pos > Start;
    }

    bool ParseNumber(std::string_view& Text) {
        size_t Pos = P;
        if (S[Pos] == '+' || S[Pos] == '-')
            ++Pos;
        if (!SkipDigits(Pos))
            return false;
        if (Pos < S.size() && S[Pos] == '.' && !SkipDigits(++Pos))
            return false;
        if (Pos < S.size() && (S[Pos] == 'e' || S[Pos] == 'E')) {
            ++Pos;
            if (Pos < S.size() && (S[Pos] == '+' || S[Pos] == '-'))
                ++Pos;
            if (!SkipDigits(Pos))
                return false;
        }
        Text = S.substr(P, Pos - P);
        P = Pos;
        return true;
    }

    // A scalar; array elements whose text lies in the source stay text.
    void Append(TkbvJSON& Doc, std::string_view Name, TkbvJSONtype Kind, std::string_view Text) {
        auto Offset = reinterpret_cast<uintptr_t>(Text.data()) - reinterpret_cast<uintptr_t>(S.data());
        bool InSource = Offset <= S.size() && Text.size() <= S.size() - Offset;
        if (Name.empty() && InSource && S.size() <= UINT32_MAX && Text.size() <= TkbvJSON::MaxSlotValueLength)
            Doc.FData.push_back({nullptr, static_cast<uint32_t>(Offset), static_cast<uint32_t>(Text.size()), Kind});
        else
            AppendNode(Doc, Name, Kind, Text);
    }

    TkbvObjectJSON* AppendNode(TkbvJSON& Doc, std::string_view Name, TkbvJSONtype Kind, std::string_view Text = {}) {
        TkbvObjectJSON* Node = Store.NewNode(Name, Kind, Text);
        Doc.FData.push_back({Node, 0, 0, Kind});
        return Node;
    }

    std::string_view S;
    size_t P = 0;
    TkbvJSONStore& Store;
    bool TooDeep = false;
};

// ---------------------------------------------------------------------------
// Node

IkbvObjectJSONPtr TkbvObjectJSON::Create(std::string_view AName, TkbvJSONtype AType, std::string_view AValue) {
    auto Store = std::make_shared<TkbvJSONStore>();
    TkbvObjectJSON* Node = Store->NewNode(Store->Keep(AName), AType, Store->Keep(AValue));
    return IkbvObjectJSONPtr(Store, Node);
}

TkbvJSON& TkbvObjectJSON::Child() {
    if (!FJSONObject) {
        FJSONObject = FStore->NewDocument();
        if (FJSONType != kbvJSONList)
            FJSONType = kbvJSONObject;
    }
    return *FJSONObject;
}

IkbvJSONPtr TkbvObjectJSON::JSONObject() { return IkbvJSONPtr(FStore->shared_from_this(), &Child()); }

void TkbvObjectJSON::SetJSONObject(const IkbvJSONPtr& Value) {
    auto* Document = dynamic_cast<TkbvJSON*>(Value.get());
    if (Value && !Document)
        throw EConvertError("A JSON node can only hold a TkbvJSON document");
    // A document of this node's own store needs no hold: holding it would
    // keep the store alive through itself.
    if (Document && Document->FStore != FStore)
        FStore->Hold(Value);
    FJSONObject = Document;
}

void TkbvObjectJSON::SetValue(std::string_view Value) {
    if (Value == FValue)
        return;
    // A value replaced again and again (a request object written for every
    // call) lives in the node, so the store does not grow with each change.
    FOwnValue = std::make_unique<std::string>(Value);
    FValue = *FOwnValue;
}

void TkbvObjectJSON::SetName(std::string_view Value) {
    if (Value != FName)
        FName = FStore->Keep(Value);
}

IkbvObjectJSONPtr TkbvObjectJSON::GetNode(std::string_view Name) { return Child().GetNode(Name); }

void TkbvObjectJSON::SetNode(std::string_view Name, const IkbvObjectJSONPtr& Node) { Child().SetNode(Name, Node); }

IkbvObjectJSONPtr TkbvObjectJSON::GetItem(int Index) { return Child().GetItem(Index); }

void TkbvObjectJSON::SetItem(int Index, const IkbvObjectJSONPtr& Node) { Child().SetItem(Index, Node); }

std::string TkbvObjectJSON::Value() const {
    switch (FJSONType) {
        case kbvJSONObject:
            return FJSONObject ? FJSONObject->Text() : "{}";
        case kbvJSONList:
            if (!FJSONObject)
                return "[]";
            FJSONObject->SetIsArray(true);
            return FJSONObject->Text();
        default:
            return std::string(FValue);
    }
}

int TkbvObjectJSON::Count() const { return FJSONObject ? FJSONObject->Count() : 0; }

// ---------------------------------------------------------------------------
// Document

TkbvJSON::~TkbvJSON() { Clear(); }

void TkbvJSON::Clear() {
    FData.clear();
    FSource = nullptr;
    // A document made by the program lets go of its store (held nodes keep
    // it alive); a child document's nodes stay in the store it lives in.
    if (FOwnStore) {
        FOwnStore.reset();
        FStore = nullptr;
    }
}

TkbvJSONStore& TkbvJSON::Store() {
    if (!FStore) {
        FOwnStore = std::make_shared<TkbvJSONStore>();
        FStore = FOwnStore.get();
    }
    return *FStore;
}

IkbvObjectJSONPtr TkbvJSON::Handle(TkbvObjectJSON* Node) const {
    return IkbvObjectJSONPtr(Node->FStore->shared_from_this(), Node);
}

size_t TkbvJSON::IndexOfName(std::string_view Name) const {
    for (size_t I = 0; I < FData.size(); ++I) {
        // Elements kept as text have no name.
        std::string_view SlotName = FData[I].Node ? FData[I].Node->FName : std::string_view();
        if (SlotName == Name)
            return I;
    }
    return NotFound;
}

TkbvObjectJSON* TkbvJSON::NodeAt(size_t Index) const {
    TSlot& Slot = FData[Index];
    if (!Slot.Node) {
        std::string_view Value(FSource + Slot.ValueOffset, Slot.ValueLength);
        Slot.Node = FStore->NewNode({}, static_cast<TkbvJSONtype>(Slot.Kind), Value);
    }
    return Slot.Node;
}

IkbvObjectJSONPtr TkbvJSON::GetNode(std::string_view Name) const {
    size_t Index = IndexOfName(Name);
    return Index == NotFound ? nullptr : Handle(NodeAt(Index));
}

IkbvObjectJSONPtr TkbvJSON::GetItem(int Index) const {
    if (Index < 0)
        RaiseListIndexError(Index);
    return static_cast<size_t>(Index) < FData.size() ? Handle(NodeAt(Index)) : nullptr;
}

void TkbvJSON::Place(TSlot& Slot, const IkbvObjectJSONPtr& Node) {
    auto* Replacement = dynamic_cast<TkbvObjectJSON*>(Node.get());
    if (!Replacement)
        return;
    if (Replacement->FStore != FStore)
        Store().Hold(Node);
    Slot = {Replacement, 0, 0, Replacement->FJSONType};
}

void TkbvJSON::SetNode(std::string_view Name, const IkbvObjectJSONPtr& Node) {
    size_t Index = IndexOfName(Name);
    if (Index != NotFound)
        Place(FData[Index], Node);
}

void TkbvJSON::SetItem(int Index, const IkbvObjectJSONPtr& Node) {
    if (Index < 0)
        RaiseListIndexError(Index);
    if (static_cast<size_t>(Index) < FData.size())
        Place(FData[Index], Node);
}

TkbvObjectJSON* TkbvJSON::AddValue(const std::string& Name, std::string_view Value, TkbvJSONtype Kind) {
    bool RawJSON = Kind == kbvJSONString && !Value.empty() && (Value[0] == '{' || Value[0] == '[');
    std::string EscapedName, EscapedValue;
    std::string_view StoredName = Name;
    if (FEscapeStrings) {
        // Names are stored as they will be written, so the lookup compares in that form.
        StoredName = EscapedName = EscapeString(Name);
        if (Kind == kbvJSONString)
            Value = EscapedValue = EscapeString(Value);
    }

    if (size_t Index = IndexOfName(StoredName); Index != NotFound) {
        NodeAt(Index)->SetValue(Value);
        return NodeAt(Index);
    }

    TkbvJSONStore& Kept = Store();
    TkbvObjectJSON* Node = Kept.NewNode(Kept.Keep(StoredName), Kind, {});
    if (Kind == kbvJSONObject || Kind == kbvJSONList)
        Node->Child().Read(Value);
    else
        Node->FValue = Kept.Keep(Value);
    Node->FQuoted = !RawJSON;
    FData.push_back({Node, 0, 0, Kind});
    return Node;
}

IkbvObjectJSONPtr TkbvJSON::AddPair(const std::string& Name, const std::string& Value) {
    return Handle(AddValue(Name, Value, kbvJSONString));
}

IkbvObjectJSONPtr TkbvJSON::AddPair(const std::string& Name, int32_t Value) {
    return Handle(AddValue(Name, std::to_string(Value), kbvJSONNumber));
}

IkbvObjectJSONPtr TkbvJSON::AddPair(const std::string& Name, int64_t Value) {
    return Handle(AddValue(Name, std::to_string(Value), kbvJSONNumber));
}

IkbvObjectJSONPtr TkbvJSON::AddPair(const std::string& Name, double Value) {
    return Handle(AddValue(Name, FormatJSONNumber(Value), kbvJSONNumber));
}

IkbvObjectJSONPtr TkbvJSON::AddPair(const std::string& Name, bool Value) {
    return Handle(AddValue(Name, Value ? "true" : "false", kbvJSONBoolean));
}

IkbvObjectJSONPtr TkbvJSON::AddPair(const std::string& Name) { return Handle(AddValue(Name, {}, kbvJSONNull)); }

IkbvObjectJSONPtr TkbvJSON::AddObject(const std::string& Name, std::string_view JSONText) {
    return Handle(AddValue(Name, JSONText, kbvJSONObject));
}

IkbvObjectJSONPtr TkbvJSON::AddArray(const std::string& Name, std::string_view JSONText) {
    return Handle(AddValue(Name, JSONText, kbvJSONList));
}

void TkbvJSON::Read(std::string_view JSONText) {
    Clear();
    FIsArray = false;
    TkbvJSONStore& Kept = Store();
    std::string_view Source = Kept.Keep(JSONText);
    // Text nested deeper than the bound is no document at all: a cut copy
    // would pass for the whole reply.
    if (!Reader(Source, Kept).ParseDocument(*this)) {
        Clear();
        FIsArray = false;
    }
}

// ---------------------------------------------------------------------------
// Writer

std::string TkbvJSON::Text() const {
    std::string Out;
    WriteText(Out);
    return Out;
}

namespace {

// A scalar as JSON text: "named" writes the name, quote and colon first.
void WriteScalar(std::string& Out, std::string_view Name, TkbvJSONtype Kind, std::string_view Value, bool Quoted,
                 bool Named) {
    if (Kind == kbvJSONUndefined)
        return;
    if (Named) {
        Out += '"';
        Out += Name;
        Out += "\":";
    }
    switch (Kind) {
        case kbvJSONString: {
            bool AddQuotes = Quoted && (Value.empty() || Value[0] != '"');
            if (AddQuotes)
                Out += '"';
            Out += Value;
            if (AddQuotes)
                Out += '"';
            break;
        }
        case kbvJSONNumber:
            if (Value.find(',') == std::string_view::npos)
                Out += Value;
            else
                for (char C : Value)
                    Out += C == ',' ? '.' : C;
            break;
        case kbvJSONNull:
            Out += "null";
            break;
        default:
            Out += Value;
    }
}

}  // namespace

void TkbvJSON::WriteText(std::string& Out) const {
    Out += FIsArray ? '[' : '{';
    for (size_t I = 0; I < FData.size(); ++I) {
        WriteSlot(Out, FData[I], FIsArray);
        if (I + 1 < FData.size() && Out.back() != ',')
            Out += ',';
    }
    Out += FIsArray ? ']' : '}';
}

void TkbvJSON::WriteSlot(std::string& Out, const TSlot& Slot, bool ValueOnly) const {
    if (Slot.Node)
        WriteNode(Out, *Slot.Node, ValueOnly);
    else
        WriteScalar(Out, {}, static_cast<TkbvJSONtype>(Slot.Kind),
                    std::string_view(FSource + Slot.ValueOffset, Slot.ValueLength), true, !ValueOnly);
}

void TkbvJSON::WriteNode(std::string& Out, const TkbvObjectJSON& Node, bool ValueOnly) const {
    auto WriteName = [&]() {
        Out += '"';
        Out += Node.FName;
        Out += "\":";
    };
    switch (Node.FJSONType) {
        case kbvJSONObject:
            if (!ValueOnly)
                WriteName();
            if (Node.FJSONObject)
                Node.FJSONObject->WriteText(Out);
            else
                Out += "{}";
            break;
        case kbvJSONList:
            // Named lists keep their name even inside arrays; a member named ""
            // keeps its name too, or the object would not read back.
            if (!ValueOnly || !Node.FName.empty())
                WriteName();
            Out += '[';
            if (const TkbvJSON* Elements = Node.FJSONObject) {
                for (size_t I = 0; I < Elements->FData.size(); ++I) {
                    if (I > 0)
                        Out += ',';
                    Elements->WriteSlot(Out, Elements->FData[I], true);
                }
            }
            Out += ']';
            break;
        default:
            WriteScalar(Out, Node.FName, Node.FJSONType, Node.FValue, Node.FQuoted, !ValueOnly);
    }
}

// ---------------------------------------------------------------------------
// Strict check

namespace {

// An iterative scanner of the RFC 8259 grammar: the open objects and arrays
// are bits of a fixed-size stack, so no input can exhaust the call stack, and
// nothing is allocated unless the text fails.
class TStrictScanner {
public:
    explicit TStrictScanner(std::string_view Text) : S(Text) {}

    TkbvJSONValidation Run() {
        Expect Next = Expect::Value;
        for (;;) {
            SkipWhitespace();
            if (P >= S.size())
                return Fail(P, "unexpected end of text");
            char C = S[P];
            switch (Next) {
                case Expect::ValueOrClose:
                    if (C == ']') {
                        Close();
                        break;
                    }
                    [[fallthrough]];
                case Expect::Value:
                    if (C == '{' || C == '[') {
                        if (Depth == kbvJSONMaxDepth)
                            return Fail(P, Format("nesting deeper than %d levels", kbvJSONMaxDepth));
                        InObject[Depth++] = C == '{';
                        ++P;
                        Next = C == '{' ? Expect::NameOrClose : Expect::ValueOrClose;
                        continue;
                    }
                    if (!ScanScalar())
                        return Failure;
                    break;
                case Expect::NameOrClose:
                    if (C == '}') {
                        Close();
                        break;
                    }
                    [[fallthrough]];
                case Expect::Name:
                    if (C != '"')
                        return Unexpected();
                    if (!ScanString())
                        return Failure;
                    SkipWhitespace();
                    if (P >= S.size() || S[P] != ':')
                        return Unexpected();
                    ++P;
                    Next = Expect::Value;
                    continue;
                case Expect::CommaOrClose:
                    if (C == ',') {
                        ++P;
                        Next = InObject[Depth - 1] ? Expect::Name : Expect::Value;
                        continue;
                    }
                    if (C != (InObject[Depth - 1] ? '}' : ']'))
                        return Unexpected();
                    Close();
                    break;
            }
            // A value ended at P.
            if (Depth == 0) {
                SkipWhitespace();
                return P < S.size() ? Fail(P, "text after the value") : TkbvJSONValidation{};
            }
            Next = Expect::CommaOrClose;
        }
    }

private:
    enum class Expect { Value, ValueOrClose, Name, NameOrClose, CommaOrClose };

    void Close() {
        ++P;
        --Depth;
    }

    void SkipWhitespace() {
        while (P < S.size() && (S[P] == ' ' || S[P] == '\t' || S[P] == '\n' || S[P] == '\r'))
            ++P;
    }

    bool ScanScalar() {
        switch (S[P]) {
            case '"': return ScanString();
            case 't': return ScanLiteral("true");
            case 'f': return ScanLiteral("false");
            case 'n': return ScanLiteral("null");
            default: return ScanNumber();
        }
    }

    bool ScanLiteral(std::string_view Literal) {
        for (char Expected : Literal) {
            if (P >= S.size() || S[P] != Expected)
                return UnexpectedFalse();
            ++P;
        }
        return true;
    }

    bool SkipDigits() {
        size_t Start = P;
        while (P < S.size() && S[P] >= '0' && S[P] <= '9')
            ++P;
        return P > Start;
    }

    // -? (0 | [1-9][0-9]*) (.[0-9]+)? ([eE][+-]?[0-9]+)?
    bool ScanNumber() {
        size_t Start = P;
        if (S[P] == '-')
            ++P;
        if (P < S.size() && S[P] == '0')
            ++P;
        else if (!SkipDigits())
            return P == Start ? UnexpectedFalse() : FailFalse(Start, "bad number");
        if (P < S.size() && S[P] == '.') {
            ++P;
            if (!SkipDigits())
                return FailFalse(Start, "bad number");
        }
        if (P < S.size() && (S[P] == 'e' || S[P] == 'E')) {
            ++P;
            if (P < S.size() && (S[P] == '+' || S[P] == '-'))
                ++P;
            if (!SkipDigits())
                return FailFalse(Start, "bad number");
        }
        return true;
    }

    bool ScanString() {
        size_t Start = P++;
        while (P < S.size()) {
            auto C = static_cast<unsigned char>(S[P]);
            if (C == '"') {
                ++P;
                return true;
            }
            if (C == '\\') {
                if (P + 1 >= S.size())
                    break;
                if (!ScanEscape())
                    return false;
            } else if (C < 0x20) {
                return FailFalse(P, "control character in string");
            } else if (C < 0x80) {
                ++P;
            } else if (!ScanUTF8()) {
                return FailFalse(P, "invalid UTF-8");
            }
        }
        return FailFalse(Start, "unterminated string");
    }

    // A backslash at P with at least one character after it.
    bool ScanEscape() {
        switch (S[P + 1]) {
            case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
                P += 2;
                return true;
            case 'u':
                return ScanUnicodeEscape();
            default:
                return FailFalse(P, "bad escape");
        }
    }

    // \uXXXX; a surrogate must come as a high one followed by \u and a low one.
    bool ScanUnicodeEscape() {
        int Unit = ParseHex4(S, P + 2);
        if (Unit < 0 || IsLowSurrogate(Unit))
            return FailFalse(P, "bad \\u escape");
        if (IsHighSurrogate(Unit)) {
            if (S.substr(P + 6, 2) != "\\u" || !IsLowSurrogate(ParseHex4(S, P + 8)))
                return FailFalse(P, "bad \\u escape");
            P += 6;
        }
        P += 6;
        return true;
    }

    // One well-formed UTF-8 character at P: the decoder steps over an
    // ill-formed sequence one byte at a time, giving U+FFFD.
    bool ScanUTF8() {
        const size_t Start = P;
        if (DecodeUTF8(S, P) != ReplacementCharacter || P - Start > 1)
            return true;
        P = Start;
        return false;
    }

    TkbvJSONValidation Unexpected() {
        if (P >= S.size())
            return Fail(P, "unexpected end of text");
        auto C = static_cast<unsigned char>(S[P]);
        return Fail(P, C >= 0x20 && C < 0x7F ? Format("unexpected character '%c'", C)
                                              : Format("unexpected byte 0x%02X", C));
    }

    TkbvJSONValidation Fail(size_t Offset, std::string Reason) {
        Failure = {false, Offset, std::move(Reason)};
        return Failure;
    }

    bool FailFalse(size_t Offset, std::string Reason) {
        Fail(Offset, std::move(Reason));
        return false;
    }

    bool UnexpectedFalse() {
        Unexpected();
        return false;
    }

    std::string_view S;
    size_t P = 0;
    int Depth = 0;
    std::bitset<kbvJSONMaxDepth> InObject;  // per open level: an object, else an array
    TkbvJSONValidation Failure;
};

}  // namespace

TkbvJSONValidation TkbvJSON::Validate(std::string_view JSONText) { return TStrictScanner(JSONText).Run(); }
