#include "MessageBox.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {

QStringList buttonTexts(MessageBox &box)
{
    QStringList texts;
    for (QAbstractButton *button : box.buttonBox->buttons())
        texts << button->text();
    texts.sort();
    return texts;
}

// Sends a mouse event with the left button held, at a position inside the dialog.
void mouse(QWidget *widget, QEvent::Type type, const QPoint &local, Qt::MouseButton button = Qt::LeftButton)
{
    QMouseEvent event(type, local, widget->mapToGlobal(local), button,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button), Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

} // namespace

class TestMessageBox : public QObject
{
    Q_OBJECT

private slots:
    void buttonsReadYesOrNo_data();
    void buttonsReadYesOrNo();
    void returnCodes_data();
    void returnCodes();
    void closeButtonReturnsZero();
    void unattendedModeTakesTheDefault();
    void iconSheets_data();
    void iconSheets();
    void dragOnlyFromTheTitleBand();
    void looksRight();
};

void TestMessageBox::buttonsReadYesOrNo_data()
{
    QTest::addColumn<int>("buttons");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("Ok") << int(QMessageBox::Ok) << QStringList{"Yes"};
    QTest::newRow("Ok and No") << int(QMessageBox::Ok | QMessageBox::No) << QStringList{"No", "Yes"};
    QTest::newRow("Cancel reads No") << int(QMessageBox::Cancel) << QStringList{"No"};
    QTest::newRow("Yes and Close") << int(QMessageBox::Yes | QMessageBox::Close) << QStringList{"No", "Yes"};
}

void TestMessageBox::buttonsReadYesOrNo()
{
    QFETCH(int, buttons);
    QFETCH(QStringList, texts);
    MessageBox box(nullptr, MessageBox::Information, "title", "text", QMessageBox::StandardButtons(buttons), QMessageBox::Ok);
    QCOMPARE(buttonTexts(box), texts);
    for (QAbstractButton *button : box.buttonBox->buttons())
        QCOMPARE(button->size(), QSize(100, 30));
    QCOMPARE(box.size(), QSize(400, 170));
    QCOMPARE(box.titleLabel->text(), QStringLiteral("title"));
    QVERIFY(box.textLabel->wordWrap());
}

void TestMessageBox::returnCodes_data()
{
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("pressed");
    QTest::newRow("Ok") << int(QMessageBox::Ok) << int(QMessageBox::Ok);
    QTest::newRow("No of Ok and No") << int(QMessageBox::Ok | QMessageBox::No) << int(QMessageBox::No);
    QTest::newRow("Ok of Ok and No") << int(QMessageBox::Ok | QMessageBox::No) << int(QMessageBox::Ok);
    QTest::newRow("Cancel") << int(QMessageBox::Cancel) << int(QMessageBox::Cancel);
}

void TestMessageBox::returnCodes()
{
    QFETCH(int, buttons);
    QFETCH(int, pressed);
    MessageBox box(nullptr, MessageBox::Question, "t", "x", QMessageBox::StandardButtons(buttons), QMessageBox::Ok);
    QTimer::singleShot(50, &box, [&box, pressed] {
        box.buttonBox->button(QDialogButtonBox::StandardButton(pressed))->click();
    });
    QCOMPARE(box.exec(), pressed);
}

void TestMessageBox::closeButtonReturnsZero()
{
    MessageBox box(nullptr, MessageBox::Question, "t", "x", QMessageBox::Ok | QMessageBox::No, QMessageBox::Ok);
    QTimer::singleShot(50, &box, [&box] { box.closeButton->click(); });
    QCOMPARE(box.exec(), 0);
}

void TestMessageBox::unattendedModeTakesTheDefault()
{
    qputenv("VELTORA_MESSAGEBOX_AUTOCLOSE_MS", "20");
    MessageBox box(nullptr, MessageBox::Question, "t", "x", QMessageBox::Ok | QMessageBox::No, QMessageBox::No);
    // Read while the box is up: a hidden dialog may hand the default elsewhere.
    bool defaultWhileShown = false;
    QTimer::singleShot(0, &box, [&] { defaultWhileShown = box.buttonBox->button(QDialogButtonBox::No)->isDefault(); });
    const int result = box.exec();
    qunsetenv("VELTORA_MESSAGEBOX_AUTOCLOSE_MS");
    QCOMPARE(result, int(QMessageBox::No));
    QVERIFY(defaultWhileShown);
}

void TestMessageBox::iconSheets_data()
{
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("sheet");
    QTest::newRow("information") << 0 << "border-image:url(:/image/info.png)";
    QTest::newRow("question") << 1 << "border-image:url(:/image/question.png)";
    QTest::newRow("warning") << 2 << "border-image:url(:/image/error.png)";
    QTest::newRow("critical") << 3 << "border-image:url(:/image/error.png)";
    QTest::newRow("unknown") << 7 << "";
}

void TestMessageBox::iconSheets()
{
    QFETCH(int, icon);
    QFETCH(QString, sheet);
    MessageBox box(nullptr, MessageBox::Icon(icon), "t", "x", QMessageBox::Ok, QMessageBox::Ok);
    QCOMPARE(box.iconLabel->styleSheet(), sheet);
    QCOMPARE(box.iconLabel->size(), QSize(30, 30));
}

void TestMessageBox::dragOnlyFromTheTitleBand()
{
    MessageBox box(nullptr, MessageBox::Information, "t", "x", QMessageBox::Ok, QMessageBox::Ok);
    box.move(100, 100);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    const QPoint start = box.pos();

    mouse(&box, QEvent::MouseButtonPress, QPoint(60, 100)); // below the band
    QVERIFY(!box.mousePressed);
    mouse(&box, QEvent::MouseMove, QPoint(90, 130));
    QCOMPARE(box.pos(), start);

    mouse(&box, QEvent::MouseButtonPress, QPoint(60, 20), Qt::RightButton); // other button: nothing
    QVERIFY(!box.mousePressed);

    mouse(&box, QEvent::MouseButtonPress, QPoint(60, 20));
    QVERIFY(box.mousePressed);
    QCOMPARE(box.dragPosition, QPoint(60, 20));
    mouse(&box, QEvent::MouseMove, QPoint(90, 30));
    QCOMPARE(box.pos(), start + QPoint(30, 10));
    mouse(&box, QEvent::MouseButtonRelease, QPoint(90, 30));
    QVERIFY(!box.mousePressed);

    // The band's edges are outside: the comparisons are strict.
    mouse(&box, QEvent::MouseButtonPress, QPoint(0, 20));
    QVERIFY(!box.mousePressed);
    mouse(&box, QEvent::MouseButtonPress, QPoint(60, 45));
    QVERIFY(!box.mousePressed);
}

void TestMessageBox::looksRight()
{
    MessageBox box(nullptr, MessageBox::Critical, "update", "Something went wrong", QMessageBox::Ok | QMessageBox::No,
                   QMessageBox::Ok);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    const QImage shot = box.grab().toImage();
    shot.save(QStringLiteral("messagebox.png"));
    QCOMPARE(shot.size(), QSize(400, 170));
    QCOMPARE(QColor(shot.pixel(200, 10)), QColor(47, 186, 119));   // green title band
    QCOMPARE(QColor(shot.pixel(60, 140)), QColor(Qt::white));      // white body
    const QPoint icon = box.iconLabel->mapTo(&box, QPoint(6, 15));
    const QColor iconColour(shot.pixel(icon));
    QVERIFY2(iconColour.red() > 180 && iconColour.green() < 120, qPrintable(iconColour.name())); // red error picture
    QAbstractButton *yes = box.buttonBox->button(QDialogButtonBox::Ok);
    const QPoint border = yes->mapTo(&box, QPoint(50, 0));
    QCOMPARE(QColor(shot.pixel(border)), QColor(176, 181, 185));   // button border
}

QTEST_MAIN(TestMessageBox)
#include "tst_messagebox.moc"
