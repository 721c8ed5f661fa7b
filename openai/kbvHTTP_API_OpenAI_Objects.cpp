#include "openai/kbvHTTP_API_OpenAI_Objects.h"

#include <cctype>
#include <charconv>
#include <string_view>

#include "core/Exceptions.h"
#include "core/Format.h"

// Conversions of a value's text. Each raises EConvertError with the key, the
// type and the text, cut short so that a long reply does not flood the message.
[[noreturn]] static void RaiseConvertError(const std::string& Key, const char* TypeName, std::string_view Text) {
    constexpr size_t MaxShown = 60;
    std::string Shown(Text);
    if (Text.size() > MaxShown) {
        size_t Cut = MaxShown;
        while (Cut > 0 && (static_cast<unsigned char>(Text[Cut]) & 0xC0) == 0x80)
            --Cut;  // not inside a UTF-8 character
        Shown = std::string(Text.substr(0, Cut)) + "...";
    }
    throw EConvertError(Format("Cannot read \"%s\" as %s: %s", Key, TypeName, Shown));
}

// from_chars takes no "+", which JSON numbers may carry.
static std::string_view WithoutPlus(std::string_view Text) {
    if (Text.size() > 1 && Text[0] == '+' && Text[1] != '-')
        Text.remove_prefix(1);
    return Text;
}

template <class T>
static bool ParseWhole(std::string_view Text, T& Value) {
    auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    return Error == std::errc() && End == Text.data() + Text.size();
}

static bool TextToInteger(std::string_view Text, int32_t& Value) {
    if (Text == "true" || Text == "false") {
        Value = Text == "true";
        return true;
    }
    return ParseWhole(WithoutPlus(Text), Value);
}

// Decimal notation only: from_chars would also take "inf" and "nan".
static bool TextToDouble(std::string_view Text, double& Value) {
    if (Text == "true" || Text == "false") {
        Value = Text == "true";
        return true;
    }
    Text = WithoutPlus(Text);
    std::string_view Digits = Text.substr(!Text.empty() && Text[0] == '-' ? 1 : 0);
    if (Digits.empty() || !(std::isdigit(static_cast<unsigned char>(Digits[0])) || Digits[0] == '.'))
        return false;
    return ParseWhole(Text, Value);
}

static bool SameTextIgnoringCase(std::string_view Text, std::string_view Lower) {
    if (Text.size() != Lower.size())
        return false;
    for (size_t i = 0; i < Text.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(Text[i])) != Lower[i])
            return false;
    return true;
}

static bool TextToBoolean(std::string_view Text, bool& Value) {
    double Number = 0;
    if (SameTextIgnoringCase(Text, "true"))
        Value = true;
    else if (SameTextIgnoringCase(Text, "false"))
        Value = false;
    else if (TextToDouble(Text, Number))
        Value = Number != 0;
    else
        return false;
    return true;
}

TkbvOpenAIClass::~TkbvOpenAIClass() = default;

TkbvJSON& TkbvOpenAIClass::GetJSON() {
    if (!FJSON)
        FJSON = std::make_unique<TkbvJSON>();
    return *FJSON;
}

void TkbvOpenAIClass::Read(const std::string& aJSON) {
    GetJSON().Read(aJSON);
    DoRead();
}

std::string TkbvOpenAIClass::AsString() {
    DoWrite();
    return GetJSON().Text();
}

// Reading.

std::string TkbvOpenAIClass::DoReadString(const std::string& Key) {
    auto Node = GetJSON().GetNode(Key);
    if (!Node)
        return {};
    // The document keeps the reply's escapes; the field holds the plain text.
    return Node->JSONType() == kbvJSONString ? UnescapeString(Node->Value()) : Node->Value();
}

int32_t TkbvOpenAIClass::DoReadInteger(const std::string& Key) {
    auto Node = GetJSON().GetNode(Key);
    int32_t Value = 0;
    if (Node && !TextToInteger(Node->Value(), Value))
        RaiseConvertError(Key, "an integer", Node->Value());
    return Value;
}

double TkbvOpenAIClass::DoReadDouble(const std::string& Key) {
    auto Node = GetJSON().GetNode(Key);
    double Value = 0;
    if (Node && !TextToDouble(Node->Value(), Value))
        RaiseConvertError(Key, "a number", Node->Value());
    return Value;
}

bool TkbvOpenAIClass::DoReadBoolean(const std::string& Key) {
    auto Node = GetJSON().GetNode(Key);
    bool Value = false;
    if (Node && !TextToBoolean(Node->Value(), Value))
        RaiseConvertError(Key, "a Boolean", Node->Value());
    return Value;
}

TkbvArrayOfDouble TkbvOpenAIClass::DoReadDoubleArray(const std::string& Key) {
    TkbvArrayOfDouble Values;
    auto Node = GetJSON().GetNode(Key);
    if (!Node)
        return Values;
    Values.resize(static_cast<size_t>(Node->Count()));
    for (int i = 0; i < Node->Count(); ++i) {
        std::string Text = Node->GetItem(i)->Value();
        if (!TextToDouble(Text, Values[static_cast<size_t>(i)]))
            RaiseConvertError(Key, "a number", Text);
    }
    return Values;
}

// Writing.

IkbvObjectJSONPtr TkbvOpenAIClass::AddString(IkbvJSON& Doc, const std::string& Key, const std::string& Value) {
    auto Node = Doc.AddPair(Key, EscapeString(Value));
    // A replaced node keeps its kind (a number read into the document, say),
    // and a new one beginning with "{" or "[" would be written raw.
    Node->SetJSONType(kbvJSONString);
    Node->SetQuoted(true);
    return Node;
}

void TkbvOpenAIClass::DoWriteString(const std::string& Key, const std::string& Value) {
    if (!Value.empty())
        AddString(GetJSON(), Key, Value);
}

void TkbvOpenAIClass::DoWriteInteger(const std::string& Key, int32_t Value) {
    if (Value != 0)
        GetJSON().AddPair(Key, Value);
}

void TkbvOpenAIClass::DoWriteDouble(const std::string& Key, double Value) {
    if (Value != 0)
        GetJSON().AddPair(Key, Value);
}

void TkbvOpenAIClass::DoWriteBoolean(const std::string& Key, bool Value) {
    if (Value)
        GetJSON().AddPair(Key, Value);
}

void TkbvOpenAIClass::DoWriteJSONText(const std::string& Key, const std::string& Value) {
    if (Value.empty())
        return;
    if (Value[0] == '{' || Value[0] == '[')
        GetJSON().AddPair(Key, Value)->SetQuoted(false);  // a replaced node keeps its old Quoted
    else
        AddString(GetJSON(), Key, Value);
}

void TkbvOpenAIClass::DoWriteStrings(const std::string& Key, const TkbvArrayOfString& Values) {
    if (Values.empty())
        return;
    auto Items = DoWriteArray(Key);
    for (const auto& Value : Values)
        AddString(*Items, Value, Value);  // element names are not written; equal ones collapse
}

IkbvJSONPtr TkbvOpenAIClass::DoWriteArray(const std::string& Key) {
    auto Node = GetJSON().AddArray(Key, "");
    Node->SetJSONType(kbvJSONList);  // a replaced node keeps its kind
    auto Items = Node->JSONObject();
    Items->Clear();
    return Items;
}
