#include "openai/kbvHTTP_API_OpenAI_Responses.h"

// Models.

void TkbvOpenAIClass_Response_Model_Permission::DoRead() {
    FAllow_Create_Engine = DoReadBoolean("allow_create_engine");
    FAllow_Fine_Tuning = DoReadBoolean("allow_fine_tuning");
    FAllow_Search_Indices = DoReadBoolean("allow_search_indices");
    FAllow_View = DoReadBoolean("allow_view");
    FCreated = DoReadInteger("created");
    FId = DoReadString("id");
    FIs_Blocking = DoReadBoolean("is_blocking");
    FObject = DoReadString("object");
    FOrganization = DoReadString("organization");
}

void TkbvOpenAIClass_Response_Model_Data::DoRead() {
    FCreated = DoReadInteger("created");
    FId = DoReadString("id");
    FObject = DoReadString("object");
    FOwned_By = DoReadString("owned_by");
    DoReadArray("permission", FPermission);
    FRoot = DoReadString("root");
}

void TkbvOpenAIClass_Response_Models::DoRead() {
    DoReadArray("data", FData);
    FObject = DoReadString("object");
}

// Completions, chat completions, edits.

void TkbvOpenAIClass_Response_Completion_Choices::DoRead() {
    FFinish_reason = DoReadString("finish_reason");
    FIndex = DoReadInteger("index");
    FText = DoReadString("text");
}

void TkbvOpenAIClass_Response_Completion_Usage::DoRead() {
    FCompletion_tokens = DoReadInteger("completion_tokens");
    FPrompt_tokens = DoReadInteger("prompt_tokens");
    FTotal_tokens = DoReadInteger("total_tokens");
}

void TkbvOpenAIClass_Response_Completion::DoRead() {
    DoReadArray("choices", FChoices);
    FCreated = DoReadInteger("created");
    FId = DoReadString("id");
    FModel = DoReadString("model");
    FObject = DoReadString("object");
    DoReadObject("usage", FUsage);
}

void TkbvOpenAIClass_Response_ChatCompletion_Choices_Message::DoRead() {
    FRole = DoReadString("role");
    FContent = DoReadString("content");
}

void TkbvOpenAIClass_Response_ChatCompletion_Choices::DoRead() {
    FIndex = DoReadInteger("index");
    FFinish_reason = DoReadString("finish_reason");
    DoReadObject("message", FMessage);
}

void TkbvOpenAIClass_Response_ChatCompletion::DoRead() {
    DoReadArray("choices", FChoices);
    FCreated = DoReadInteger("created");
    FId = DoReadString("id");
    FObject = DoReadString("object");
    DoReadObject("usage", FUsage);
}

void TkbvOpenAIClass_Response_Edit_Choices::DoRead() {
    FIndex = DoReadInteger("index");
    FText = DoReadString("text");
}

void TkbvOpenAIClass_Response_Edit::DoRead() {
    DoReadArray("choices", FChoices);
    FCreated = DoReadInteger("created");
    FObject = DoReadString("object");
    DoReadObject("usage", FUsage);
}

// Images.

void TkbvOpenAIClass_Response_Image_Data::DoRead() {
    FUrl = DoReadString("url");
    FB64_json = DoReadString("b64_json");
}

void TkbvOpenAIClass_Response_Image::DoRead() {
    DoReadArray("data", FData);
    FCreated = DoReadInteger("created");
}

// Embeddings.

void TkbvOpenAIClass_Response_Embeddings_Data::DoRead() {
    FEmbedding = DoReadDoubleArray("embedding");
    FIndex = DoReadInteger("index");
    FObject = DoReadString("object");
}

void TkbvOpenAIClass_Response_Embeddings_Usage::DoRead() {
    FPrompt_tokens = DoReadInteger("prompt_tokens");
    FTotal_tokens = DoReadInteger("total_tokens");
}

void TkbvOpenAIClass_Response_Embeddings::DoRead() {
    DoReadArray("data", FData);
    FModel = DoReadString("model");
    FObject = DoReadString("object");
    DoReadObject("usage", FUsage);
}

// Files.

void TkbvOpenAIClass_Response_File::DoRead() {
    FBytes = DoReadInteger("bytes");
    FCreated_at = DoReadInteger("created_at");
    FFilename = DoReadString("filename");
    FId = DoReadString("id");
    FObject = DoReadString("object");
    FPurpose = DoReadString("purpose");
}

void TkbvOpenAIClass_Response_Files::DoRead() {
    DoReadArray("data", FData);
    FObject = DoReadString("object");
}

void TkbvOpenAIClass_Response_Delete::DoRead() {
    FId = DoReadString("id");
    FObject = DoReadString("object");
    FDeleted = DoReadBoolean("deleted");
}

// Fine-tunes.

void TkbvOpenAIClass_Response_FineTune_Event::DoRead() {
    FCreated_at = DoReadInteger("created_at");
    FLevel = DoReadString("level");
    FMessage = DoReadString("message");
    FObject = DoReadString("object");
}

void TkbvOpenAIClass_Response_FineTune_HyperParams::DoRead() {
    FBatch_size = DoReadInteger("batch_size");
    FLearning_rate_multiplier = DoReadDouble("learning_rate_multiplier");
    FN_epochs = DoReadInteger("n_epochs");
    FPrompt_loss_weight = DoReadDouble("prompt_loss_weight");
}

void TkbvOpenAIClass_Response_FineTune::DoRead() {
    FCreated_at = DoReadInteger("created_at");
    DoReadArray("events", FEvents);
    DoReadObject("hyperparams", FHyperparams);
    FId = DoReadString("id");
    FModel = DoReadString("model");
    FObject = DoReadString("object");
    FOrganization_id = DoReadString("organization_id");
    DoReadArray("result_files", FResult_files);
    FStatus = DoReadString("status");
    DoReadArray("training_files", FTraining_files);
    FUpdated_at = DoReadInteger("updated_at");
    DoReadArray("validation_files", FValidation_files);
}

void TkbvOpenAIClass_Response_FineTunes::DoRead() {
    DoReadArray("data", FData);
    FObject = DoReadString("object");
}

void TkbvOpenAIClass_Response_FineTune_Events::DoRead() {
    DoReadArray("data", FData);
    FObject = DoReadString("object");
}

// Moderations.

void TkbvOpenAIClass_Response_Moderation_Results_Categories::DoRead() {
    FHate = DoReadBoolean("hate");
    FHateThreatening = DoReadBoolean("hate/threatening");
    FSelfHarm = DoReadBoolean("self-harm");
    FSexual = DoReadBoolean("sexual");
    FSexualMinors = DoReadBoolean("sexual/minors");
    FViolence = DoReadBoolean("violence");
    FViolenceGraphic = DoReadBoolean("violence/graphic");
}

void TkbvOpenAIClass_Response_Moderation_Results_CategoryScores::DoRead() {
    FHate = DoReadDouble("hate");
    FHateThreatening = DoReadDouble("hate/threatening");
    FSelfHarm = DoReadDouble("self-harm");
    FSexual = DoReadDouble("sexual");
    FSexualMinors = DoReadDouble("sexual/minors");
    FViolence = DoReadDouble("violence");
    FViolenceGraphic = DoReadDouble("violence/graphic");
}

void TkbvOpenAIClass_Response_Moderation_Results::DoRead() {
    DoReadObject("categories", FCategories);
    DoReadObject("category_scores", FCategoryScores);
    FFlagged = DoReadBoolean("flagged");
}

void TkbvOpenAIClass_Response_Moderation::DoRead() {
    FId = DoReadString("id");
    FModel = DoReadString("model");
    DoReadArray("results", FResults);
}

// Audio.

void TkbvOpenAIClass_Response_Transcription::DoRead() { FText = DoReadString("text"); }

void TkbvOpenAIClass_Response_Translation::DoRead() { FText = DoReadString("text"); }
