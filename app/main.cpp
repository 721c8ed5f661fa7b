// kbvOpenAI: the desktop window over the OpenAI client.
#include <QIcon>

#include "app/kbvApplication.h"
#include "app/kbvOpenAIMain.h"
#include "app/kbvOpenAISettings.h"

namespace {

QIcon ApplicationIcon() {
    QIcon Icon;
    for (int Size : {16, 24, 32, 48, 64, 128, 256})
        Icon.addFile(QString(":/icons/%1/kbvOpenAI.png").arg(Size), QSize(Size, Size));
    return Icon;
}

}  // namespace

int main(int argc, char* argv[]) {
    TkbvApplication Application(argc, argv);
    Application.setWindowIcon(ApplicationIcon());
    TfrmOpenAI frmOpenAI(DefaultIniFileName());
    frmOpenAI.show();
    return Application.exec();
}
