#include "app/kbvApplication.h"

#include <QMessageBox>
#include <QProxyStyle>
#include <QStringList>
#include <QThread>

namespace {

// Secrets typed into a password field show as "*", whatever the platform style draws.
class TAsteriskPasswordStyle : public QProxyStyle {
public:
    int styleHint(StyleHint aHint, const QStyleOption* aOption, const QWidget* aWidget,
                  QStyleHintReturn* aReturnData) const override {
        if (aHint == SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(aHint, aOption, aWidget, aReturnData);
    }
};

// GUI thread only.
TkbvApplication::TExceptionPresenter ExceptionPresenter;
QStringList WaitingMessages;
bool BoxShowing = false;

}  // namespace

TkbvApplication::TkbvApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName("kbvOpenAI");
    setDesktopFileName("kbvOpenAI");  // the desktop entry, for task bars on Wayland and X11
    setStyle(new TAsteriskPasswordStyle);  // the application owns its style
}

bool TkbvApplication::notify(QObject* aReceiver, QEvent* aEvent) {
    try {
        return QApplication::notify(aReceiver, aEvent);
    } catch (...) {
        ShowException(std::current_exception());
        return false;
    }
}

void TkbvApplication::ShowException(std::exception_ptr aException) {
    const QString Message = MessageOf(aException);
    if (QThread::currentThread() == qApp->thread())
        Present(Message);
    else  // no widget may be made on another thread
        QMetaObject::invokeMethod(qApp, [Message] { Present(Message); }, Qt::QueuedConnection);
}

void TkbvApplication::SetExceptionPresenter(TExceptionPresenter aPresenter) {
    ExceptionPresenter = std::move(aPresenter);
}

QString TkbvApplication::MessageOf(std::exception_ptr aException) {
    if (!aException)
        return {};
    try {
        std::rethrow_exception(aException);
    } catch (const std::exception& E) {
        return QString::fromUtf8(E.what());
    } catch (...) {
        return QStringLiteral("Unknown exception");
    }
}

void TkbvApplication::Present(const QString& aMessage) {
    if (ExceptionPresenter) {
        ExceptionPresenter(aMessage);
        return;
    }
    WaitingMessages.append(aMessage);
    if (BoxShowing)
        return;  // the open box runs its own event loop: one box at a time, the next when it closes
    BoxShowing = true;
    while (!WaitingMessages.isEmpty()) {
        QMessageBox Box(QMessageBox::Critical, applicationName(), WaitingMessages.takeFirst(), QMessageBox::Ok,
                        activeWindow());
        Box.exec();
    }
    BoxShowing = false;
}
