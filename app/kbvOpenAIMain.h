// The main window: an API key and organization at the top, a tab per API
// area with pre-filled fields and a button per operation, and a log pane
// that shows the raw reply of the last call. Key and organization live in
// an INI file between runs.
//
// A call runs on a worker thread so that the window stays responsive: a busy
// cursor and a status text show it, and further presses are ignored until
// its reply is in the log or its error in the message box. The worker only
// uses the client; widgets are touched on the GUI thread alone.
#pragma once

#include <QString>
#include <QWidget>
#include <exception>
#include <functional>
#include <string>
#include <thread>

#include "core/Component.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class TkbvHTTP_API_OpenAI;

// A form in the component sense too: it owns the OpenAI client.
class TfrmOpenAI : public QWidget, public TComponent {
    Q_OBJECT

public:
    // The settings are read from aIniFileName now and written back there
    // when the form is destroyed.
    explicit TfrmOpenAI(const QString& aIniFileName, QWidget* aParent = nullptr);
    ~TfrmOpenAI() override;

    // The client, created with the form as owner on first use.
    TkbvHTTP_API_OpenAI* OpenAI();
    // Replaces the log pane's text; earlier output is not kept.
    void DoLog(const std::string& aText);

    bool CallRunning() const { return FCallRunning; }
    const QString& IniFileName() const { return FIniFileName; }

signals:
    // A call has ended: its reply is in the log, or its error was shown.
    void CallFinished();

protected:
    // The file an open dialog made for this one choice confirmed; empty when cancelled.
    virtual QString ChooseFile();

private slots:
    void btnGetModelsClick();
    void btnGetModelClick();
    void btnCompletionCreateClick();
    void btnChatCompletionCreateClick();
    void btnEditsCreateClick();
    void btnImagesCreateClick();
    void btnEmbeddingsCreateClick();
    void btnAudioCreateTranscriptionClick();
    void btnAudioCreateTranslationClick();
    void btnFilesListClick();
    void btnFilesUploadClick();
    void btnFilesDeleteClick();
    void btnFilesRetrieveClick();
    void btnFilesRetrieveFileContentClick();
    void btnFineTunesCreateClick();
    void btnFineTunesListClick();
    void btnFineTunesRetrieveClick();
    void btnFineTunesCancelClick();
    void btnFineTunesListEventsClick();
    void btnFineTunesDeleteModelClick();
    void btnModerationsCreateClick();
    void txtApiKeyChange();
    void txtOrganizationChange();

private:
    using TOpenAICall = std::function<std::string(TkbvHTTP_API_OpenAI& aClient)>;

    void CreateControls();
    void CreateTopPanel();
    void CreatePages();
    void CreateLog();
    void ConnectHandlers();
    void CenterOnScreen();

    void FormCreate();
    void FormDestroy();
    void LoadIniSettings();
    void SaveIniSettings();

    // Runs aCall on the worker and shows its reply; ignored while a call runs.
    void ShowReplyOf(TOpenAICall aCall);
    // Asks for a file, then shows the reply of aCall for it.
    void ShowReplyForChosenFile(const std::function<std::string(TkbvHTTP_API_OpenAI&, const std::string&)>& aCall);
    void FinishCall(const std::string& aReply, std::exception_ptr aFailure);
    void ShowCallRunning(bool aRunning);
    void JoinWorker();

    QWidget* pnlTop = nullptr;
    QLabel* lblApiKey = nullptr;
    QLineEdit* txtApiKey = nullptr;
    QLabel* lblOrganization = nullptr;
    QLineEdit* txtOrganization = nullptr;
    QLabel* lblStatus = nullptr;

    QTabWidget* PageControl1 = nullptr;
    QPushButton* btnGetModels = nullptr;
    QPushButton* btnGetModel = nullptr;
    QLineEdit* txtModelName = nullptr;
    QPushButton* btnCompletionCreate = nullptr;
    QLineEdit* txtCompletionModel = nullptr;
    QLineEdit* txtCompletionPrompt = nullptr;
    QPushButton* btnChatCompletionCreate = nullptr;
    QLineEdit* txtChatModel = nullptr;
    QLineEdit* txtChatMessage = nullptr;
    QPushButton* btnEditsCreate = nullptr;
    QLineEdit* txtEditsModel = nullptr;
    QLineEdit* txtEditsInput = nullptr;
    QLineEdit* txtEditsInstruction = nullptr;
    QPushButton* btnImagesCreate = nullptr;
    QLineEdit* txtImagesCreatePrompt = nullptr;
    QPushButton* btnEmbeddingsCreate = nullptr;
    QLineEdit* txtEmbeddingsModel = nullptr;
    QLineEdit* txtEmbeddingsInput = nullptr;
    QPushButton* btnAudioCreateTranscription = nullptr;
    QPushButton* btnAudioCreateTranslation = nullptr;
    QPushButton* btnFilesList = nullptr;
    QPushButton* btnFilesUpload = nullptr;
    QPushButton* btnFilesDelete = nullptr;
    QLineEdit* txtFilesDeleteId = nullptr;
    QPushButton* btnFilesRetrieve = nullptr;
    QLineEdit* txtFilesRetrieveId = nullptr;
    QPushButton* btnFilesRetrieveFileContent = nullptr;
    QLineEdit* txtFilesRetrieveFileContentId = nullptr;
    QPushButton* btnFineTunesCreate = nullptr;
    QLineEdit* txtFineTunesCreateFile = nullptr;
    QPushButton* btnFineTunesList = nullptr;
    QPushButton* btnFineTunesRetrieve = nullptr;
    QLineEdit* txtFineTunesRetrieveId = nullptr;
    QPushButton* btnFineTunesCancel = nullptr;
    QLineEdit* txtFineTunesCancelId = nullptr;
    QPushButton* btnFineTunesListEvents = nullptr;
    QLineEdit* txtFineTunesListEventsId = nullptr;
    QPushButton* btnFineTunesDeleteModel = nullptr;
    QLineEdit* txtFineTuneModel = nullptr;
    QPushButton* btnModerationsCreate = nullptr;
    QLineEdit* txtModerationsInput = nullptr;

    QPlainTextEdit* memoLog = nullptr;

    TkbvHTTP_API_OpenAI* fOpenAI = nullptr;  // owned as a component
    QString FIniFileName;
    std::thread FWorker;
    bool FCallRunning = false;
    bool FCredentialsChanged = false;  // while a call ran: applied when it ends
};
