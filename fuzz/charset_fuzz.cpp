// How a body's character set is found and the body decoded: the XML
// declaration and byte-order mark, the <meta http-equiv> scan of HTML, a
// charset name from a peer, and the decoding with it. The first line of the
// input is the charset name, the rest the body. Besides crashes, a finding is
// decoded text that is not UTF-8.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/Exceptions.h"
#include "core/Streams.h"
#include "http/kbvIdHTTP.h"
#include "net/kbvIdCharsets.h"
#include "fuzz/FuzzSupport.h"

namespace {

bool IsUTF8(std::string_view AText) {
    for (size_t Pos = 0; Pos < AText.size();) {
        auto Byte = [&](size_t I) { return Pos + I < AText.size() ? static_cast<unsigned char>(AText[Pos + I]) : 0; };
        unsigned char Lead = Byte(0);
        int Length = Lead < 0x80 ? 1 : Lead < 0xC2 ? 0 : Lead <= 0xDF ? 2 : Lead <= 0xEF ? 3 : Lead <= 0xF4 ? 4 : 0;
        if (Length == 0)
            return false;
        unsigned char Low = Lead == 0xE0 ? 0xA0 : Lead == 0xF0 ? 0x90 : 0x80;
        unsigned char High = Lead == 0xED ? 0x9F : Lead == 0xF4 ? 0x8F : 0xBF;
        if (Length > 1 && (Byte(1) < Low || Byte(1) > High))
            return false;
        for (int I = 2; I < Length; ++I)
            if ((Byte(I) & 0xC0) != 0x80)
                return false;
        Pos += Length;
    }
    return true;
}

void Decode(TStream& ABody, const std::string& ACharset) {
    ABody.SetPosition(0);
    const std::string Text = TIdCustomHTTP::ReadTextWithCharset(ABody, ACharset);
    if (!IsUTF8(Text)) {
        std::fprintf(stderr, "decoding with charset \"%s\" gives text that is not UTF-8\n", ACharset.c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string_view Input(reinterpret_cast<const char*>(AData), ASize);
    const size_t LineEnd = std::min(Input.find('\n'), Input.size());
    const std::string Charset(Input.substr(0, std::min<size_t>(LineEnd, 64)));
    TStringStream Body(std::string(Input.substr(std::min(LineEnd + 1, Input.size()))));

    Try([&] {
        CharsetToCodePage(Charset);
        CharsetToEncoding(Charset);
    });
    Try([&] { Decode(Body, Charset); });
    Try([&] {
        Body.SetPosition(0);
        const std::string XmlCharset = TIdCustomHTTP::XmlBodyCharset(Body);
        Decode(Body, XmlCharset);
    });
    Try([&] {
        TIdMetaHTTPEquiv Meta(nullptr);
        Meta.ProcessMetaHTTPEquiv(Body);
        Meta.ContentType();
        Decode(Body, Meta.CharSet());
    });
    return 0;
}
