#include "openai/kbvHTTP_API_OpenAI_Requests.h"

void TkbvOpenAIClass_Request_Completion_Message::DoWrite() {
    DoWriteString("content", FContent);
    DoWriteString("role", FRole);
}

void TkbvOpenAIClass_Request_ChatCompletion::DoWrite() {
    DoWriteDouble("frequency_penalty", FFrequency_penalty);
    DoWriteJSONText("logit_bias", FLogit_bias);
    DoWriteInteger("max_tokens", FMax_tokens);
    AddString(GetJSON(), "model", FModel);  // the endpoint requires it, even empty
    if (!FMessages.empty()) {
        auto Items = DoWriteArray("messages");
        for (size_t i = 0; i < FMessages.size(); ++i) {
            // Element names are not written; the index keeps them apart.
            auto Message = Items->AddObject(std::to_string(i), "")->JSONObject();
            AddString(*Message, "role", FMessages[i]->Role());
            AddString(*Message, "content", FMessages[i]->Content());
        }
    }
    DoWriteInteger("n", FN);
    DoWriteDouble("presence_penalty", FPresence_penalty);
    DoWriteStrings("stop", FStop);
    DoWriteBoolean("stream", FStream);
    DoWriteDouble("temperature", FTemperature);
    DoWriteDouble("top_p", FTop_p);
    DoWriteString("user", FUser);
}

void TkbvOpenAIClass_Request_Completion::DoWrite() {
    DoWriteInteger("best_of", FBest_of);
    DoWriteDouble("frequency_penalty", FFrequency_penalty);
    DoWriteJSONText("logit_bias", FLogit_bias);
    DoWriteInteger("max_tokens", FMax_tokens);
    AddString(GetJSON(), "model", FModel);  // the endpoint requires it, even empty
    DoWriteString("prompt", FPrompt);
    DoWriteInteger("n", FN);
    DoWriteDouble("presence_penalty", FPresence_penalty);
    DoWriteStrings("stop", FStop);
    DoWriteBoolean("stream", FStream);
    DoWriteDouble("temperature", FTemperature);
    DoWriteDouble("top_p", FTop_p);
    DoWriteString("user", FUser);
}

void TkbvOpenAIClass_Request_Edit::DoWrite() {
    DoWriteString("model", FModel);
    DoWriteString("input", FInput);
    DoWriteString("instruction", FInstruction);
    DoWriteInteger("n", FN);
    DoWriteDouble("temperature", FTemperature);
    DoWriteDouble("top_p", FTop_p);
}

void TkbvOpenAIClass_Request_Image_Base::DoWrite() {
    DoWriteInteger("n", FN);
    DoWriteString("response_format", FResponse_format);
    DoWriteString("size", FSize);
    DoWriteString("user", FUser);
}

void TkbvOpenAIClass_Request_Image::DoWrite() {
    TkbvOpenAIClass_Request_Image_Base::DoWrite();
    DoWriteString("prompt", FPrompt);
}

void TkbvOpenAIClass_Request_Image_Edit::DoWrite() {
    TkbvOpenAIClass_Request_Image::DoWrite();
    DoWriteString("image", FImage);
    DoWriteString("mask", FMask);
}

void TkbvOpenAIClass_Request_Image_Variation::DoWrite() {
    TkbvOpenAIClass_Request_Image_Base::DoWrite();
    DoWriteString("image", FImage);
}

// Not the image request's keys: the endpoint refuses them.
void TkbvOpenAIClass_Request_Embeddings::DoWrite() {
    DoWriteString("model", FModel);
    DoWriteString("input", FInput);
    DoWriteString("user", FUser);
}

void TkbvOpenAIClass_Request_Transcription::DoWrite() {
    DoWriteString("model", FModel);
    DoWriteString("prompt", FPrompt);
    DoWriteString("file", FFile);
    DoWriteString("language", FLanguage);
    DoWriteString("temperature", FTemperature);
    DoWriteString("response_format", FResponse_format);
}

void TkbvOpenAIClass_Request_Translation::DoWrite() {
    DoWriteString("model", FModel);
    DoWriteString("prompt", FPrompt);
    DoWriteString("file", FFile);
    DoWriteString("temperature", FTemperature);
    DoWriteString("response_format", FResponse_format);
}

void TkbvOpenAIClass_Request_FineTune::DoWrite() {
    DoWriteInteger("batch_size", FBatch_size);
    if (!FClassification_betas.empty()) {
        auto Items = DoWriteArray("classification_betas");
        for (size_t i = 0; i < FClassification_betas.size(); ++i)
            Items->AddPair(std::to_string(i), FClassification_betas[i]);
    }
    DoWriteString("classification_positive_class", FClassification_positive_class);
    DoWriteInteger("classification_n_classes", FClassification_n_classes);
    GetJSON().AddPair("compute_classification_metrics", FCompute_classification_metrics);  // always
    DoWriteDouble("learning_rate_multiplier", FLearning_rate_multiplier);
    DoWriteString("model", FModel);
    DoWriteInteger("n_epochs", FN_epochs);
    DoWriteDouble("prompt_loss_weight", FPrompt_loss_weight);
    DoWriteString("suffix", FSuffix);
    DoWriteString("training_file", FTraining_file);
    DoWriteString("validation_file", FValidation_file);
}

void TkbvOpenAIClass_Request_UploadFile::DoWrite() {
    DoWriteString("file", FFile);
    DoWriteString("purpose", FPurpose);
}

void TkbvOpenAIClass_Request_Moderation::DoWrite() {
    DoWriteString("model", FModel);
    DoWriteString("input", FInput);
}
