// The main window, offscreen, against the tests' OpenAI server, which
// records every request: what each button sends and what the log then
// shows, errors in the message box, the settings file, the file dialogs,
// and a call that runs while the window stays responsive.
#include <sys/stat.h>
#include <unistd.h>

#include <QCursor>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStyle>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <memory>
#include <thread>

#include "app/kbvApplication.h"
#include "app/kbvOpenAIMain.h"
#include "app/kbvOpenAISettings.h"
#include "core/Exceptions.h"
#include "httpapi/kbvHTTP_API.h"
#include "openai/kbvHTTP_API_OpenAI.h"
#include "tests/net/support/LoopbackPeer.h"
#include "tests/support/Peers.h"

namespace {

constexpr int kCallTimeoutMS = 15000;

// What went to the message box instead of a modal box, in order.
QStringList ShownMessages;

// The form with its file dialog answered by the test.
class TTestForm : public TfrmOpenAI {
public:
    using TfrmOpenAI::TfrmOpenAI;
    QString NextChoice;  // empty: the dialog is cancelled
    int Choices = 0;

protected:
    QString ChooseFile() override {
        ++Choices;
        return NextChoice;
    }
};

QString ServerOrigin(bool aTLS = false) {
    return aTLS ? "https://localhost:" + QString::fromStdString(PeerPortText("OPENAI_HTTPS_PORT"))
                : "http://127.0.0.1:" + QString::fromStdString(PeerPortText("OPENAI_HTTP_PORT"));
}

// The server's records of the requests that carried aKey, oldest first.
QJsonArray Requests(const QString& aKey) {
    TkbvHTTPAPI_client Client;
    const std::string Reply = Client.GetContent(
        (ServerOrigin() + "/_test/requests?key=" + QString::fromLatin1(QUrl::toPercentEncoding(aKey))).toStdString());
    return QJsonDocument::fromJson(QByteArray::fromStdString(Reply)).array();
}

// A header of a record; a null string when it was not sent.
QString Header(const QJsonObject& aRecord, const QString& aName) {
    for (const QJsonValue& Line : aRecord["headers"].toArray())
        if (Line[0].toString().compare(aName, Qt::CaseInsensitive) == 0)
            return Line[1].toString();
    return {};
}

// The parts of a multipart record as "name=text", or "name=@filename" for a file.
QStringList Parts(const QJsonObject& aRecord) {
    QStringList Result;
    for (const QJsonValue& Part : aRecord["parts"].toArray()) {
        const QJsonValue FileName = Part["filename"];
        Result << Part["name"].toString() + "=" +
                      (FileName.isString() ? "@" + FileName.toString() : Part["text"].toString());
    }
    std::sort(Result.begin(), Result.end());
    return Result;
}

// Every control with a caption or text, top to bottom and row by row.
const char* const ControlTexts[][2] = {
    {"lblApiKey", "API Key:"},
    {"txtApiKey", ""},
    {"lblOrganization", "Organization:"},
    {"txtOrganization", ""},
    {"btnGetModels", "GetModels"},
    {"btnGetModel", "Get Model"},
    {"txtModelName", "davinci"},
    {"btnCompletionCreate", "Create Completion"},
    {"lblCompletionModel", "Model:"},
    {"txtCompletionModel", "text-davinci-003"},
    {"lblCompletionPrompt", "Prompt:"},
    {"txtCompletionPrompt", "Say this is a test"},
    {"btnChatCompletionCreate", "Create Chat Completion"},
    {"lblChatModel", "Model:"},
    {"txtChatModel", "gpt-3.5-turbo"},
    {"lblChatMessage", "Message:"},
    {"txtChatMessage", "Hello!"},
    {"btnEditsCreate", "Create Edit"},
    {"lblEditsModel", "Model:"},
    {"txtEditsModel", "text-davinci-edit-001"},
    {"lblEditsInput", "Input:"},
    {"txtEditsInput", "What day of the wek is it?"},
    {"lblEditsInstruction", "Instruction:"},
    {"txtEditsInstruction", "Fix the spelling mistakes"},
    {"btnImagesCreate", "Create Image"},
    {"txtImagesCreatePrompt", "A cute baby sea otter"},
    {"btnEmbeddingsCreate", "Create Embeddings"},
    {"lblEmbeddingsModel", "Model:"},
    {"txtEmbeddingsModel", "text-embedding-ada-002"},
    {"lblEmbeddingsInput", "Input:"},
    {"txtEmbeddingsInput", "The food was delicious and the waiter..."},
    {"btnAudioCreateTranscription", "Create Transcription"},
    {"btnAudioCreateTranslation", "Create Translation"},
    {"btnFilesList", "List Files"},
    {"btnFilesUpload", "Upload File"},
    {"btnFilesDelete", "Delete File"},
    {"txtFilesDeleteId", ""},
    {"btnFilesRetrieve", "Retrieve File"},
    {"txtFilesRetrieveId", ""},
    {"btnFilesRetrieveFileContent", "Retrieve File Content"},
    {"txtFilesRetrieveFileContentId", ""},
    {"btnFineTunesCreate", "Create Fine-Tune"},
    {"txtFineTunesCreateFile", ""},
    {"btnFineTunesList", "List File-Tunes"},
    {"btnFineTunesRetrieve", "Retrieve Fine-Tune"},
    {"txtFineTunesRetrieveId", ""},
    {"btnFineTunesCancel", "Cancel Fine-Tune"},
    {"txtFineTunesCancelId", ""},
    {"btnFineTunesListEvents", "List Fine-Tune Events"},
    {"txtFineTunesListEventsId", ""},
    {"btnFineTunesDeleteModel", "Delete Fine-Tune Model"},
    {"txtFineTuneModel", ""},
    {"btnModerationsCreate", "Create Moderation"},
    {"lblModerationsInput", "Input:"},
    {"txtModerationsInput", "I want to kill them."},
};

#define REQUIRE_SERVER()                                                   \
    do {                                                                   \
        if (!PeerPort("OPENAI_HTTP_PORT"))                                 \
            QSKIP("no OpenAI test server: run through ctest (-L gui)");    \
    } while (false)

}  // namespace

class TfrmOpenAITest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> FDir;
    int FKeys = 0;

    QString IniFile() const { return FDir->filePath("kbvOpenAI.ini"); }

    std::unique_ptr<TTestForm> NewForm() {
        auto Form = std::make_unique<TTestForm>(IniFile());
        Form->show();
        return Form;
    }

    // A key no other test uses, so that the server's records are this test's alone.
    QString UniqueKey(const QString& aDirectives = {}) {
        QString Name = QString(QTest::currentTestFunction()) + "-" + QTest::currentDataTag();
        Name.replace(QRegularExpression("[^A-Za-z0-9]+"), "-");
        return QString("sk-app-%1-%2-%3%4").arg(Name).arg(getpid()).arg(++FKeys).arg(aDirectives);
    }

    QString MakeFile(const QString& aName, int aSize) {
        QFile File(FDir->filePath(aName));
        if (!File.open(QIODevice::WriteOnly) || File.write(QByteArray(aSize, 'x')) != aSize)
            qFatal("cannot write %s", qPrintable(File.fileName()));
        return File.fileName();
    }

    template <class T>
    static T* Control(TfrmOpenAI& aForm, const char* aName) {
        T* Widget = aForm.findChild<T*>(aName);
        if (!Widget)
            qFatal("no control %s", aName);
        return Widget;
    }

    // Brings the button's tab to the front and clicks it, as a user does.
    static void Click(TfrmOpenAI& aForm, const QString& aButton) {
        auto* Button = Control<QPushButton>(aForm, qPrintable(aButton));
        auto* Pages = Control<QTabWidget>(aForm, "PageControl1");
        for (int Index = 0; Index < Pages->count(); ++Index)
            if (Pages->widget(Index)->isAncestorOf(Button))
                Pages->setCurrentIndex(Index);
        QTest::mouseClick(Button, Qt::LeftButton);
    }

    // Clicks and waits until the call has ended.
    static bool ClickAndWait(TfrmOpenAI& aForm, const QString& aButton) {
        QSignalSpy Finished(&aForm, &TfrmOpenAI::CallFinished);
        Click(aForm, aButton);
        return Finished.wait(kCallTimeoutMS);
    }

    static QString LogText(TfrmOpenAI& aForm) { return Control<QPlainTextEdit>(aForm, "memoLog")->toPlainText(); }

private slots:
    void init() {
        FDir = std::make_unique<QTemporaryDir>();
        QVERIFY(FDir->isValid());
        ShownMessages.clear();
        qunsetenv("KBV_OPENAI_CA_FILE");
    }
    void cleanup() { FDir.reset(); }

    void controlsCarryTheirTexts_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        for (const auto& [Name, Text] : ControlTexts)
            QTest::newRow(Name) << QString(Name) << QString(Text);
    }
    void controlsCarryTheirTexts() {
        QFETCH(QString, name);
        QFETCH(QString, text);
        TTestForm Form(IniFile());
        QObject* Control = Form.findChild<QObject*>(name);
        QVERIFY2(Control, qPrintable(name));
        QCOMPARE(Control->property("text").toString(), text);  // labels, buttons and edits alike
    }

    void tabOrderFollowsTheRows() {
        TTestForm Form(IniFile());
        QStringList Expected;
        for (const auto& [Name, Text] : ControlTexts)
            if (!QString(Name).startsWith("lbl"))
                Expected << Name;
        Expected << "memoLog";
        QStringList Order;
        QWidget* const First = Control<QWidget>(Form, "txtApiKey");
        QWidget* Widget = First;
        do {
            const bool Field = qobject_cast<QLineEdit*>(Widget) || qobject_cast<QPushButton*>(Widget) ||
                               qobject_cast<QPlainTextEdit*>(Widget);
            if (Field && (Widget->focusPolicy() & Qt::TabFocus))
                Order << Widget->objectName();
            Widget = Widget->nextInFocusChain();
        } while (Widget != First);
        QCOMPARE(Order, Expected);
    }

    void windowLayout() {
        auto Form = NewForm();
        QVERIFY(QTest::qWaitForWindowExposed(Form.get()));
        QCOMPARE(Form->windowTitle(), QString("kbvOpenAI API - Tandrel Software"));
        QCOMPARE(Form->size(), QSize(1053, 839));
        auto* Pages = Control<QTabWidget>(*Form, "PageControl1");
        QStringList Captions, Names;
        for (int Index = 0; Index < Pages->count(); ++Index) {
            Captions << Pages->tabText(Index);
            Names << Pages->widget(Index)->objectName();
        }
        QCOMPARE(Captions, QStringList({"Models", "Completion", "Chat", "Edits", "Images", "Embeddings", "Audio",
                                        "Files", "Fines-Tunes", "Moderations"}));
        QCOMPARE(Names, QStringList({"tabModels", "tabCompletion", "tabChat", "tabEdits", "tabImages",
                                     "tabEmbeddings", "tabAudio", "tabFiles", "tabFineTunes", "tabModerations"}));
        QCOMPARE(Pages->currentIndex(), 0);
        // Top panel, tabs and log from top to bottom, filling the window.
        auto* Top = Control<QWidget>(*Form, "pnlTop");
        auto* Log = Control<QPlainTextEdit>(*Form, "memoLog");
        QCOMPARE(Top->geometry(), QRect(0, 0, 1053, 89));
        QCOMPARE(Pages->geometry(), QRect(0, 89, 1053, 255));
        QCOMPARE(Log->geometry(), QRect(0, 344, 1053, 495));
        QCOMPARE(Log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        auto* ApiKey = Control<QLineEdit>(*Form, "txtApiKey");
        QCOMPARE(ApiKey->width(), 409);
        QCOMPARE(ApiKey->echoMode(), QLineEdit::Password);
        QCOMPARE(ApiKey->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, ApiKey), int('*'));
        QCOMPARE(Control<QLineEdit>(*Form, "txtOrganization")->width(), 225);
        QCOMPARE(Control<QLineEdit>(*Form, "txtChatModel")->width(), 166);
        QCOMPARE(Control<QLineEdit>(*Form, "txtChatMessage")->width(), 750);
        // Buttons in a column at the left; a button's field on its row, right of it.
        Pages->setCurrentWidget(Control<QWidget>(*Form, "tabFiles"));
        auto* Retrieve = Control<QPushButton>(*Form, "btnFilesRetrieve");
        auto* RetrieveId = Control<QLineEdit>(*Form, "txtFilesRetrieveId");
        QCOMPARE(Control<QPushButton>(*Form, "btnFilesList")->x(), Retrieve->x());
        QTRY_VERIFY(RetrieveId->x() > Retrieve->x() + Retrieve->width());  // laid out once shown
        QVERIFY(qAbs(RetrieveId->geometry().center().y() - Retrieve->geometry().center().y()) <= 2);
    }

    void buttonsCallTheirOperation_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("fields");  // "objectName=text" typed before the click
        QTest::addColumn<QString>("request");     // "METHOD target" as the server saw it
        QTest::addColumn<QString>("body");        // the JSON body; "" for none
        QTest::addColumn<QStringList>("parts");   // multipart: "name=text", "name=@filename"
        QTest::addColumn<QString>("shown");       // a piece of the reply in the log

        QTest::newRow("GetModels") << "btnGetModels" << QStringList() << "GET /v1/models" << "" << QStringList()
                                   << "\"id\": \"gpt-3.5-turbo\"";
        QTest::newRow("Get Model") << "btnGetModel" << QStringList{"txtModelName= my model/1 "}
                                   << "GET /v1/models/%20my%20model%2F1%20" << "" << QStringList()
                                   << "\"id\": \" my model/1 \"";
        QTest::newRow("Create Completion")
            << "btnCompletionCreate"
            << QStringList{"txtCompletionModel= text-davinci-003 ", "txtCompletionPrompt=  Grüße, Welt  "}
            << "POST /v1/completions" << R"({"model":" text-davinci-003 ","prompt":"  Grüße, Welt  "})"
            << QStringList() << "You wrote:   Grüße, Welt  ";
        QTest::newRow("Create Chat Completion")
            << "btnChatCompletionCreate" << QStringList() << "POST /v1/chat/completions"
            << R"({"model":"gpt-3.5-turbo","messages":[{"role":"user","content":"Hello!"}]})" << QStringList()
            << "You said: Hello!";
        QTest::newRow("Create Edit")
            << "btnEditsCreate" << QStringList() << "POST /v1/edits"
            << R"({"model":"text-davinci-edit-001","instruction":"Fix the spelling mistakes",)"
               R"("input":"What day of the wek is it?"})"
            << QStringList() << "WHAT DAY OF THE WEK IS IT?";
        QTest::newRow("Create Edit, input emptied")
            << "btnEditsCreate" << QStringList{"txtEditsInput="} << "POST /v1/edits"
            << R"({"model":"text-davinci-edit-001","instruction":"Fix the spelling mistakes"})" << QStringList()
            << "\"object\": \"edit\"";
        QTest::newRow("Create Image") << "btnImagesCreate" << QStringList() << "POST /v1/images/generations"
                                      << R"({"prompt":"A cute baby sea otter"})" << QStringList()
                                      << "https://example.invalid/img-";
        QTest::newRow("Create Embeddings")
            << "btnEmbeddingsCreate" << QStringList{"txtEmbeddingsInput=€ 5 "} << "POST /v1/embeddings"
            << R"({"model":"text-embedding-ada-002","input":"€ 5 "})" << QStringList() << "\"embedding\"";
        QTest::newRow("Create Transcription")
            << "btnAudioCreateTranscription" << QStringList() << "POST /v1/audio/transcriptions" << ""
            << QStringList{"file=@sample.wav", "model=whisper-1"} << "Transcribed 1000 bytes from sample.wav.";
        QTest::newRow("Create Translation")
            << "btnAudioCreateTranslation" << QStringList() << "POST /v1/audio/translations" << ""
            << QStringList{"file=@sample.wav", "model=whisper-1"} << "Translated 1000 bytes from sample.wav.";
        QTest::newRow("List Files") << "btnFilesList" << QStringList() << "GET /v1/files" << "" << QStringList()
                                    << "\"filename\": \"train.jsonl\"";
        QTest::newRow("Upload File") << "btnFilesUpload" << QStringList() << "POST /v1/files" << ""
                                     << QStringList{"file=@sample.wav", "purpose=fine-tune"} << "\"bytes\": 1000";
        QTest::newRow("Delete File") << "btnFilesDelete" << QStringList{"txtFilesDeleteId=file-1"}
                                     << "DELETE /v1/files/file-1" << "" << QStringList() << "\"deleted\": true";
        QTest::newRow("Retrieve File") << "btnFilesRetrieve" << QStringList{"txtFilesRetrieveId=file-2"}
                                       << "GET /v1/files/file-2" << "" << QStringList() << "\"id\": \"file-2\"";
        QTest::newRow("Retrieve File Content")
            << "btnFilesRetrieveFileContent" << QStringList{"txtFilesRetrieveFileContentId=file-3"}
            << "GET /v1/files/file-3/content" << "" << QStringList() << "{\"prompt\":\"héllo €\"";
        QTest::newRow("Create Fine-Tune") << "btnFineTunesCreate" << QStringList{"txtFineTunesCreateFile=file-4"}
                                          << "POST /v1/fine-tunes" << R"({"training_file":"file-4"})"
                                          << QStringList() << "\"id\": \"file-4\"";
        QTest::newRow("List File-Tunes") << "btnFineTunesList" << QStringList() << "GET /v1/fine-tunes" << ""
                                         << QStringList() << "\"object\": \"fine-tune\"";
        QTest::newRow("Retrieve Fine-Tune") << "btnFineTunesRetrieve" << QStringList{"txtFineTunesRetrieveId=ft-5"}
                                            << "GET /v1/fine-tunes/ft-5" << "" << QStringList()
                                            << "\"id\": \"ft-5\"";
        QTest::newRow("Cancel Fine-Tune") << "btnFineTunesCancel" << QStringList{"txtFineTunesCancelId=ft-6"}
                                          << "POST /v1/fine-tunes/ft-6/cancel" << "" << QStringList()
                                          << "\"status\": \"cancelled\"";
        QTest::newRow("List Fine-Tune Events")
            << "btnFineTunesListEvents" << QStringList{"txtFineTunesListEventsId=ft-7"}
            << "GET /v1/fine-tunes/ft-7/events" << "" << QStringList() << "\"object\": \"fine-tune-event\"";
        QTest::newRow("Delete Fine-Tune Model")
            << "btnFineTunesDeleteModel" << QStringList{"txtFineTuneModel=curie:ft-acme-1"}
            << "DELETE /v1/models/curie%3Aft-acme-1" << "" << QStringList() << "\"deleted\": true";
        QTest::newRow("Create Moderation") << "btnModerationsCreate" << QStringList() << "POST /v1/moderations"
                                           << R"({"input":"I want to kill them."})" << QStringList()
                                           << "\"violence\": true";
    }
    void buttonsCallTheirOperation() {
        QFETCH(QString, button);
        QFETCH(QStringList, fields);
        QFETCH(QString, request);
        QFETCH(QString, body);
        QFETCH(QStringList, parts);
        QFETCH(QString, shown);
        REQUIRE_SERVER();
        auto Form = NewForm();
        Form->NextChoice = MakeFile("sample.wav", 1000);
        const QString Key = UniqueKey();
        Control<QLineEdit>(*Form, "txtApiKey")->setText(Key);
        for (const QString& Field : fields) {
            const qsizetype Equals = Field.indexOf('=');
            Control<QLineEdit>(*Form, qPrintable(Field.left(Equals)))->setText(Field.mid(Equals + 1));
        }
        Form->DoLog("earlier output");

        QVERIFY(ClickAndWait(*Form, button));
        QCOMPARE(ShownMessages, QStringList());
        const QJsonArray Records = Requests(Key);
        QCOMPARE(Records.size(), 1);
        const QJsonObject Record = Records[0].toObject();
        QCOMPARE(Record["method"].toString() + " " + Record["target"].toString(), request);
        QCOMPARE(Header(Record, "Authorization"), "Bearer " + Key);
        if (body.isEmpty())
            QVERIFY(Record["json"].isNull());
        else
            QCOMPARE(Record["json"].toObject(), QJsonDocument::fromJson(body.toUtf8()).object());
        QCOMPARE(Parts(Record), parts);
        const QString Log = LogText(*Form);
        QVERIFY2(Log.contains(shown), qPrintable(Log));
        QVERIFY(!Log.contains("earlier output"));
    }

    void logKeepsTheNewestReplyOnly() {
        REQUIRE_SERVER();
        auto Form = NewForm();
        Control<QLineEdit>(*Form, "txtApiKey")->setText(UniqueKey());
        QVERIFY(ClickAndWait(*Form, "btnChatCompletionCreate"));
        QVERIFY(LogText(*Form).contains("You said: Hello!"));
        QVERIFY(ClickAndWait(*Form, "btnCompletionCreate"));
        QVERIFY(LogText(*Form).contains("You wrote: Say this is a test"));
        QVERIFY(!LogText(*Form).contains("You said"));
        // Every kind of line break ends a line.
        Form->DoLog("one\r\ntwo\rthree\nfour");
        QCOMPARE(LogText(*Form), QString("one\ntwo\nthree\nfour"));
    }

    void errorsGoToTheMessageBoxAndLeaveTheLog_data() {
        QTest::addColumn<QString>("directives");  // in the API key
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("chosenFile");  // relative to the test's folder
        QTest::addColumn<QString>("message");     // a piece of the box's text
        QTest::addColumn<int>("requests");
        QTest::newRow("HTTP status") << "+status=401" << "btnGetModels" << "" << "Incorrect API key provided" << 1;
        QTest::newRow("server error") << "+status=500" << "btnChatCompletionCreate" << ""
                                      << "The server had an error" << 1;
        QTest::newRow("connection closed") << "+drop=1" << "btnModerationsCreate" << "" << "" << 1;
        QTest::newRow("file not readable") << "" << "btnFilesUpload" << "missing.jsonl" << "missing.jsonl" << 0;
    }
    void errorsGoToTheMessageBoxAndLeaveTheLog() {
        QFETCH(QString, directives);
        QFETCH(QString, button);
        QFETCH(QString, chosenFile);
        QFETCH(QString, message);
        QFETCH(int, requests);
        REQUIRE_SERVER();
        auto Form = NewForm();
        Form->NextChoice = FDir->filePath(chosenFile);
        auto* ApiKey = Control<QLineEdit>(*Form, "txtApiKey");
        const QString Key = UniqueKey(directives);
        ApiKey->setText(Key);
        Form->DoLog("the last reply\nstays");

        QVERIFY(ClickAndWait(*Form, button));
        QCOMPARE(ShownMessages.size(), 1);
        QVERIFY2(ShownMessages[0].contains(message), qPrintable(ShownMessages[0]));
        QVERIFY(!ShownMessages[0].isEmpty());
        QCOMPARE(LogText(*Form), QString("the last reply\nstays"));
        QCOMPARE(Requests(Key).size(), requests);
        // The window goes on working.
        ApiKey->setText(UniqueKey());
        QVERIFY(ClickAndWait(*Form, "btnGetModels"));
        QVERIFY(LogText(*Form).contains("\"object\": \"list\""));
        QCOMPARE(ShownMessages.size(), 1);
    }

    void exceptionsReachTheOneMessageBox() {
        // One thrown by an event handler: notify catches it and the loop runs on.
        struct TThrowing : QObject {
            bool event(QEvent*) override { throw EConvertError("thrown by a handler"); }
        } Throwing;
        QEvent Event(QEvent::User);
        QCOMPARE(QCoreApplication::sendEvent(&Throwing, &Event), false);
        QCOMPARE(ShownMessages, QStringList{"thrown by a handler"});
        // One from another thread: shown on the GUI thread.
        QThread* ShownOn = nullptr;
        TkbvApplication::SetExceptionPresenter([&ShownOn](const QString& aMessage) {
            ShownOn = QThread::currentThread();
            ShownMessages << aMessage;
        });
        std::thread Worker(
            [] { TkbvApplication::ShowException(std::make_exception_ptr(std::runtime_error("from a worker"))); });
        Worker.join();
        QTRY_COMPARE_WITH_TIMEOUT(ShownMessages.size(), 2, 5000);
        QCOMPARE(ShownMessages[1], QString("from a worker"));
        QCOMPARE(ShownOn, qApp->thread());
        TkbvApplication::SetExceptionPresenter([](const QString& aMessage) { ShownMessages << aMessage; });
    }

    void firstStartWithoutIniSendsAnEmptyKey() {
        REQUIRE_SERVER();
        QVERIFY(!QFile::exists(IniFile()));
        auto Form = NewForm();
        QCOMPARE(Control<QLineEdit>(*Form, "txtApiKey")->text(), QString());
        QCOMPARE(Control<QLineEdit>(*Form, "txtOrganization")->text(), QString());
        QCOMPARE(Form->ComponentCount(), 0);  // empty settings make no client
        // Other tests may send an empty key too: this request is known by its message.
        const QString Marker = UniqueKey();
        Control<QLineEdit>(*Form, "txtChatMessage")->setText(Marker);
        QVERIFY(ClickAndWait(*Form, "btnChatCompletionCreate"));
        QCOMPARE(Form->ComponentCount(), 1);
        QJsonArray Mine;
        for (const QJsonValue& Record : Requests(""))
            if (Record["body"].toString().contains(Marker))
                Mine.append(Record);
        QCOMPARE(Mine.size(), 1);
        QCOMPARE(Header(Mine[0].toObject(), "Authorization"), QString("Bearer "));
        QVERIFY(Header(Mine[0].toObject(), "OpenAI-Organization").isNull());
    }

    void organizationTypedAndCleared() {
        REQUIRE_SERVER();
        auto Form = NewForm();
        const QString Key = UniqueKey();
        Control<QLineEdit>(*Form, "txtApiKey")->setText(Key);
        auto* Organization = Control<QLineEdit>(*Form, "txtOrganization");
        QTest::keyClicks(Organization, "org-typed");
        QVERIFY(ClickAndWait(*Form, "btnGetModels"));
        QTest::keyClick(Organization, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(Organization, Qt::Key_Backspace);
        QCOMPARE(Organization->text(), QString());
        QVERIFY(ClickAndWait(*Form, "btnGetModels"));
        const QJsonArray Records = Requests(Key);
        QCOMPARE(Records.size(), 2);
        QCOMPARE(Header(Records[0].toObject(), "OpenAI-Organization"), QString("org-typed"));
        QVERIFY(Header(Records[1].toObject(), "OpenAI-Organization").isNull());
    }

    void cancelledFileDialogChangesNothing_data() {
        QTest::addColumn<QString>("button");
        QTest::newRow("Create Transcription") << "btnAudioCreateTranscription";
        QTest::newRow("Create Translation") << "btnAudioCreateTranslation";
        QTest::newRow("Upload File") << "btnFilesUpload";
    }
    void cancelledFileDialogChangesNothing() {
        QFETCH(QString, button);
        REQUIRE_SERVER();
        auto Form = NewForm();
        const QString Key = UniqueKey();
        Control<QLineEdit>(*Form, "txtApiKey")->setText(Key);
        Form->DoLog("kept");
        QSignalSpy Finished(Form.get(), &TfrmOpenAI::CallFinished);
        Click(*Form, button);
        QCOMPARE(Form->Choices, 1);
        QVERIFY(!Form->CallRunning());
        QTest::qWait(200);
        QCOMPARE(Finished.size(), 0);
        QCOMPARE(LogText(*Form), QString("kept"));
        QCOMPARE(ShownMessages, QStringList());
        QCOMPARE(Requests(Key).size(), 0);
    }

    void settingsSurviveARestart() {
        const QString Key = "sk-é;\"a,b\" \\ #x ";
        const QString Organization = "org [1]=2";
        {
            TTestForm First(IniFile());
            Control<QLineEdit>(First, "txtApiKey")->setText(Key);
            Control<QLineEdit>(First, "txtOrganization")->setText(Organization);
        }
        TTestForm Second(IniFile());
        QCOMPARE(Control<QLineEdit>(Second, "txtApiKey")->text(), Key);
        QCOMPARE(Control<QLineEdit>(Second, "txtOrganization")->text(), Organization);
        // Loading counts as typing: the client exists and has both.
        QCOMPARE(Second.ComponentCount(), 1);
        QCOMPARE(QString::fromStdString(Second.OpenAI()->OpenAIOptions().ApiKey()), Key);
        QCOMPARE(QString::fromStdString(Second.OpenAI()->OpenAIOptions().Organization()), Organization);
    }

    void closingWritesBothKeysOwnerOnly_data() {
        QTest::addColumn<QString>("fileName");    // relative to the test's folder
        QTest::addColumn<int>("existingMode");    // -1: no file yet
        QTest::newRow("new file") << "kbvOpenAI.ini" << -1;
        QTest::newRow("file readable by others") << "kbvOpenAI.ini" << 0644;
        QTest::newRow("owner-only file") << "kbvOpenAI.ini" << 0600;
        QTest::newRow("folder still missing") << "config/kbvOpenAI/kbvOpenAI.ini" << -1;
    }
    void closingWritesBothKeysOwnerOnly() {
        QFETCH(QString, fileName);
        QFETCH(int, existingMode);
        const QString Path = FDir->filePath(fileName);
        if (existingMode >= 0) {
            QFile File(Path);
            QVERIFY(File.open(QIODevice::WriteOnly));
            File.write("[OTHER]\nKEPT=1\n");
            File.close();
            QCOMPARE(::chmod(QFile::encodeName(Path).constData(), static_cast<mode_t>(existingMode)), 0);
        }
        { TTestForm Untouched(Path); }
        QFile File(Path);
        QVERIFY(File.open(QIODevice::ReadOnly));
        const QString Text = QString::fromUtf8(File.readAll());
        QVERIFY2(Text.contains("[OPENAI]\nAPI_KEY=\nORGANIZATION=\n"), qPrintable(Text));
        if (existingMode >= 0)
            QVERIFY(Text.contains("[OTHER]\nKEPT=1\n"));
        struct stat Status {};
        QCOMPARE(::stat(QFile::encodeName(Path).constData(), &Status), 0);
        QCOMPARE(Status.st_mode & 07777, mode_t(0600));
        if (fileName.startsWith("config/")) {
            QCOMPARE(::stat(QFile::encodeName(FDir->filePath("config/kbvOpenAI")).constData(), &Status), 0);
            QCOMPARE(Status.st_mode & 07777, mode_t(0700));
        }
    }

    void iniFileLocation_data() {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<bool>("folderWritable");
        QTest::addColumn<QString>("xdgConfigHome");
        QTest::addColumn<QString>("expected");
        QTest::newRow("beside a writable executable")
            << "/work/build/app/kbvOpenAI" << true << "/cfg" << "/work/build/app/kbvOpenAI.ini";
        QTest::newRow("installed, XDG_CONFIG_HOME")
            << "/usr/bin/kbvOpenAI" << false << "/cfg" << "/cfg/kbvOpenAI/kbvOpenAI.ini";
        QTest::newRow("installed, no XDG_CONFIG_HOME")
            << "/usr/bin/kbvOpenAI" << false << "" << "/home/user/.config/kbvOpenAI/kbvOpenAI.ini";
        QTest::newRow("installed, relative XDG_CONFIG_HOME")
            << "/usr/bin/kbvOpenAI" << false << "cfg" << "/home/user/.config/kbvOpenAI/kbvOpenAI.ini";
    }
    void iniFileLocation() {
        QFETCH(QString, executable);
        QFETCH(bool, folderWritable);
        QFETCH(QString, xdgConfigHome);
        QFETCH(QString, expected);
        QCOMPARE(IniFileNameFor(executable, folderWritable, xdgConfigHome, "/home/user"), expected);
    }

    void callRunsWhileTheWindowStaysResponsive() {
        TLoopbackPeer Peer;
        const std::string Reply = R"({"object":"list","data":[{"id":"held-model"}]})";
        Peer.ExpectUntil("\r\n\r\n")
            .Hold()
            .Send("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                  std::to_string(Reply.size()) + "\r\nConnection: close\r\n\r\n" + Reply)
            .Close();
        Peer.Start();
        auto Form = NewForm();
        auto* ApiKey = Control<QLineEdit>(*Form, "txtApiKey");
        ApiKey->setText("sk-first");
        Form->OpenAI()->SetBaseURL("http://127.0.0.1:" + std::to_string(Peer.Port()));
        Form->DoLog("kept");
        QSignalSpy Finished(Form.get(), &TfrmOpenAI::CallFinished);

        Click(*Form, "btnGetModels");
        QVERIFY(Peer.WaitForReceived(1, kCallTimeoutMS));
        QVERIFY(Form->CallRunning());
        QVERIFY(QGuiApplication::overrideCursor());
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::BusyCursor);
        QVERIFY(!Control<QLabel>(*Form, "lblStatus")->text().isEmpty());
        bool Ticked = false;  // the event loop runs: timers fire, the window repaints
        QTimer::singleShot(10, [&Ticked] { Ticked = true; });
        QTRY_VERIFY_WITH_TIMEOUT(Ticked, 5000);
        // A second press and a new key wait for the reply.
        Click(*Form, "btnGetModels");
        Click(*Form, "btnChatCompletionCreate");
        ApiKey->setText("sk-second");
        QCOMPARE(Form->OpenAI()->OpenAIOptions().ApiKey(), std::string("sk-first"));
        QCOMPARE(LogText(*Form), QString("kept"));

        Peer.Release();
        QVERIFY(Finished.wait(kCallTimeoutMS));
        QTest::qWait(200);
        QCOMPARE(Finished.size(), 1);
        QCOMPARE(Peer.Accepted(), 1);
        QVERIFY(Peer.Received().find("Authorization: Bearer sk-first\r\n") != std::string::npos);
        QCOMPARE(LogText(*Form), QString::fromStdString(Reply));
        QVERIFY(!Form->CallRunning());
        QVERIFY(!QGuiApplication::overrideCursor());
        QVERIFY(Control<QLabel>(*Form, "lblStatus")->text().isEmpty());
        QCOMPARE(Form->OpenAI()->OpenAIOptions().ApiKey(), std::string("sk-second"));
    }

    void httpsWithTheCAOfTheEnvironment_data() {
        QTest::addColumn<bool>("trustTheCA");
        QTest::newRow("KBV_OPENAI_CA_FILE set") << true;
        QTest::newRow("not set: the server is not trusted") << false;
    }
    void httpsWithTheCAOfTheEnvironment() {
        QFETCH(bool, trustTheCA);
        REQUIRE_SERVER();
        if (trustTheCA)
            qputenv("KBV_OPENAI_CA_FILE", QByteArray::fromStdString(*PeerSetting("NGINX_CA_FILE")));
        auto Form = NewForm();
        const QString Key = UniqueKey();
        Control<QLineEdit>(*Form, "txtApiKey")->setText(Key);
        Form->OpenAI()->SetBaseURL(ServerOrigin(true).toStdString());
        QVERIFY(ClickAndWait(*Form, "btnChatCompletionCreate"));
        const QJsonArray Records = Requests(Key);
        if (trustTheCA) {
            QCOMPARE(ShownMessages, QStringList());
            QCOMPARE(Records.size(), 1);
            QCOMPARE(Records[0]["tls"].toBool(), true);
            QVERIFY(LogText(*Form).contains("You said: Hello!"));
        } else {
            QCOMPARE(ShownMessages.size(), 1);
            QCOMPARE(Records.size(), 0);
            QCOMPARE(LogText(*Form), QString());
        }
    }

    // The second provider trusts what its "Root" store folder holds.
    void httpsThroughTheSecondTLSProvider() {
        REQUIRE_SERVER();
        QTemporaryDir Data;
        const QString Root = Data.path() + "/kbvOpenAI/certstores/Root";
        QVERIFY(QDir().mkpath(Root));
        QVERIFY(QFile::copy(QString::fromStdString(*PeerSetting("NGINX_CA_FILE")), Root + "/ca.crt"));
        qputenv("XDG_DATA_HOME", Data.path().toUtf8());
        qputenv("KBV_OPENAI_TLS", "schannel");
        auto Form = NewForm();
        const QString Key = UniqueKey();
        Control<QLineEdit>(*Form, "txtApiKey")->setText(Key);
        Form->OpenAI()->SetBaseURL(ServerOrigin(true).toStdString());
        QVERIFY(ClickAndWait(*Form, "btnChatCompletionCreate"));
        qunsetenv("KBV_OPENAI_TLS");
        qunsetenv("XDG_DATA_HOME");
        QCOMPARE(ShownMessages, QStringList());
        QCOMPARE(Requests(Key).size(), 1);
        QVERIFY(LogText(*Form).contains("You said: Hello!"));
    }
};

// The application with its message box, the client pointed at the test
// server, then the tests.
int main(int argc, char* argv[]) {
    QTemporaryDir RuntimeDir;  // 0700, as the runtime folder must be
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(RuntimeDir.path()));
    if (PeerPort("OPENAI_HTTP_PORT"))
        qputenv("OPENAI_BASE_URL", ServerOrigin().toUtf8());
    TkbvApplication Application(argc, argv);
    TkbvApplication::SetExceptionPresenter([](const QString& aMessage) { ShownMessages << aMessage; });
    TfrmOpenAITest Test;
    return QTest::qExec(&Test, argc, argv);
}

#include "kbvOpenAIMain_test.moc"
