// A streamed chat reply, printed piece by piece as it arrives, over the
// plain-argument layer.
//   OPENAI_API_KEY=sk-... ./stream_chat "Tell me a short story"
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include <kbvOpenAI/openai/kbvHTTP_API_OpenAI.h>

int main(int argc, char* argv[]) {
    TkbvHTTP_API_OpenAI Client;  // api.openai.com, or OPENAI_BASE_URL when set
    if (const char* Key = std::getenv("OPENAI_API_KEY"))
        Client.OpenAIOptions().SetApiKey(Key);
    if (const char* CAFile = std::getenv("OPENAI_CA_FILE"))
        Client.TLSOptions().SetRootCertFile(CAFile);

    try {
        std::string Whole = Client._CreateChatCompletionStream(
            "gpt-3.5-turbo", argc > 1 ? argv[1] : "Tell me a short story", "user",
            [](const std::string& Piece, bool& Cancel) {
                std::cout << Piece << std::flush;
                Cancel = false;  // true ends the stream here
            });
        std::cout << "\n(" << Whole.size() << " bytes)\n";
    } catch (const std::exception& E) {  // also a stream that breaks off
        std::cerr << "\nstream_chat: " << E.what() << '\n';
        return 1;
    }
}
