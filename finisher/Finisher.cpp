#include "Finisher.h"

#include "BusyIndicator.h"
#include "LogUpload.h"
#include "MessageBox.h"
#include "SetupThread.h"
#include "ui_Finisher.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QPainter>
#include <QUrl>

#include <cstdlib>

Finisher::Finisher(QWidget *parent) : QWidget(parent), ui(new Ui::Finisher)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/image/update48.icns")));
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint);
    setAttribute(Qt::WA_TranslucentBackground);
    raise();
    progressIndicator = new BusyIndicator(ui->playLabel);
    progressIndicator->setColor(Qt::white);
    progressIndicator->startAnimation();
}

Finisher::~Finisher()
{
    delete ui;
    if (progressIndicator)
        progressIndicator->deleteLater();
    if (setupThread) {
        setupThread->wait();
        setupThread->deleteLater();
    }
}

QString Finisher::vendorSite()
{
    return QStringLiteral("http://" VELTORA_VENDOR_HOST "/");
}

void Finisher::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, 170));
}

void Finisher::startSetup()
{
    ui->stateLabel->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    ui->stateLabel->setText(tr("Installing new files ..."));
    setupThread = new SetupThread(installPath, updatePath);
    setupThread->configFileName = configFileName;
    setupThread->version = version;
    connect(setupThread, &SetupThread::setupSuccessSignal, this, &Finisher::setupSuccessSlot);
    connect(setupThread, &SetupThread::setupFailedSignal, this, &Finisher::setupFailedSlot);
    connect(setupThread, &SetupThread::messageBoxSignal, this, &Finisher::showMessageBox);
    setupThread->start(QThread::InheritPriority);
}

void Finisher::clearForMessage()
{
    progressIndicator->stopAnimation();
    hide();
}

void Finisher::setupSuccessSlot()
{
    clearForMessage();
    auto *box = new MessageBox(this, MessageBox::Information, tr("update"), tr("Update success,Please login Veltora manually"),
                               QMessageBox::Ok, QMessageBox::Ok);
    box->exec();
    box->deleteLater();
    close();
    // The window was hidden for the box, so its closing alone may not end the loop.
    QCoreApplication::quit();
}

void Finisher::showMessageBox(const QString &msg)
{
    clearForMessage();
    auto *box = new MessageBox(this, MessageBox::Critical, tr("update"), msg, QMessageBox::Ok, QMessageBox::Ok);
    box->exec();
    box->deleteLater();
    std::_Exit(-1);
}

void Finisher::setupFailedSlot()
{
    uploadLog();
    clearForMessage();
    auto *box = new MessageBox(this, MessageBox::Critical, tr("update"),
                               tr("Update error,It will jump to URL <" VELTORA_VENDOR_HOST
                                  ">.You can download newest version.Note that anti-virus software may intercept to "
                                  "jumping mistakenly"),
                               QMessageBox::Ok, QMessageBox::Ok);
    box->exec();
    box->deleteLater();
    QDesktopServices::openUrl(QUrl(vendorSite()));
    std::_Exit(-1);
}

void Finisher::uploadLog()
{
    LogUpload::upload(this, logFileName);
}
