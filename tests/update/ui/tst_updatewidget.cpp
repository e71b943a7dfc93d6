#include "DataPaths.h"
#include "FinalPathRun.h"
#include "MessageBox.h"
#include "TestHome.h"
#include "TestHttpServer.h"
#include "UpdateWidget.h"
#include "ui_UpdateWidget.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

namespace {

void mouse(QWidget *target, QEvent::Type type, const QPoint &local)
{
    QMouseEvent event(type, local, target->mapToGlobal(local), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(Qt::LeftButton), Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

} // namespace

class TestUpdateWidget : public QObject
{
    Q_OBJECT

private slots:
    void progressScaling_data();
    void progressScaling();
    void startsWaitingWithTheBusyBar();
    void barSwitch();
    void formLayout();
    void quitRefusedCarriesOn();
    void dragFromTheBackgroundOnly();
    void looksRight();
    void finalMessage_data();
    void finalMessage();
    // Last: once the application was told to quit, no nested event loop runs any more.
    void quitConfirmedCloses();
};

void TestUpdateWidget::progressScaling_data()
{
    QTest::addColumn<qint64>("total");
    QTest::addColumn<qint64>("ready");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    QTest::newRow("scaled by ten") << qint64(250000000) << qint64(150000000) << 25000000 << 15000000;
    QTest::newRow("exactly 100,000,000 unscaled") << qint64(100000000) << qint64(5) << 100000000 << 5;
    QTest::newRow("small") << qint64(1000) << qint64(999) << 1000 << 999;
    QTest::newRow("one over the total is full") << qint64(10) << qint64(11) << 10 << 10;
    QTest::newRow("scaled and over") << qint64(250000001) << qint64(250000002) << 25000000 << 25000000;
    QTest::newRow("huge") << qint64(5000000000000LL) << qint64(2500000000000LL) << 50000000 << 25000000;
    QTest::newRow("empty file") << qint64(0) << qint64(0) << 0 << 0;
}

void TestUpdateWidget::progressScaling()
{
    QFETCH(qint64, total);
    QFETCH(qint64, ready);
    QFETCH(int, maximum);
    QFETCH(int, value);
    UpdateWidget window;
    window.progressChangeSlot(7, 0, total, ready);
    QCOMPARE(window.ui->stateProgressBar->maximum(), maximum);
    QCOMPARE(window.ui->stateProgressBar->value(), value);
    QCOMPARE(window.totalSize, total);
    QCOMPARE(window.readySize, ready);
}

void TestUpdateWidget::startsWaitingWithTheBusyBar()
{
    UpdateWidget window;
    window.show();
    QCOMPARE(window.ui->stateLabel->text(), QStringLiteral("Waiting to update"));
    QVERIFY(window.ui->playProgressBar->isVisible());
    QCOMPARE(window.ui->playProgressBar->maximum(), 0);
    QVERIFY(!window.ui->stateProgressBar->isVisible());
    QCOMPARE(window.ui->stateProgressBar->value(), 0);
    QVERIFY(window.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(window.testAttribute(Qt::WA_TranslucentBackground));
    window.chanageLabelText(QStringLiteral("Downloading,Please wait"));
    QCOMPARE(window.ui->stateLabel->text(), QStringLiteral("Downloading,Please wait"));
}

void TestUpdateWidget::barSwitch()
{
    UpdateWidget window;
    window.show();
    window.hideMovie();
    QVERIFY(window.ui->stateProgressBar->isVisible());
    QVERIFY(!window.ui->playProgressBar->isVisible());
    window.showMovie();
    QVERIFY(!window.ui->stateProgressBar->isVisible());
    QVERIFY(window.ui->playProgressBar->isVisible());
}

void TestUpdateWidget::formLayout()
{
    UpdateWidget window;
    QCOMPARE(window.size(), QSize(560, 400));
    QCOMPARE(window.ui->stateProgressBar->geometry(), QRect(80, 340, 400, 20));
    QCOMPARE(window.ui->stateLabel->geometry(), QRect(15, 290, 530, 30));
    QCOMPARE(window.ui->backLabel->geometry(), QRect(0, 0, 560, 400));
    QCOMPARE(window.ui->logoLabel->geometry(), QRect(150, 90, 260, 74));
    QCOMPARE(window.ui->veltoraLabel->geometry(), QRect(20, 20, 131, 20));
    QCOMPARE(window.ui->MinButton->geometry(), QRect(490, 20, 12, 12));
    QCOMPARE(window.ui->closeButton->geometry(), QRect(515, 20, 12, 12));
    QCOMPARE(window.ui->playProgressBar->geometry(), QRect(80, 340, 400, 20));
    QCOMPARE(window.ui->veltoraLabel->text(), QStringLiteral("Veltora update"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Veltora update"));
    // Raised in form order: the busy bar is on top, the background at the bottom.
    const QObjectList order = window.children();
    QVERIFY(order.indexOf(window.ui->playProgressBar) > order.indexOf(window.ui->closeButton));
    QVERIFY(order.indexOf(window.ui->backLabel) < order.indexOf(window.ui->stateProgressBar));
}

void TestUpdateWidget::quitConfirmedCloses()
{
    qputenv("VELTORA_MESSAGEBOX_AUTOCLOSE_MS", "10");
    UpdateWidget window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.closeUpdateSlot();
    qunsetenv("VELTORA_MESSAGEBOX_AUTOCLOSE_MS");
    QVERIFY(!window.isVisible());
}

void TestUpdateWidget::quitRefusedCarriesOn()
{
    UpdateWidget window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QString question;
    QTimer::singleShot(50, &window, [&question] {
        auto *box = qobject_cast<MessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        question = box->textLabel->text();
        box->buttonBox->button(QDialogButtonBox::No)->click();
    });
    window.closeUpdateSlot();
    QCOMPARE(question, QStringLiteral("Update is not complete,Are you sure you want to quit Update?"));
    QVERIFY(window.isVisible());
}

void TestUpdateWidget::dragFromTheBackgroundOnly()
{
    UpdateWidget window;
    window.move(50, 50);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QPoint start = window.pos();
    // The background label does not take the press: it reaches the window.
    mouse(window.ui->backLabel, QEvent::MouseButtonPress, QPoint(300, 200));
    QVERIFY(window.mousePressed);
    mouse(window.ui->backLabel, QEvent::MouseMove, QPoint(340, 230));
    QCOMPARE(window.pos(), start + QPoint(40, 30));
    mouse(window.ui->backLabel, QEvent::MouseButtonRelease, QPoint(340, 230));
    QVERIFY(!window.mousePressed);

    mouse(window.ui->MinButton, QEvent::MouseButtonPress, QPoint(5, 5));
    QVERIFY(!window.mousePressed);
    mouse(window.ui->MinButton, QEvent::MouseButtonRelease, QPoint(5, 5));
}

void TestUpdateWidget::looksRight()
{
    UpdateWidget window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.hideMovie();
    window.progressChangeSlot(0, 0, 100, 50);
    window.chanageLabelText(QStringLiteral("Downloading,Please wait"));
    const QImage shot = window.grab().toImage();
    shot.save(QStringLiteral("updatewidget.png"));
    const QImage background(QStringLiteral(":/image/bg.png"));
    QCOMPARE(shot.pixel(30, 200), background.pixel(30, 200));                 // background picture
    QCOMPARE(QColor(shot.pixel(90, 350)), QColor(0x24, 0xe3, 0x92));           // filled part of the bar
    QCOMPARE(QColor(shot.pixel(470, 350)), QColor(0xe7, 0xe7, 0xe7));          // empty part of the bar
    const QColor logo(shot.pixel(150 + 12, 90 + 50));                           // the logo's green badge
    QVERIFY2(logo.green() > 150 && logo.red() < 120, qPrintable(logo.name()));
}

void TestUpdateWidget::finalMessage_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("events");
    QTest::newRow("with upload: upload, message, web site") << "upload" << 255 << QStringList{"upload", "box", "open"};
    QTest::newRow("message only") << "no-upload" << 255 << QStringList{"box"};
    QTest::newRow("request to quit ends the loop") << "exit" << 0 << QStringList();
}

void TestUpdateWidget::finalMessage()
{
    QFETCH(QString, path);
    QFETCH(int, exitCode);
    QFETCH(QStringList, events);
    // The desktop services cannot open a page on the offscreen platform: a real display is used.
    const bool opensTheSite = events.contains("open");
    if (opensTheSite && !FinalPathRun::realDisplayAvailable())
        QSKIP("xvfb-run is not installed");
    const FinalPathRun::Result result = FinalPathRun::run(QStringLiteral(UPDATEWIDGET_CHILD), {path, "run.log"},
                                                          "the log\r\n", opensTheSite);
    QVERIFY(result.ran);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.events, events);
    if (opensTheSite) {
        QVERIFY(result.uploads.first().body.contains("the log\r\n"));
        QCOMPARE(result.opened, QList<QStringList>{QStringList{UpdateWidget::vendorSite()}});
    }
}

QTEST_MAIN(TestUpdateWidget)
#include "tst_updatewidget.moc"
