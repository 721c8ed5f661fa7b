// Files: uploads a training file, then transcribes an audio file.
//   OPENAI_API_KEY=sk-... ./upload_and_transcribe training.jsonl speech.wav
#include <cstdlib>
#include <exception>
#include <iostream>

#include <kbvOpenAI/openai/kbvHTTP_API_OpenAI.h>

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::cerr << "usage: upload_and_transcribe TRAINING.jsonl AUDIO-FILE\n";
        return 2;
    }
    TkbvHTTP_API_OpenAI Client;  // api.openai.com, or OPENAI_BASE_URL when set
    if (const char* Key = std::getenv("OPENAI_API_KEY"))
        Client.OpenAIOptions().SetApiKey(Key);
    if (const char* CAFile = std::getenv("OPENAI_CA_FILE"))
        Client.TLSOptions().SetRootCertFile(CAFile);
    Client.SetMaxRetries(2);  // again after a dropped connection, 429 or 5xx

    try {
        TkbvOpenAIClass_Request_UploadFile Upload;
        Upload.SetFilename(argv[1]);  // a local file, sent as a multipart form
        Upload.SetPurpose("fine-tune");
        auto File = Client.UploadFile(Upload);
        std::cout << "uploaded " << File->Filename() << " (" << File->Bytes() << " bytes) as "
                  << File->Id() << '\n';

        TkbvOpenAIClass_Request_Transcription Transcription;
        Transcription.SetModel("whisper-1");
        Transcription.SetFilename(argv[2]);
        auto Text = Client.CreateTranscriptionFromFile(Transcription);
        std::cout << Text->Text() << '\n';
    } catch (const std::exception& E) {  // also a file that cannot be read
        std::cerr << "upload_and_transcribe: " << E.what() << '\n';
        return 1;
    }
}
