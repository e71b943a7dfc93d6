#include "UpdateWidget.h"

#include "LogUpload.h"
#include "MessageBox.h"
#include "UpdateArguments.h"
#include "UpdateControl.h"
#include "ui_UpdateWidget.h"

#include <QApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QMouseEvent>
#include <QUrl>

#include <cstdlib>

UpdateWidget::UpdateWidget(QWidget *parent) : QWidget(parent), ui(new Ui::UpdateWidget)
{
    ui->setupUi(this);
    setUI();
}

UpdateWidget::~UpdateWidget()
{
    delete ui;
}

UpdateWidget::ProgressScale UpdateWidget::scaleProgress(qint64 totalSize, qint64 readySize)
{
    qint64 divisor = 1;
    while (totalSize / divisor > 100000000)
        divisor *= 10;
    ProgressScale scale{int(totalSize / divisor), int(readySize / divisor)};
    if (readySize >= totalSize)
        scale.value = scale.maximum;
    return scale;
}

QString UpdateWidget::vendorSite()
{
    return QStringLiteral("http://" VELTORA_VENDOR_HOST "/");
}

void UpdateWidget::setUI()
{
    setWindowIcon(QIcon(QStringLiteral(":/image/update48.icns")));
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint);
    raise();

    ui->stateLabel->setAlignment(Qt::AlignHCenter);
    ui->stateLabel->setText(tr("Waiting to update"));
    ui->stateProgressBar->setValue(0);
    ui->stateProgressBar->hide();
    ui->playProgressBar->setMaximum(0);
    ui->playProgressBar->show();

    connect(ui->MinButton, &QPushButton::clicked, this, &QWidget::showMinimized);
    connect(ui->closeButton, &QPushButton::clicked, this, &UpdateWidget::closeUpdateSlot);
}

void UpdateWidget::startUpdate()
{
    control = new UpdateControl;
    control->skipFix = skipFix;
    control->platform = platform;
    control->updateUrl = url;
    control->currentUrl = url;
    control->version = version;
    control->installPath = installPath;
    control->logFileName = logFileName;

    connect(control, &UpdateControl::progressChangeSignal, this, &UpdateWidget::progressChangeSlot);
    connect(control, &UpdateControl::changeLabelTextSignal, this, &UpdateWidget::chanageLabelText);
    connect(control, &UpdateControl::showMessageBoxSignal, this, &UpdateWidget::showMessageBox);
    connect(control, &UpdateControl::showMovieSignal, this, &UpdateWidget::showMovie);
    connect(control, &UpdateControl::hideMovieSignal, this, &UpdateWidget::hideMovie);
    connect(control, &UpdateControl::exitSignal, this, &UpdateWidget::closeAppSlot);
    connect(control, &UpdateControl::heldBackSignal, this, [] { QCoreApplication::exit(UpdateArguments::HeldBack); });
    control->mainControlSlot();
}

void UpdateWidget::progressChangeSlot(int index, qint64 startPoint, qint64 endPoint, qint64 readySize)
{
    Q_UNUSED(index)
    this->readySize = readySize;
    totalSize = endPoint - startPoint;
    const ProgressScale scale = scaleProgress(totalSize, readySize);
    ui->stateProgressBar->setMaximum(scale.maximum);
    ui->stateProgressBar->setValue(scale.value);
}

void UpdateWidget::chanageLabelText(const QString &text)
{
    ui->stateLabel->setText(text);
}

void UpdateWidget::showMessageBox(const QString &text, bool isUploadLog)
{
    if (isUploadLog)
        uploadLog();
    auto *box = new MessageBox(this, MessageBox::Critical, tr("update"), text, QMessageBox::Ok, QMessageBox::Ok);
    box->exec();
    box->deleteLater();
    if (isUploadLog)
        QDesktopServices::openUrl(QUrl(vendorSite()));
    // Final: no return to the event loop, nothing more is processed.
    std::_Exit(-1);
}

void UpdateWidget::showMovie()
{
    ui->stateProgressBar->hide();
    ui->playProgressBar->show();
}

void UpdateWidget::hideMovie()
{
    ui->stateProgressBar->show();
    ui->playProgressBar->hide();
}

void UpdateWidget::closeAppSlot()
{
    QCoreApplication::quit();
}

void UpdateWidget::closeUpdateSlot()
{
    auto *box = new MessageBox(this, MessageBox::Question, tr("update"),
                               tr("Update is not complete,Are you sure you want to quit Update?"),
                               QMessageBox::Ok | QMessageBox::No, QMessageBox::Ok);
    const int result = box->exec();
    box->deleteLater();
    if (result == QMessageBox::Ok) {
        close();
        QCoreApplication::quit();
    }
}

void UpdateWidget::uploadLog()
{
    LogUpload::upload(this, logFileName);
}

void UpdateWidget::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        mousePressed = true;
        dragPosition = event->globalPos() - frameGeometry().topLeft();
        event->accept();
    }
}

void UpdateWidget::mouseMoveEvent(QMouseEvent *event)
{
    if (mousePressed) {
        move(event->globalPos() - dragPosition);
        event->accept();
    }
}

void UpdateWidget::mouseReleaseEvent(QMouseEvent *)
{
    mousePressed = false;
}
