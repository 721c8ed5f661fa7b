// URLs and percent-encoding from a peer (a Location header, a link): TIdURI
// parses and rebuilds them, and the four encoders and the decoder take any
// text. The first byte chooses the byte encoding of the coders.
#include <cstdint>
#include <string>

#include "core/Exceptions.h"
#include "http/kbvIdURI.h"
#include "fuzz/FuzzSupport.h"

namespace {

IIdTextEncodingPtr EncodingOf(uint8_t AByte) {
    static const TIdTextEncodingType Types[] = {encUTF8, encASCII, encUTF16LE, encUTF16BE, encUTF7, encOSDefault};
    return AByte % 8 < std::size(Types) ? IdTextEncoding(Types[AByte % 8]) : nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 1)
        return 0;
    const IIdTextEncodingPtr Encoding = EncodingOf(AData[0]);
    const std::string Text(reinterpret_cast<const char*>(AData) + 1, ASize - 1);
    Try([&] {
        TIdURI URI(Text);
        URI.GetPathAndParams();
        URI.GetFullURI();
        URI.GetFullURI({});
        TIdURI Again(URI.URI());
        Again.URI();
    });
    Try([&] {
        std::string Path = Text;
        TIdURI::NormalizePath(Path);
    });
    Try([&] { TIdURI::URLDecode(Text, Encoding); });
    Try([&] { TIdURI::URLEncode(Text, Encoding); });
    Try([&] { TIdURI::URLDecode(TIdURI::PathEncode(Text, Encoding), Encoding); });
    Try([&] { TIdURI::URLDecode(TIdURI::ParamsEncode(Text, Encoding), Encoding); });
    return 0;
}
