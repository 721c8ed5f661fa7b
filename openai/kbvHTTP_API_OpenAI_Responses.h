// Response objects: typed views of the OpenAI replies, made with
// TkbvOpenAIClass::Create<T>(reply text). Missing keys leave defaults; a value
// that cannot convert raises EConvertError. Nested objects and arrays of
// objects are owned sub-objects, each filled from its own part of the reply.
// Keys "object", "index" and "message" are the properties _Object, _Index and
// _Message.
#pragma once

#include "openai/kbvHTTP_API_OpenAI_Objects.h"

// Models.

class TkbvOpenAIClass_Response_Model_Permission : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(bool, AllowCreateEngine, FAllow_Create_Engine)
    KBV_PROPERTY(bool, AllowFineTuning, FAllow_Fine_Tuning)
    KBV_PROPERTY(bool, AllowSearchIndices, FAllow_Search_Indices)
    KBV_PROPERTY(bool, AllowView, FAllow_View)
    KBV_PROPERTY(int32_t, Created, FCreated)
    KBV_PROPERTY(std::string, Id, FId)
    KBV_PROPERTY(bool, IsBlocking, FIs_Blocking)
    KBV_PROPERTY(std::string, _Object, FObject)
    KBV_PROPERTY(std::string, Organization, FOrganization)
    // Not read from the reply; they stay false.
    KBV_PROPERTY(bool, AllowLogprobs, FAllow_Logprobs)
    KBV_PROPERTY(bool, AllowSampling, FAllow_Sampling)

protected:
    void DoRead() override;

private:
    bool FAllow_Create_Engine = false;
    bool FAllow_Fine_Tuning = false;
    bool FAllow_Logprobs = false;
    bool FAllow_Sampling = false;
    bool FAllow_Search_Indices = false;
    bool FAllow_View = false;
    int32_t FCreated = 0;
    std::string FId;
    bool FIs_Blocking = false;
    std::string FObject;
    std::string FOrganization;
};

using TkbvOpenAIArray_Response_Model_Permission =
    std::vector<std::unique_ptr<TkbvOpenAIClass_Response_Model_Permission>>;

class TkbvOpenAIClass_Response_Model_Data : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(int32_t, Created, FCreated)
    KBV_PROPERTY(std::string, Id, FId)
    KBV_PROPERTY(std::string, _Object, FObject)
    KBV_PROPERTY(std::string, OwnedBy, FOwned_By)
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Response_Model_Permission, Permission, FPermission)
    KBV_PROPERTY(std::string, Root, FRoot)

protected:
    void DoRead() override;

private:
    int32_t FCreated = 0;
    std::string FId;
    std::string FObject;
    std::string FOwned_By;
    TkbvOpenAIArray_Response_Model_Permission FPermission;
    std::string FRoot;
};

using TkbvOpenAIArray_Response_Model_Data = std::vector<std::unique_ptr<TkbvOpenAIClass_Response_Model_Data>>;

// The single model of a model lookup.
class TkbvOpenAI_Response_Model_Class : public TkbvOpenAIClass_Response_Model_Data {};

class TkbvOpenAIClass_Response_Models : public TkbvOpenAIClass {
public:
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Response_Model_Data, Data, FData)
    KBV_PROPERTY(std::string, _Object, FObject)

protected:
    void DoRead() override;

private:
    TkbvOpenAIArray_Response_Model_Data FData;
    std::string FObject;
};

// Completions, chat completions, edits.

class TkbvOpenAIClass_Response_Completion_Choices : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(std::string, FinishReason, FFinish_reason)
    KBV_PROPERTY(int32_t, _Index, FIndex)
    KBV_PROPERTY(std::string, Text, FText)

protected:
    void DoRead() override;

private:
    std::string FFinish_reason;
    int32_t FIndex = 0;
    std::string FText;
};

using TkbvOpenAIArray_Response_Completion_Choices =
    std::vector<std::unique_ptr<TkbvOpenAIClass_Response_Completion_Choices>>;

// The token counts of a completion; chat and edit replies count the same way.
class TkbvOpenAIClass_Response_Completion_Usage : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(int32_t, CompletionTokens, FCompletion_tokens)
    KBV_PROPERTY(int32_t, PromptTokens, FPrompt_tokens)
    KBV_PROPERTY(int32_t, TotalTokens, FTotal_tokens)

protected:
    void DoRead() override;

private:
    int32_t FCompletion_tokens = 0;
    int32_t FPrompt_tokens = 0;
    int32_t FTotal_tokens = 0;
};

class TkbvOpenAIClass_Response_Completion : public TkbvOpenAIClass {
public:
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Response_Completion_Choices, Choices, FChoices)
    KBV_PROPERTY(int32_t, Created, FCreated)
    KBV_PROPERTY(std::string, Id, FId)
    KBV_PROPERTY(std::string, Model, FModel)
    KBV_PROPERTY(std::string, _Object, FObject)
    // Read-only.
    TkbvOpenAIClass_Response_Completion_Usage& Usage() { return CreateOnFirstUse(FUsage); }

protected:
    void DoRead() override;

private:
    TkbvOpenAIArray_Response_Completion_Choices FChoices;
    int32_t FCreated = 0;
    std::string FId;
    std::string FModel;
    std::string FObject;
    std::unique_ptr<TkbvOpenAIClass_Response_Completion_Usage> FUsage;
};

class TkbvOpenAIClass_Response_ChatCompletion_Choices_Message : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(std::string, Role, FRole)
    KBV_PROPERTY(std::string, Content, FContent)

protected:
    void DoRead() override;

private:
    std::string FContent;
    std::string FRole;
};

class TkbvOpenAIClass_Response_ChatCompletion_Choices : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(int32_t, _Index, FIndex)
    KBV_PROPERTY(std::string, FinishReason, FFinish_reason)
    // Empty when the reply has no "message", never absent.
    KBV_OBJECT_PROPERTY(TkbvOpenAIClass_Response_ChatCompletion_Choices_Message, _Message, FMessage)

protected:
    void DoRead() override;

private:
    std::string FFinish_reason;
    int32_t FIndex = 0;
    std::unique_ptr<TkbvOpenAIClass_Response_ChatCompletion_Choices_Message> FMessage;
};

using TkbvOpenAIArray_Response_ChatCompletion_Choices =
    std::vector<std::unique_ptr<TkbvOpenAIClass_Response_ChatCompletion_Choices>>;

class TkbvOpenAIClass_Response_ChatCompletion_Usage : public TkbvOpenAIClass_Response_Completion_Usage {};

class TkbvOpenAIClass_Response_ChatCompletion : public TkbvOpenAIClass {
public:
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Response_ChatCompletion_Choices, Choices, FChoices)
    KBV_PROPERTY(int32_t, Created, FCreated)
    KBV_PROPERTY(std::string, Id, FId)
    KBV_PROPERTY(std::string, _Object, FObject)
    KBV_OBJECT_PROPERTY(TkbvOpenAIClass_Response_ChatCompletion_Usage, Usage, FUsage)

protected:
    void DoRead() override;

private:
    TkbvOpenAIArray_Response_ChatCompletion_Choices FChoices;
    int32_t FCreated = 0;
    std::string FId;
    std::string FObject;
    std::unique_ptr<TkbvOpenAIClass_Response_ChatCompletion_Usage> FUsage;
};

class TkbvOpenAIClass_Response_Edit_Choices : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(int32_t, _Index, FIndex)
    KBV_PROPERTY(std::string, Text, FText)

protected:
    void DoRead() override;

private:
    int32_t FIndex = 0;
    std::string FText;
};

using TkbvOpenAIArray_Response_Edit_Choices = std::vector<std::unique_ptr<TkbvOpenAIClass_Response_Edit_Choices>>;

class TkbvOpenAIClass_Response_Edit_Usage : public TkbvOpenAIClass_Response_Completion_Usage {};

class TkbvOpenAIClass_Response_Edit : public TkbvOpenAIClass {
public:
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Response_Edit_Choices, Choices, FChoices)
    KBV_PROPERTY(int32_t, Created, FCreated)
    KBV_PROPERTY(std::string, _Object, FObject)
    KBV_OBJECT_PROPERTY(TkbvOpenAIClass_Response_Edit_Usage, Usage, FUsage)

protected:
    void DoRead() override;

private:
    TkbvOpenAIArray_Response_Edit_Choices FChoices;
    int32_t FCreated = 0;
    std::string FObject;
    std::unique_ptr<TkbvOpenAIClass_Response_Edit_Usage> FUsage;
};

// Images.

class TkbvOpenAIClass_Response_Image_Data : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(std::string, Url, FUrl)
    // The Base64 text as received.
    KBV_PROPERTY(std::string, B64_json, FB64_json)

protected:
    void DoRead() override;

private:
    std::string FB64_json;
    std::string FUrl;
};

using TkbvOpenAIArray_Response_Image_Data = std::vector<std::unique_ptr<TkbvOpenAIClass_Response_Image_Data>>;

class TkbvOpenAIClass_Response_Image : public TkbvOpenAIClass {
public:
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Response_Image_Data, Data, FData)
    KBV_PROPERTY(int64_t, Created, FCreated)

protected:
    void DoRead() override;

private:
    int64_t FCreated = 0;
    TkbvOpenAIArray_Response_Image_Data FData;
};

class TkbvOpenAIClass_Response_Image_Edit : public TkbvOpenAIClass_Response_Image {};
class TkbvOpenAIClass_Response_Image_Variation : public TkbvOpenAIClass_Response_Image {};

// Embeddings.

class TkbvOpenAIClass_Response_Embeddings_Data : public TkbvOpenAIClass {
public:
    KBV_ARRAY_PROPERTY(TkbvArrayOfDouble, Embedding, FEmbedding)
    KBV_PROPERTY(int32_t, _Index, FIndex)
    KBV_PROPERTY(std::string, _Object, FObject)

protected:
    void DoRead() override;

private:
    TkbvArrayOfDouble FEmbedding;
    int32_t FIndex = 0;
    std::string FObject;
};

using TkbvOpenAIArray_Response_Embeddings_Data =
    std::vector<std::unique_ptr<TkbvOpenAIClass_Response_Embeddings_Data>>;

class TkbvOpenAIClass_Response_Embeddings_Usage : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(int32_t, PromptTokens, FPrompt_tokens)
    KBV_PROPERTY(int32_t, TotalTokens, FTotal_tokens)

protected:
    void DoRead() override;

private:
    int32_t FPrompt_tokens = 0;
    int32_t FTotal_tokens = 0;
};

class TkbvOpenAIClass_Response_Embeddings : public TkbvOpenAIClass {
public:
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Response_Embeddings_Data, Data, FData)
    KBV_PROPERTY(std::string, Model, FModel)
    KBV_PROPERTY(std::string, _Object, FObject)
    KBV_OBJECT_PROPERTY(TkbvOpenAIClass_Response_Embeddings_Usage, Usage, FUsage)

protected:
    void DoRead() override;

private:
    TkbvOpenAIArray_Response_Embeddings_Data FData;
    std::string FModel;
    std::string FObject;
    std::unique_ptr<TkbvOpenAIClass_Response_Embeddings_Usage> FUsage;
};

// Files.

class TkbvOpenAIClass_Response_File : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(int32_t, Bytes, FBytes)
    KBV_PROPERTY(int32_t, CreatedAt, FCreated_at)
    KBV_PROPERTY(std::string, Filename, FFilename)
    KBV_PROPERTY(std::string, Id, FId)
    KBV_PROPERTY(std::string, _Object, FObject)
    KBV_PROPERTY(std::string, Purpose, FPurpose)

protected:
    void DoRead() override;

private:
    int32_t FBytes = 0;
    int32_t FCreated_at = 0;
    std::string FFilename;
    std::string FId;
    std::string FObject;
    std::string FPurpose;
};

using TkbvOpenAIArray_Response_File = std::vector<std::unique_ptr<TkbvOpenAIClass_Response_File>>;

class TkbvOpenAIClass_Response_Files : public TkbvOpenAIClass {
public:
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Response_File, Data, FData)
    KBV_PROPERTY(std::string, _Object, FObject)

protected:
    void DoRead() override;

private:
    TkbvOpenAIArray_Response_File FData;
    std::string FObject;
};

// The reply to deleting a file or a fine-tuned model.
class TkbvOpenAIClass_Response_Delete : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(std::string, Id, FId)
    KBV_PROPERTY(std::string, _Object, FObject)
    KBV_PROPERTY(bool, Deleted, FDeleted)

protected:
    void DoRead() override;

private:
    std::string FObject;
    bool FDeleted = false;
    std::string FId;
};

// Fine-tunes.

class TkbvOpenAIClass_Response_FineTune_Event : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(int32_t, CreatedAt, FCreated_at)
    KBV_PROPERTY(std::string, Level, FLevel)
    KBV_PROPERTY(std::string, _Message, FMessage)
    KBV_PROPERTY(std::string, _Object, FObject)

protected:
    void DoRead() override;

private:
    int32_t FCreated_at = 0;
    std::string FLevel;
    std::string FMessage;
    std::string FObject;
};

using TkbvOpenAIArray_Response_FineTune_Event =
    std::vector<std::unique_ptr<TkbvOpenAIClass_Response_FineTune_Event>>;

class TkbvOpenAIClass_Response_FineTune_HyperParams : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(int32_t, BatchSize, FBatch_size)
    KBV_PROPERTY(double, LearningRateMultiplier, FLearning_rate_multiplier)
    KBV_PROPERTY(int32_t, NEpochs, FN_epochs)
    KBV_PROPERTY(double, PromptLossWeight, FPrompt_loss_weight)

protected:
    void DoRead() override;

private:
    int32_t FBatch_size = 0;
    double FLearning_rate_multiplier = 0;
    int32_t FN_epochs = 0;
    double FPrompt_loss_weight = 0;
};

class TkbvOpenAIClass_Response_FineTune : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(int64_t, CreatedAt, FCreated_at)
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Response_FineTune_Event, Events, FEvents)
    KBV_OBJECT_PROPERTY(TkbvOpenAIClass_Response_FineTune_HyperParams, Hyperparams, FHyperparams)
    KBV_PROPERTY(std::string, Id, FId)
    KBV_PROPERTY(std::string, Model, FModel)
    KBV_PROPERTY(std::string, _Object, FObject)
    KBV_PROPERTY(std::string, OrganizationId, FOrganization_id)
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Response_File, ResultFiles, FResult_files)
    KBV_PROPERTY(std::string, Status, FStatus)
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Response_File, TrainingFiles, FTraining_files)
    KBV_PROPERTY(int32_t, UpdatedAt, FUpdated_at)
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Response_File, ValidationFiles, FValidation_files)

protected:
    void DoRead() override;

private:
    int64_t FCreated_at = 0;
    TkbvOpenAIArray_Response_FineTune_Event FEvents;
    std::unique_ptr<TkbvOpenAIClass_Response_FineTune_HyperParams> FHyperparams;
    std::string FId;
    std::string FModel;
    std::string FObject;
    std::string FOrganization_id;
    TkbvOpenAIArray_Response_File FResult_files;
    std::string FStatus;
    TkbvOpenAIArray_Response_File FTraining_files;
    int32_t FUpdated_at = 0;
    TkbvOpenAIArray_Response_File FValidation_files;
};

using TkbvOpenAIArray_Response_FineTune = std::vector<std::unique_ptr<TkbvOpenAIClass_Response_FineTune>>;

class TkbvOpenAIClass_Response_FineTunes : public TkbvOpenAIClass {
public:
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Response_FineTune, Data, FData)
    KBV_PROPERTY(std::string, _Object, FObject)

protected:
    void DoRead() override;

private:
    TkbvOpenAIArray_Response_FineTune FData;
    std::string FObject;
};

class TkbvOpenAIClass_Response_FineTune_Events : public TkbvOpenAIClass {
public:
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Response_FineTune_Event, Data, FData)
    KBV_PROPERTY(std::string, _Object, FObject)

protected:
    void DoRead() override;

private:
    TkbvOpenAIArray_Response_FineTune_Event FData;
    std::string FObject;
};

// Moderations. The category keys contain "/" and "-" and are whole names.

class TkbvOpenAIClass_Response_Moderation_Results_Categories : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(bool, Hate, FHate)
    KBV_PROPERTY(bool, HateThreatening, FHateThreatening)
    KBV_PROPERTY(bool, SelfHarm, FSelfHarm)
    KBV_PROPERTY(bool, Sexual, FSexual)
    KBV_PROPERTY(bool, SexualMinors, FSexualMinors)
    KBV_PROPERTY(bool, Violence, FViolence)
    KBV_PROPERTY(bool, ViolenceGraphic, FViolenceGraphic)

protected:
    void DoRead() override;

private:
    bool FHate = false;
    bool FHateThreatening = false;
    bool FSelfHarm = false;
    bool FSexual = false;
    bool FSexualMinors = false;
    bool FViolence = false;
    bool FViolenceGraphic = false;
};

class TkbvOpenAIClass_Response_Moderation_Results_CategoryScores : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(double, Hate, FHate)
    KBV_PROPERTY(double, HateThreatening, FHateThreatening)
    KBV_PROPERTY(double, SelfHarm, FSelfHarm)
    KBV_PROPERTY(double, Sexual, FSexual)
    KBV_PROPERTY(double, SexualMinors, FSexualMinors)
    KBV_PROPERTY(double, Violence, FViolence)
    KBV_PROPERTY(double, ViolenceGraphic, FViolenceGraphic)

protected:
    void DoRead() override;

private:
    double FHate = 0;
    double FHateThreatening = 0;
    double FSelfHarm = 0;
    double FSexual = 0;
    double FSexualMinors = 0;
    double FViolence = 0;
    double FViolenceGraphic = 0;
};

class TkbvOpenAIClass_Response_Moderation_Results : public TkbvOpenAIClass {
public:
    KBV_OBJECT_PROPERTY(TkbvOpenAIClass_Response_Moderation_Results_Categories, Categories, FCategories)
    KBV_OBJECT_PROPERTY(TkbvOpenAIClass_Response_Moderation_Results_CategoryScores, CategoryScores, FCategoryScores)
    KBV_PROPERTY(bool, Flagged, FFlagged)

protected:
    void DoRead() override;

private:
    std::unique_ptr<TkbvOpenAIClass_Response_Moderation_Results_Categories> FCategories;
    std::unique_ptr<TkbvOpenAIClass_Response_Moderation_Results_CategoryScores> FCategoryScores;
    bool FFlagged = false;
};

using TkbvOpenAIArray_Response_Moderation_Results =
    std::vector<std::unique_ptr<TkbvOpenAIClass_Response_Moderation_Results>>;

class TkbvOpenAIClass_Response_Moderation : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(std::string, Id, FId)
    KBV_PROPERTY(std::string, Model, FModel)
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Response_Moderation_Results, Results, FResults)

protected:
    void DoRead() override;

private:
    std::string FId;
    std::string FModel;
    TkbvOpenAIArray_Response_Moderation_Results FResults;
};

// Audio. A reply in a plain-text format is not JSON and leaves Text empty.

class TkbvOpenAIClass_Response_Transcription : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(std::string, Text, FText)

protected:
    void DoRead() override;

private:
    std::string FText;
};

class TkbvOpenAIClass_Response_Translation : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(std::string, Text, FText)

protected:
    void DoRead() override;

private:
    std::string FText;
};
