#ifndef VELTORA_MESSAGEBOX_H
#define VELTORA_MESSAGEBOX_H

#include <QDialog>
#include <QMessageBox>
#include <QPoint>

class QAbstractButton;
class QDialogButtonBox;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QVBoxLayout;

// The programs' own modal message dialog: a frameless white box with a green title
// band that drags it, an icon, the word-wrapped text and buttons reading "Yes" or
// "No". exec() returns the standard-button code pressed, or 0 when closed.
//
// With VELTORA_MESSAGEBOX_AUTOCLOSE_MS set to a delay in milliseconds, every box
// accepts its default button after that delay, so scripted runs never wait.
class MessageBox : public QDialog
{
    Q_OBJECT

public:
    enum Icon { Information = 0, Question = 1, Warning = 2, Critical = 3 };

    MessageBox(QWidget *parent, MessageBox::Icon icon, const QString &title, const QString &text,
               QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton);

    void setDefaultButton(QMessageBox::StandardButton button);
    void setDefaultButton(QPushButton *button);
    int execReturnCode(QAbstractButton *button);
    int exec() override;

    // The style sheet of the icon picture, empty for an unknown icon.
    static QString iconStyleSheet(int icon);

public slots:
    void onButtonClicked(QAbstractButton *button);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

public:
    QLabel *titleBar = nullptr;
    QLabel *titleLabel = nullptr;
    QPushButton *closeButton = nullptr;
    QLabel *iconLabel = nullptr;
    QLabel *textLabel = nullptr;
    QVBoxLayout *mainLayout = nullptr;
    QHBoxLayout *contentLayout = nullptr;
    QDialogButtonBox *buttonBox = nullptr;
    bool mousePressed = false;
    QPoint dragPosition;

private:
    QPushButton *m_default = nullptr;
};

#endif
