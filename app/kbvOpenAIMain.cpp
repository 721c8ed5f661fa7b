#include "app/kbvOpenAIMain.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>
#include <utility>

#include "app/kbvApplication.h"
#include "app/kbvOpenAISettings.h"
#include "openai/kbvHTTP_API_OpenAI.h"

namespace {

constexpr int kClientWidth = 1053;
constexpr int kClientHeight = 839;
constexpr int kTopPanelHeight = 89;
constexpr int kLogHeight = 495;
constexpr int kApiKeyWidth = 409;
constexpr int kOrganizationWidth = 225;
constexpr int kModelFieldWidth = 166;
constexpr int kTextFieldWidth = 750;  // prompts, messages, inputs
constexpr int kIdentifierFieldWidth = 225;
constexpr int kButtonMinimumWidth = 160;

const char* const kIniSection = "OPENAI";
const char* const kWhisperModel = "whisper-1";

QLabel* NewLabel(QWidget* aParent, const char* aName, const char* aCaption) {
    auto* Label = new QLabel(QString::fromUtf8(aCaption), aParent);
    Label->setObjectName(aName);
    return Label;
}

QLineEdit* NewEdit(QWidget* aParent, const char* aName, const char* aText, int aWidth) {
    auto* Edit = new QLineEdit(QString::fromUtf8(aText), aParent);
    Edit->setObjectName(aName);
    Edit->setFixedWidth(aWidth);
    return Edit;
}

// A tab page's rows: the buttons in a column at the left, and on each row
// what belongs to its button to the right of it: a caption and a field, or
// a field alone. Controls are made one statement at a time, in the order
// the user tabs through them.
class TPageRows {
public:
    explicit TPageRows(QWidget* aPage) : FPage(aPage), FGrid(new QGridLayout(aPage)) {}
    ~TPageRows() {
        FGrid->setRowStretch(FRow + 1, 1);
        FGrid->setColumnStretch(3, 1);
    }

    TPageRows& Row() {
        ++FRow;
        FCaptioned = false;
        return *this;
    }
    QPushButton* Button(const char* aName, const char* aCaption) {
        auto* Button = new QPushButton(QString::fromUtf8(aCaption), FPage);
        Button->setObjectName(aName);
        Button->setMinimumWidth(kButtonMinimumWidth);  // an even column
        FGrid->addWidget(Button, FRow, 0);
        return Button;
    }
    void Caption(const char* aName, const char* aText) {
        FGrid->addWidget(NewLabel(FPage, aName, aText), FRow, 1);
        FCaptioned = true;
    }
    QLineEdit* Field(const char* aName, const char* aText, int aWidth) {
        QLineEdit* Edit = NewEdit(FPage, aName, aText, aWidth);
        FGrid->addWidget(Edit, FRow, FCaptioned ? 2 : 1, 1, FCaptioned ? 1 : 2, Qt::AlignLeft);
        return Edit;
    }

private:
    QWidget* FPage;
    QGridLayout* FGrid;
    int FRow = -1;
    bool FCaptioned = false;
};

std::string TextOf(const QLineEdit* aEdit) { return aEdit->text().toStdString(); }

}  // namespace

TfrmOpenAI::TfrmOpenAI(const QString& aIniFileName, QWidget* aParent)
    : QWidget(aParent), TComponent(nullptr), FIniFileName(aIniFileName) {
    setObjectName("frmOpenAI");
    setWindowTitle("kbvOpenAI API - Tandrel Software");
    QFont Font("Segoe UI");  // the platform's nearest face where it is missing
    Font.setPointSize(9);
    setFont(Font);
    QPalette Palette = palette();
    Palette.setColor(QPalette::Window, Palette.color(QPalette::Button));
    setPalette(Palette);
    setAutoFillBackground(true);

    CreateControls();
    ConnectHandlers();
    resize(kClientWidth, kClientHeight);
    CenterOnScreen();
    FormCreate();
}

TfrmOpenAI::~TfrmOpenAI() {
    FormDestroy();
    JoinWorker();  // the client, freed with the form's components next, must outlive its call
    if (FCallRunning)
        QGuiApplication::restoreOverrideCursor();
}

void TfrmOpenAI::CreateControls() {
    auto* Layout = new QVBoxLayout(this);
    Layout->setContentsMargins(0, 0, 0, 0);
    Layout->setSpacing(0);
    CreateTopPanel();
    CreatePages();
    CreateLog();
    Layout->addWidget(pnlTop);
    Layout->addWidget(PageControl1, 1);
    Layout->addWidget(memoLog);
}

void TfrmOpenAI::CreateTopPanel() {
    pnlTop = new QWidget(this);
    pnlTop->setObjectName("pnlTop");
    pnlTop->setFixedHeight(kTopPanelHeight);
    lblApiKey = NewLabel(pnlTop, "lblApiKey", "API Key:");
    txtApiKey = NewEdit(pnlTop, "txtApiKey", "", kApiKeyWidth);
    txtApiKey->setEchoMode(QLineEdit::Password);
    lblOrganization = NewLabel(pnlTop, "lblOrganization", "Organization:");
    txtOrganization = NewEdit(pnlTop, "txtOrganization", "", kOrganizationWidth);
    lblStatus = NewLabel(pnlTop, "lblStatus", "");

    auto* Grid = new QGridLayout(pnlTop);
    Grid->setContentsMargins(12, 12, 12, 12);
    Grid->setHorizontalSpacing(16);
    Grid->addWidget(lblApiKey, 0, 0);
    Grid->addWidget(txtApiKey, 1, 0);
    Grid->addWidget(lblOrganization, 0, 1);
    Grid->addWidget(txtOrganization, 1, 1);
    Grid->addWidget(lblStatus, 1, 2);
    Grid->setColumnStretch(2, 1);
    Grid->setRowStretch(2, 1);
}

void TfrmOpenAI::CreatePages() {
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    // Pages join the tab control before their controls are made, so that
    // tabbing follows the rows.
    auto NewPage = [this](const char* aName, const char* aCaption) {
        auto* Page = new QWidget;
        Page->setObjectName(aName);
        PageControl1->addTab(Page, aCaption);
        return Page;
    };
    {
        TPageRows Rows(NewPage("tabModels", "Models"));
        btnGetModels = Rows.Row().Button("btnGetModels", "GetModels");
        btnGetModel = Rows.Row().Button("btnGetModel", "Get Model");
        txtModelName = Rows.Field("txtModelName", "davinci", kModelFieldWidth);
    }
    {
        TPageRows Rows(NewPage("tabCompletion", "Completion"));
        btnCompletionCreate = Rows.Row().Button("btnCompletionCreate", "Create Completion");
        Rows.Caption("lblCompletionModel", "Model:");
        txtCompletionModel = Rows.Field("txtCompletionModel", "text-davinci-003", kModelFieldWidth);
        Rows.Row().Caption("lblCompletionPrompt", "Prompt:");
        txtCompletionPrompt = Rows.Field("txtCompletionPrompt", "Say this is a test", kTextFieldWidth);
    }
    {
        TPageRows Rows(NewPage("tabChat", "Chat"));
        btnChatCompletionCreate = Rows.Row().Button("btnChatCompletionCreate", "Create Chat Completion");
        Rows.Caption("lblChatModel", "Model:");
        txtChatModel = Rows.Field("txtChatModel", "gpt-3.5-turbo", kModelFieldWidth);
        Rows.Row().Caption("lblChatMessage", "Message:");
        txtChatMessage = Rows.Field("txtChatMessage", "Hello!", kTextFieldWidth);
    }
    {
        TPageRows Rows(NewPage("tabEdits", "Edits"));
        btnEditsCreate = Rows.Row().Button("btnEditsCreate", "Create Edit");
        Rows.Caption("lblEditsModel", "Model:");
        txtEditsModel = Rows.Field("txtEditsModel", "text-davinci-edit-001", kModelFieldWidth);
        Rows.Row().Caption("lblEditsInput", "Input:");
        txtEditsInput = Rows.Field("txtEditsInput", "What day of the wek is it?", kTextFieldWidth);
        Rows.Row().Caption("lblEditsInstruction", "Instruction:");
        txtEditsInstruction = Rows.Field("txtEditsInstruction", "Fix the spelling mistakes", kTextFieldWidth);
    }
    {
        TPageRows Rows(NewPage("tabImages", "Images"));
        btnImagesCreate = Rows.Row().Button("btnImagesCreate", "Create Image");
        txtImagesCreatePrompt = Rows.Field("txtImagesCreatePrompt", "A cute baby sea otter", kTextFieldWidth);
    }
    {
        TPageRows Rows(NewPage("tabEmbeddings", "Embeddings"));
        btnEmbeddingsCreate = Rows.Row().Button("btnEmbeddingsCreate", "Create Embeddings");
        Rows.Caption("lblEmbeddingsModel", "Model:");
        txtEmbeddingsModel = Rows.Field("txtEmbeddingsModel", "text-embedding-ada-002", kModelFieldWidth);
        Rows.Row().Caption("lblEmbeddingsInput", "Input:");
        txtEmbeddingsInput =
            Rows.Field("txtEmbeddingsInput", "The food was delicious and the waiter...", kTextFieldWidth);
    }
    {
        TPageRows Rows(NewPage("tabAudio", "Audio"));
        btnAudioCreateTranscription = Rows.Row().Button("btnAudioCreateTranscription", "Create Transcription");
        btnAudioCreateTranslation = Rows.Row().Button("btnAudioCreateTranslation", "Create Translation");
    }
    {
        TPageRows Rows(NewPage("tabFiles", "Files"));
        btnFilesList = Rows.Row().Button("btnFilesList", "List Files");
        btnFilesUpload = Rows.Row().Button("btnFilesUpload", "Upload File");
        btnFilesDelete = Rows.Row().Button("btnFilesDelete", "Delete File");
        txtFilesDeleteId = Rows.Field("txtFilesDeleteId", "", kIdentifierFieldWidth);
        btnFilesRetrieve = Rows.Row().Button("btnFilesRetrieve", "Retrieve File");
        txtFilesRetrieveId = Rows.Field("txtFilesRetrieveId", "", kIdentifierFieldWidth);
        btnFilesRetrieveFileContent = Rows.Row().Button("btnFilesRetrieveFileContent", "Retrieve File Content");
        txtFilesRetrieveFileContentId = Rows.Field("txtFilesRetrieveFileContentId", "", kIdentifierFieldWidth);
    }
    {
        TPageRows Rows(NewPage("tabFineTunes", "Fines-Tunes"));
        btnFineTunesCreate = Rows.Row().Button("btnFineTunesCreate", "Create Fine-Tune");
        txtFineTunesCreateFile = Rows.Field("txtFineTunesCreateFile", "", kIdentifierFieldWidth);
        btnFineTunesList = Rows.Row().Button("btnFineTunesList", "List File-Tunes");
        btnFineTunesRetrieve = Rows.Row().Button("btnFineTunesRetrieve", "Retrieve Fine-Tune");
        txtFineTunesRetrieveId = Rows.Field("txtFineTunesRetrieveId", "", kIdentifierFieldWidth);
        btnFineTunesCancel = Rows.Row().Button("btnFineTunesCancel", "Cancel Fine-Tune");
        txtFineTunesCancelId = Rows.Field("txtFineTunesCancelId", "", kIdentifierFieldWidth);
        btnFineTunesListEvents = Rows.Row().Button("btnFineTunesListEvents", "List Fine-Tune Events");
        txtFineTunesListEventsId = Rows.Field("txtFineTunesListEventsId", "", kIdentifierFieldWidth);
        btnFineTunesDeleteModel = Rows.Row().Button("btnFineTunesDeleteModel", "Delete Fine-Tune Model");
        txtFineTuneModel = Rows.Field("txtFineTuneModel", "", kIdentifierFieldWidth);
    }
    {
        TPageRows Rows(NewPage("tabModerations", "Moderations"));
        btnModerationsCreate = Rows.Row().Button("btnModerationsCreate", "Create Moderation");
        Rows.Caption("lblModerationsInput", "Input:");
        txtModerationsInput = Rows.Field("txtModerationsInput", "I want to kill them.", kTextFieldWidth);
    }
    PageControl1->setCurrentIndex(0);
}

void TfrmOpenAI::CreateLog() {
    memoLog = new QPlainTextEdit(this);
    memoLog->setObjectName("memoLog");
    memoLog->setFixedHeight(kLogHeight);
    memoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memoLog->setTabChangesFocus(true);  // Tab leaves the log as it leaves every other field
}

void TfrmOpenAI::ConnectHandlers() {
    const std::pair<QPushButton*, void (TfrmOpenAI::*)()> Clicks[] = {
        {btnGetModels, &TfrmOpenAI::btnGetModelsClick},
        {btnGetModel, &TfrmOpenAI::btnGetModelClick},
        {btnCompletionCreate, &TfrmOpenAI::btnCompletionCreateClick},
        {btnChatCompletionCreate, &TfrmOpenAI::btnChatCompletionCreateClick},
        {btnEditsCreate, &TfrmOpenAI::btnEditsCreateClick},
        {btnImagesCreate, &TfrmOpenAI::btnImagesCreateClick},
        {btnEmbeddingsCreate, &TfrmOpenAI::btnEmbeddingsCreateClick},
        {btnAudioCreateTranscription, &TfrmOpenAI::btnAudioCreateTranscriptionClick},
        {btnAudioCreateTranslation, &TfrmOpenAI::btnAudioCreateTranslationClick},
        {btnFilesList, &TfrmOpenAI::btnFilesListClick},
        {btnFilesUpload, &TfrmOpenAI::btnFilesUploadClick},
        {btnFilesDelete, &TfrmOpenAI::btnFilesDeleteClick},
        {btnFilesRetrieve, &TfrmOpenAI::btnFilesRetrieveClick},
        {btnFilesRetrieveFileContent, &TfrmOpenAI::btnFilesRetrieveFileContentClick},
        {btnFineTunesCreate, &TfrmOpenAI::btnFineTunesCreateClick},
        {btnFineTunesList, &TfrmOpenAI::btnFineTunesListClick},
        {btnFineTunesRetrieve, &TfrmOpenAI::btnFineTunesRetrieveClick},
        {btnFineTunesCancel, &TfrmOpenAI::btnFineTunesCancelClick},
        {btnFineTunesListEvents, &TfrmOpenAI::btnFineTunesListEventsClick},
        {btnFineTunesDeleteModel, &TfrmOpenAI::btnFineTunesDeleteModelClick},
        {btnModerationsCreate, &TfrmOpenAI::btnModerationsCreateClick},
    };
    for (const auto& [Button, Handler] : Clicks)
        connect(Button, &QPushButton::clicked, this, Handler);
    // textChanged, not textEdited: text set by the program counts as typed.
    connect(txtApiKey, &QLineEdit::textChanged, this, &TfrmOpenAI::txtApiKeyChange);
    connect(txtOrganization, &QLineEdit::textChanged, this, &TfrmOpenAI::txtOrganizationChange);
}

void TfrmOpenAI::CenterOnScreen() {
    if (const QScreen* Screen = QGuiApplication::primaryScreen())
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), Screen->availableGeometry()));
}

TkbvHTTP_API_OpenAI* TfrmOpenAI::OpenAI() {
    if (!fOpenAI) {
        fOpenAI = new TkbvHTTP_API_OpenAI(this);  // owned by the form, freed with it
        // A private CA (the tests' server) for https; the client verifies the server.
        if (const QString CAFile = qEnvironmentVariable("KBV_OPENAI_CA_FILE"); !CAFile.isEmpty())
            fOpenAI->TLSOptions().SetRootCertFile(QFile::encodeName(CAFile).toStdString());
        // The second TLS provider (GnuTLS, with certificate store folders) on request.
        if (qEnvironmentVariable("KBV_OPENAI_TLS") == "schannel")
            fOpenAI->TLSOptions().SetIOHandler(iohSChannel);
    }
    return fOpenAI;
}

void TfrmOpenAI::DoLog(const std::string& aText) {
    QString Text = QString::fromStdString(aText);
    Text.replace("\r\n", "\n").replace('\r', '\n');  // every kind of line break ends a line
    memoLog->setPlainText(Text);
}

QString TfrmOpenAI::ChooseFile() {
    QFileDialog Dialog(this);
    if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty())
        return {};
    return Dialog.selectedFiles().constFirst();
}

// --- the handlers -------------------------------------------------------------

void TfrmOpenAI::btnGetModelsClick() {
    ShowReplyOf([](TkbvHTTP_API_OpenAI& aClient) { return aClient._GetModels(); });
}

void TfrmOpenAI::btnGetModelClick() {
    ShowReplyOf([Model = TextOf(txtModelName)](TkbvHTTP_API_OpenAI& aClient) { return aClient._GetModel(Model); });
}

void TfrmOpenAI::btnCompletionCreateClick() {
    ShowReplyOf([Model = TextOf(txtCompletionModel),
                 Prompt = TextOf(txtCompletionPrompt)](TkbvHTTP_API_OpenAI& aClient) {
        return aClient._CreateCompletion(Model, Prompt);
    });
}

void TfrmOpenAI::btnChatCompletionCreateClick() {
    ShowReplyOf([Model = TextOf(txtChatModel), Message = TextOf(txtChatMessage)](TkbvHTTP_API_OpenAI& aClient) {
        return aClient._CreateChatCompletion(Model, Message, "user");
    });
}

void TfrmOpenAI::btnEditsCreateClick() {
    ShowReplyOf([Model = TextOf(txtEditsModel), Instruction = TextOf(txtEditsInstruction),
                 Input = TextOf(txtEditsInput)](TkbvHTTP_API_OpenAI& aClient) {
        return aClient._CreateEdit(Model, Instruction, Input);
    });
}

void TfrmOpenAI::btnImagesCreateClick() {
    ShowReplyOf([Prompt = TextOf(txtImagesCreatePrompt)](TkbvHTTP_API_OpenAI& aClient) {
        return aClient._CreateImage(Prompt);
    });
}

void TfrmOpenAI::btnEmbeddingsCreateClick() {
    ShowReplyOf([Model = TextOf(txtEmbeddingsModel), Input = TextOf(txtEmbeddingsInput)](TkbvHTTP_API_OpenAI& aClient) {
        return aClient._CreateEmbeddings(Model, Input);
    });
}

void TfrmOpenAI::btnAudioCreateTranscriptionClick() {
    ShowReplyForChosenFile([](TkbvHTTP_API_OpenAI& aClient, const std::string& aFile) {
        return aClient._CreateTranscriptionFromFile(kWhisperModel, aFile);
    });
}

void TfrmOpenAI::btnAudioCreateTranslationClick() {
    ShowReplyForChosenFile([](TkbvHTTP_API_OpenAI& aClient, const std::string& aFile) {
        return aClient._CreateTranslationFromFile(kWhisperModel, aFile);
    });
}

void TfrmOpenAI::btnFilesListClick() {
    ShowReplyOf([](TkbvHTTP_API_OpenAI& aClient) { return aClient._ListFiles(); });
}

void TfrmOpenAI::btnFilesUploadClick() {
    ShowReplyForChosenFile([](TkbvHTTP_API_OpenAI& aClient, const std::string& aFile) {
        return aClient._UploadFile(aFile, "fine-tune");
    });
}

void TfrmOpenAI::btnFilesDeleteClick() {
    ShowReplyOf([Id = TextOf(txtFilesDeleteId)](TkbvHTTP_API_OpenAI& aClient) { return aClient._DeleteFile(Id); });
}

void TfrmOpenAI::btnFilesRetrieveClick() {
    ShowReplyOf([Id = TextOf(txtFilesRetrieveId)](TkbvHTTP_API_OpenAI& aClient) { return aClient._RetrieveFile(Id); });
}

void TfrmOpenAI::btnFilesRetrieveFileContentClick() {
    ShowReplyOf([Id = TextOf(txtFilesRetrieveFileContentId)](TkbvHTTP_API_OpenAI& aClient) {
        return aClient._RetrieveFileContent(Id);
    });
}

void TfrmOpenAI::btnFineTunesCreateClick() {
    ShowReplyOf([File = TextOf(txtFineTunesCreateFile)](TkbvHTTP_API_OpenAI& aClient) {
        return aClient._CreateFineTune(File);
    });
}

void TfrmOpenAI::btnFineTunesListClick() {
    ShowReplyOf([](TkbvHTTP_API_OpenAI& aClient) { return aClient._ListFineTunes(); });
}

void TfrmOpenAI::btnFineTunesRetrieveClick() {
    ShowReplyOf([Id = TextOf(txtFineTunesRetrieveId)](TkbvHTTP_API_OpenAI& aClient) {
        return aClient._RetrieveFineTune(Id);
    });
}

void TfrmOpenAI::btnFineTunesCancelClick() {
    ShowReplyOf([Id = TextOf(txtFineTunesCancelId)](TkbvHTTP_API_OpenAI& aClient) {
        return aClient._CancelFineTune(Id);
    });
}

void TfrmOpenAI::btnFineTunesListEventsClick() {
    ShowReplyOf([Id = TextOf(txtFineTunesListEventsId)](TkbvHTTP_API_OpenAI& aClient) {
        return aClient._ListFineTuneEvents(Id);
    });
}

void TfrmOpenAI::btnFineTunesDeleteModelClick() {
    ShowReplyOf([Model = TextOf(txtFineTuneModel)](TkbvHTTP_API_OpenAI& aClient) {
        return aClient._DeleteFineTuneModel(Model);
    });
}

void TfrmOpenAI::btnModerationsCreateClick() {
    ShowReplyOf([Input = TextOf(txtModerationsInput)](TkbvHTTP_API_OpenAI& aClient) {
        return aClient._CreateModeration(Input);
    });
}

void TfrmOpenAI::txtApiKeyChange() {
    TkbvHTTP_API_OpenAI* Client = OpenAI();
    if (FCallRunning)
        FCredentialsChanged = true;  // the running call reads the options
    else
        Client->OpenAIOptions().SetApiKey(TextOf(txtApiKey));
}

void TfrmOpenAI::txtOrganizationChange() {
    TkbvHTTP_API_OpenAI* Client = OpenAI();
    if (FCallRunning)
        FCredentialsChanged = true;
    else
        Client->OpenAIOptions().SetOrganization(TextOf(txtOrganization));
}

void TfrmOpenAI::FormCreate() { LoadIniSettings(); }

void TfrmOpenAI::FormDestroy() { SaveIniSettings(); }

// --- settings -------------------------------------------------------------------

void TfrmOpenAI::LoadIniSettings() {
    QSettings Ini(FIniFileName, QSettings::IniFormat);
    Ini.beginGroup(kIniSection);
    txtApiKey->setText(Ini.value("API_KEY").toString());
    txtOrganization->setText(Ini.value("ORGANIZATION").toString());
}

void TfrmOpenAI::SaveIniSettings() {
    PrepareOwnerOnlyFile(FIniFileName);  // it holds the API key
    QSettings Ini(FIniFileName, QSettings::IniFormat);
    Ini.beginGroup(kIniSection);
    Ini.setValue("API_KEY", txtApiKey->text());
    Ini.setValue("ORGANIZATION", txtOrganization->text());
    Ini.endGroup();
    Ini.sync();
}

// --- one call at a time, off the GUI thread ---------------------------------------

void TfrmOpenAI::ShowReplyOf(TOpenAICall aCall) {
    if (FCallRunning)
        return;  // the client serves one call at a time
    TkbvHTTP_API_OpenAI& Client = *OpenAI();
    JoinWorker();  // the previous call's thread has handed over its result
    FCallRunning = true;
    ShowCallRunning(true);
    FWorker = std::thread([this, &Client, Call = std::move(aCall)] {
        std::string Reply;
        std::exception_ptr Failure;
        try {
            Reply = Call(Client);
        } catch (...) {
            Failure = std::current_exception();
        }
        QMetaObject::invokeMethod(
            this, [this, Reply = std::move(Reply), Failure] { FinishCall(Reply, Failure); }, Qt::QueuedConnection);
    });
}

void TfrmOpenAI::ShowReplyForChosenFile(
    const std::function<std::string(TkbvHTTP_API_OpenAI&, const std::string&)>& aCall) {
    if (FCallRunning)
        return;
    const QString FileName = ChooseFile();
    if (FileName.isEmpty())
        return;  // cancelled: nothing changes
    ShowReplyOf([aCall, File = QFile::encodeName(FileName).toStdString()](TkbvHTTP_API_OpenAI& aClient) {
        return aCall(aClient, File);
    });
}

void TfrmOpenAI::FinishCall(const std::string& aReply, std::exception_ptr aFailure) {
    FCallRunning = false;
    ShowCallRunning(false);
    if (std::exchange(FCredentialsChanged, false)) {
        OpenAI()->OpenAIOptions().SetApiKey(TextOf(txtApiKey));
        OpenAI()->OpenAIOptions().SetOrganization(TextOf(txtOrganization));
    }
    if (aFailure)
        TkbvApplication::ShowException(aFailure);  // the log keeps what it showed
    else
        DoLog(aReply);
    emit CallFinished();
}

void TfrmOpenAI::ShowCallRunning(bool aRunning) {
    if (aRunning) {
        lblStatus->setText(QStringLiteral("Waiting for the reply\u2026"));
        QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    } else {
        lblStatus->clear();
        QGuiApplication::restoreOverrideCursor();
    }
}

void TfrmOpenAI::JoinWorker() {
    if (FWorker.joinable())
        FWorker.join();
}
