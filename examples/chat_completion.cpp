// A chat completion over the typed layer: a request object in, a response
// object out.
//   OPENAI_API_KEY=sk-... ./chat_completion "What is a haiku?"
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>

#include <kbvOpenAI/openai/kbvHTTP_API_OpenAI.h>

int main(int argc, char* argv[]) {
    TkbvHTTP_API_OpenAI Client;  // api.openai.com, or OPENAI_BASE_URL when set
    if (const char* Key = std::getenv("OPENAI_API_KEY"))
        Client.OpenAIOptions().SetApiKey(Key);
    if (const char* CAFile = std::getenv("OPENAI_CA_FILE"))
        Client.TLSOptions().SetRootCertFile(CAFile);  // besides the system's trust store

    TkbvOpenAIClass_Request_ChatCompletion Request;
    Request.SetModel("gpt-3.5-turbo");
    auto Message = std::make_unique<TkbvOpenAIClass_Request_Completion_Message>();
    Message->SetRole("user");
    Message->SetContent(argc > 1 ? argv[1] : "Hello!");
    Request.Messages().push_back(std::move(Message));

    try {
        auto Response = Client.CreateChatCompletion(Request);
        for (auto& Choice : Response->Choices())
            std::cout << Choice->_Message().Content() << '\n';
        std::cout << "(" << Response->Usage().TotalTokens() << " tokens)\n";
    } catch (const std::exception& E) {  // HTTP errors carry the service's message
        std::cerr << "chat_completion: " << E.what() << '\n';
        return 1;
    }
}
