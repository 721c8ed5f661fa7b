#include "app/kbvOpenAISettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

QString IniFileNameFor(const QString& aExecutable, bool aFolderWritable, const QString& aXdgConfigHome,
                       const QString& aHome) {
    if (aFolderWritable)
        return aExecutable + ".ini";
    // A relative XDG_CONFIG_HOME is ignored, as the XDG base directories rule says.
    const QString ConfigHome =
        !aXdgConfigHome.isEmpty() && QDir::isAbsolutePath(aXdgConfigHome) ? aXdgConfigHome : aHome + "/.config";
    const QString Program = QFileInfo(aExecutable).fileName();
    return QDir::cleanPath(ConfigHome + "/" + Program + "/" + Program + ".ini");
}

QString DefaultIniFileName() {
    const QString Executable = QCoreApplication::applicationFilePath();
    const QByteArray Folder = QFile::encodeName(QFileInfo(Executable).absolutePath());
    return IniFileNameFor(Executable, ::access(Folder.constData(), W_OK) == 0, qEnvironmentVariable("XDG_CONFIG_HOME"),
                          QDir::homePath());
}

void PrepareOwnerOnlyFile(const QString& aFileName) {
    const QFileInfo Info(aFileName);
    if (!Info.absoluteDir().exists() && QDir().mkpath(Info.absolutePath()))
        ::chmod(QFile::encodeName(Info.absolutePath()).constData(), S_IRWXU);  // the program's own folder
    const QByteArray Path = QFile::encodeName(aFileName);
    if (!Info.exists()) {
        const int Fd = ::open(Path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (Fd >= 0)
            ::close(Fd);
        return;
    }
    struct stat Status {};
    if (::stat(Path.constData(), &Status) == 0 && (Status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        ::chmod(Path.constData(), Status.st_mode & S_IRWXU);
}
