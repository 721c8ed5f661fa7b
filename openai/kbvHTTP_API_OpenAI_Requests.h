// Request objects: the bodies (or, for file uploads, the multipart
// descriptions) of the OpenAI calls. Defaults are set on construction; each
// DoWrite adds its base class's keys first, then its own in a fixed order,
// and leaves out values that are unset (empty, 0, false) unless noted.
// Every text is written as a valid JSON string, whatever it holds.
#pragma once

#include "openai/kbvHTTP_API_OpenAI_Objects.h"

// One chat message; the chat request writes its messages itself, "role"
// before "content", both always.
class TkbvOpenAIClass_Request_Completion_Message : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(std::string, Content, FContent)
    KBV_PROPERTY(std::string, Role, FRole)

protected:
    void DoWrite() override;

private:
    std::string FContent;
    std::string FRole = "user";
};

using TkbvOpenAIArray_Request_Completion_Messages =
    std::vector<std::unique_ptr<TkbvOpenAIClass_Request_Completion_Message>>;

class TkbvOpenAIClass_Request_ChatCompletion : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(double, Frequency_penalty, FFrequency_penalty)
    // The JSON object text of the bias map, e.g. {"123":-100}.
    KBV_PROPERTY(std::string, Logit_bias, FLogit_bias)
    KBV_PROPERTY(int32_t, MaxTokens, FMax_tokens)
    KBV_PROPERTY(std::string, Model, FModel)
    KBV_ARRAY_PROPERTY(TkbvOpenAIArray_Request_Completion_Messages, Messages, FMessages)
    KBV_PROPERTY(int32_t, N, FN)
    KBV_PROPERTY(double, Presence_penalty, FPresence_penalty)
    KBV_ARRAY_PROPERTY(TkbvArrayOfString, Stop, FStop)
    KBV_PROPERTY(bool, Stream, FStream)
    KBV_PROPERTY(double, Temperature, FTemperature)
    KBV_PROPERTY(double, Top_p, FTop_p)
    KBV_PROPERTY(std::string, User, FUser)

protected:
    void DoWrite() override;

private:
    double FFrequency_penalty = 0;
    std::string FLogit_bias;
    int32_t FMax_tokens = 0;
    std::string FModel;
    TkbvOpenAIArray_Request_Completion_Messages FMessages;
    int32_t FN = 1;
    double FPresence_penalty = 0;
    TkbvArrayOfString FStop;
    bool FStream = false;
    double FTemperature = 1.0;
    double FTop_p = 1.0;
    std::string FUser;
};

class TkbvOpenAIClass_Request_Completion : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(int32_t, BestOf, FBest_of)
    KBV_PROPERTY(double, Frequency_penalty, FFrequency_penalty)
    KBV_PROPERTY(std::string, Logit_bias, FLogit_bias)
    KBV_PROPERTY(int32_t, MaxTokens, FMax_tokens)
    KBV_PROPERTY(std::string, Model, FModel)
    KBV_PROPERTY(std::string, Prompt, FPrompt)
    KBV_PROPERTY(int32_t, N, FN)
    KBV_PROPERTY(double, Presence_penalty, FPresence_penalty)
    KBV_ARRAY_PROPERTY(TkbvArrayOfString, Stop, FStop)
    KBV_PROPERTY(bool, Stream, FStream)
    KBV_PROPERTY(double, Temperature, FTemperature)
    KBV_PROPERTY(double, Top_p, FTop_p)
    KBV_PROPERTY(std::string, User, FUser)

protected:
    void DoWrite() override;

private:
    int32_t FBest_of = 1;
    int32_t FMax_tokens = 0;
    std::string FModel;
    int32_t FN = 1;
    TkbvArrayOfString FStop;
    bool FStream = false;
    double FTemperature = 1.0;
    double FTop_p = 1.0;
    std::string FPrompt;
    double FPresence_penalty = 0;
    double FFrequency_penalty = 0;
    std::string FLogit_bias;
    std::string FUser;
};

class TkbvOpenAIClass_Request_Edit : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(std::string, Model, FModel)
    KBV_PROPERTY(std::string, Input, FInput)
    KBV_PROPERTY(std::string, Instruction, FInstruction)
    KBV_PROPERTY(int32_t, N, FN)
    KBV_PROPERTY(double, Temperature, FTemperature)
    KBV_PROPERTY(double, TopP, FTop_p)

protected:
    void DoWrite() override;

private:
    std::string FInput;
    std::string FInstruction;
    std::string FModel;
    int32_t FN = 1;
    double FTemperature = 1.0;
    double FTop_p = 1.0;
};

// The keys every image request writes first.
class TkbvOpenAIClass_Request_Image_Base : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(int32_t, N, FN)
    KBV_PROPERTY(std::string, ResponseFormat, FResponse_format)
    KBV_PROPERTY(std::string, Size, FSize)
    KBV_PROPERTY(std::string, User, FUser)

protected:
    void DoWrite() override;

private:
    int32_t FN = 1;
    std::string FResponse_format = "url";
    std::string FSize;
    std::string FUser;
};

class TkbvOpenAIClass_Request_Image : public TkbvOpenAIClass_Request_Image_Base {
public:
    KBV_PROPERTY(std::string, Prompt, FPrompt)

protected:
    void DoWrite() override;

private:
    std::string FPrompt;
};

// Sent as a multipart form; Image and Mask are paths of local files.
class TkbvOpenAIClass_Request_Image_Edit : public TkbvOpenAIClass_Request_Image {
public:
    KBV_PROPERTY(std::string, Image, FImage)
    KBV_PROPERTY(std::string, Mask, FMask)

protected:
    void DoWrite() override;

private:
    std::string FImage;
    std::string FMask;
};

// Sent as a multipart form; Image is the path of a local file.
class TkbvOpenAIClass_Request_Image_Variation : public TkbvOpenAIClass_Request_Image_Base {
public:
    KBV_PROPERTY(std::string, Image, FImage)

protected:
    void DoWrite() override;

private:
    std::string FImage;
};

// Inherits the image request's properties, but the embeddings endpoint
// rejects keys it does not know: only "model", "input" and "user" are written.
class TkbvOpenAIClass_Request_Embeddings : public TkbvOpenAIClass_Request_Image {
public:
    KBV_PROPERTY(std::string, Model, FModel)
    KBV_PROPERTY(std::string, Input, FInput)
    KBV_PROPERTY(std::string, User, FUser)

protected:
    void DoWrite() override;

private:
    std::string FInput;
    std::string FModel;
    std::string FUser;
};

// Sent as a multipart form; Filename is the path of a local audio file.
class TkbvOpenAIClass_Request_Transcription : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(std::string, Model, FModel)
    KBV_PROPERTY(std::string, Prompt, FPrompt)
    KBV_PROPERTY(std::string, Filename, FFile)
    KBV_PROPERTY(std::string, Language, FLanguage)
    KBV_PROPERTY(std::string, Temperature, FTemperature)
    KBV_PROPERTY(std::string, ResponseFormat, FResponse_format)

protected:
    void DoWrite() override;

private:
    std::string FFile;
    std::string FLanguage;
    std::string FModel;
    std::string FPrompt;
    std::string FResponse_format;
    std::string FTemperature;
};

// Sent as a multipart form; Filename is the path of a local audio file.
class TkbvOpenAIClass_Request_Translation : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(std::string, Model, FModel)
    KBV_PROPERTY(std::string, Prompt, FPrompt)
    KBV_PROPERTY(std::string, Filename, FFile)
    KBV_PROPERTY(std::string, Temperature, FTemperature)
    KBV_PROPERTY(std::string, ResponseFormat, FResponse_format)

protected:
    void DoWrite() override;

private:
    std::string FFile;
    std::string FModel;
    std::string FPrompt;
    std::string FResponse_format;
    std::string FTemperature;
};

class TkbvOpenAIClass_Request_FineTune : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(int32_t, BatchSize, FBatch_size)
    KBV_ARRAY_PROPERTY(TkbvArrayOfDouble, ClassificationBetas, FClassification_betas)
    KBV_PROPERTY(std::string, ClassificationPositiveClass, FClassification_positive_class)
    KBV_PROPERTY(int32_t, ClassificationNClasses, FClassification_n_classes)
    KBV_PROPERTY(bool, ComputeClassificationMetrics, FCompute_classification_metrics)
    KBV_PROPERTY(double, LearningRateMultiplier, FLearning_rate_multiplier)
    KBV_PROPERTY(std::string, Model, FModel)
    KBV_PROPERTY(int32_t, NEpochs, FN_epochs)
    KBV_PROPERTY(double, PromptLossWeight, FPrompt_loss_weight)
    KBV_PROPERTY(std::string, Suffix, FSuffix)
    KBV_PROPERTY(std::string, TrainingFile, FTraining_file)
    KBV_PROPERTY(std::string, ValidationFile, FValidation_file)

protected:
    void DoWrite() override;

private:
    int32_t FBatch_size = 0;
    TkbvArrayOfDouble FClassification_betas;
    std::string FClassification_positive_class;
    int32_t FClassification_n_classes = 0;
    bool FCompute_classification_metrics = false;
    double FLearning_rate_multiplier = 0;
    std::string FModel;
    int32_t FN_epochs = 4;
    double FPrompt_loss_weight = 0.01;
    std::string FSuffix;
    std::string FTraining_file;
    std::string FValidation_file;
};

// Sent as a multipart form; Filename is the path of a local file.
class TkbvOpenAIClass_Request_UploadFile : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(std::string, Filename, FFile)
    KBV_PROPERTY(std::string, Purpose, FPurpose)

protected:
    void DoWrite() override;

private:
    std::string FFile;
    std::string FPurpose;
};

class TkbvOpenAIClass_Request_Moderation : public TkbvOpenAIClass {
public:
    KBV_PROPERTY(std::string, Model, FModel)
    KBV_PROPERTY(std::string, Input, FInput)

protected:
    void DoWrite() override;

private:
    std::string FInput;
    std::string FModel;
};
