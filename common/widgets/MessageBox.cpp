#include "MessageBox.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

MessageBox::MessageBox(QWidget *parent, MessageBox::Icon icon, const QString &title, const QString &text,
                       QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton)
    : QDialog(parent)
{
    titleBar = new QLabel(this);
    titleLabel = new QLabel(titleBar);
    closeButton = new QPushButton(this);
    iconLabel = new QLabel(this);
    textLabel = new QLabel(this);
    mainLayout = new QVBoxLayout(this);
    contentLayout = new QHBoxLayout;
    buttonBox = new QDialogButtonBox(this);
    mousePressed = false;
    dragPosition = QPoint();

    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setFixedSize(400, 170);
    setStyleSheet(QStringLiteral("QDialog{border:1px solid lightgray;background-color:white;}"));

    titleBar->setGeometry(1, 1, 398, 45);
    // The unmatched brace is part of the sheet as it has always been written.
    titleBar->setStyleSheet(QStringLiteral("background-color: rgb(47, 186, 119);}"));

    titleLabel->setGeometry(5, 5, 100, 35);
    titleLabel->setText(title);
    titleLabel->setStyleSheet(QStringLiteral("font-family:微软雅黑;font-size:15px; color:white"));

    closeButton->setGeometry(375, 15, 11, 11);
    closeButton->setStyleSheet(QStringLiteral("QPushButton{border-image: url(:/image/CloseBtn.png);}"
                                              "QPushButton:hover{border-image: url(:/image/CloseBtn1.png);}"
                                              "QPushButton:pressed{border-image: url(:/image/CloseBtn1.png);}"));
    connect(closeButton, &QPushButton::clicked, this, &QDialog::close);

    iconLabel->setFixedSize(30, 30);
    iconLabel->setStyleSheet(iconStyleSheet(icon));

    textLabel->setText(text);
    textLabel->setWordWrap(true);
    textLabel->setStyleSheet(QStringLiteral("font-family:微软雅黑;font-size:13px;"));

    contentLayout->addWidget(iconLabel);
    contentLayout->addSpacing(20);
    contentLayout->addWidget(textLabel);

    buttonBox->setStandardButtons(QDialogButtonBox::StandardButtons(int(buttons)));
    setDefaultButton(defaultButton);
    const QList<QAbstractButton *> boxButtons = buttonBox->buttons();
    for (QAbstractButton *button : boxButtons) {
        button->setFixedSize(100, 30);
        button->setIcon(QIcon()); // the text alone, whatever the desktop style adds
        const QDialogButtonBox::StandardButton code = buttonBox->standardButton(button);
        button->setText(code == QDialogButtonBox::Yes || code == QDialogButtonBox::Ok ? tr("Yes") : tr("No"));
        button->setStyleSheet(QStringLiteral(
            "QPushButton{border:1px solid rgb(176,181,185);border-radius:6px;font-family:微软雅黑;font-size:15px;color:gray;}"
            "QPushButton:hover{background-color: rgb(47, 186, 119);color:white;}"
            "QPushButton:pressed{background-color: rgb(47, 186, 119);color:white;}"));
    }
    connect(buttonBox, &QDialogButtonBox::clicked, this, &MessageBox::onButtonClicked);

    mainLayout->addLayout(contentLayout);
    mainLayout->addWidget(buttonBox);
    mainLayout->setContentsMargins(20, 40, 20, 20);
}

QString MessageBox::iconStyleSheet(int icon)
{
    switch (icon) {
    case Information:
        return QStringLiteral("border-image:url(:/image/info.png)");
    case Question:
        return QStringLiteral("border-image:url(:/image/question.png)");
    case Warning:
    case Critical:
        return QStringLiteral("border-image:url(:/image/error.png)");
    default:
        return QString();
    }
}

void MessageBox::setDefaultButton(QMessageBox::StandardButton button)
{
    setDefaultButton(buttonBox->button(QDialogButtonBox::StandardButton(int(button))));
}

void MessageBox::setDefaultButton(QPushButton *button)
{
    if (!button || !buttonBox->buttons().contains(button))
        return;
    button->setDefault(true);
    button->setFocus(Qt::OtherFocusReason);
    m_default = button;
}

int MessageBox::execReturnCode(QAbstractButton *button)
{
    return int(buttonBox->standardButton(button));
}

int MessageBox::exec()
{
    bool ok = false;
    const int delay = qEnvironmentVariableIntValue("VELTORA_MESSAGEBOX_AUTOCLOSE_MS", &ok);
    if (ok && delay >= 0) {
        QTimer::singleShot(delay, this, [this] {
            if (m_default)
                onButtonClicked(m_default);
            else
                reject();
        });
    }
    return QDialog::exec();
}

void MessageBox::onButtonClicked(QAbstractButton *button)
{
    done(execReturnCode(button));
}

void MessageBox::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint global = event->globalPos();
    const QPoint origin = pos();
    if (origin.x() < global.x() && global.x() < origin.x() + titleBar->width() && origin.y() < global.y()
        && global.y() < origin.y() + titleBar->height()) {
        mousePressed = true;
        dragPosition = global - origin;
        event->accept();
    } else {
        mousePressed = false;
        dragPosition = QPoint(0, 0);
        event->ignore();
    }
}

void MessageBox::mouseMoveEvent(QMouseEvent *event)
{
    if (mousePressed && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPos() - dragPosition);
        event->accept();
    }
}

void MessageBox::mouseReleaseEvent(QMouseEvent *)
{
    mousePressed = false;
}
