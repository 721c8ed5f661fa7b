// The GUI application with its default exception message box: an exception
// that leaves an event handler, or a call that failed on a worker thread,
// reaches the user here as a message box, and the event loop runs on.
#pragma once

#include <QApplication>
#include <QString>
#include <exception>
#include <functional>

class TkbvApplication : public QApplication {
    Q_OBJECT

public:
    TkbvApplication(int& argc, char** argv);

    // Catches what an event handler lets through and shows it.
    bool notify(QObject* aReceiver, QEvent* aEvent) override;

    // The one place an exception meets the user. Callable from any thread:
    // the box always opens on the GUI thread. A message that comes while a
    // box is open waits for it to close.
    static void ShowException(std::exception_ptr aException);

    // Takes the place of the modal box (tests); an empty function restores it.
    using TExceptionPresenter = std::function<void(const QString& aMessage)>;
    static void SetExceptionPresenter(TExceptionPresenter aPresenter);

    // The text a message box shows for aException.
    static QString MessageOf(std::exception_ptr aException);

private:
    static void Present(const QString& aMessage);
};
