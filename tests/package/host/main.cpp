// Opens the avatar editor, hands it a crop, confirms it and closes: exit 0 when the
// dialog emitted a 120 x 120 avatar.
#include <AvatarModifyWidget.h>

#include <QApplication>
#include <QPixmap>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    auto *dialog = new AvatarModifyWidget;
    bool picked = false;
    QObject::connect(dialog, &AvatarModifyWidget::avatarSelected, dialog,
                     [&picked](const QPixmap &avatar) { picked = avatar.size() == QSize(120, 120); });
    dialog->show();
    QPixmap crop(300, 200);
    crop.fill(Qt::green);
    dialog->setCandidateAvatar(crop);
    dialog->confirmSelection();
    QTimer::singleShot(0, dialog, &QWidget::close);
    app.exec();
    return picked ? 0 : 1;
}
