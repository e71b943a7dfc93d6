// avatar-demo OUTPUT.png
// Opens the avatar editor; on "Confirm" the 120 x 120 avatar is written to
// OUTPUT.png, its path printed, and the program ends.
#include "AvatarModifyWidget.h"

#include <QApplication>
#include <QFileInfo>
#include <QPixmap>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: avatar-demo OUTPUT.png\n");
        return 2;
    }
    const QString output = QFileInfo(arguments.at(1)).absoluteFilePath();

    auto *dialog = new AvatarModifyWidget(nullptr);
    int status = 1;
    QObject::connect(dialog, &AvatarModifyWidget::avatarSelected, dialog, [&](const QPixmap &avatar) {
        if (avatar.save(output, "PNG")) {
            QTextStream(stdout) << output << Qt::endl;
            status = 0;
        } else {
            QTextStream(stderr) << "avatar-demo: cannot write " << output << Qt::endl;
        }
        dialog->close();
    });
    dialog->show();
    app.exec();
    return status;
}
