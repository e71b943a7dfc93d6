#ifndef VELTORA_FINISHER_H
#define VELTORA_FINISHER_H

#include <QString>
#include <QWidget>

class BusyIndicator;
class SetupThread;
namespace Ui {
class Finisher;
}

// The setup program's window: a small dark panel with a spinner while the worker
// installs, then one final message box.
class Finisher : public QWidget
{
    Q_OBJECT

public:
    explicit Finisher(QWidget *parent = nullptr);
    ~Finisher() override;

    static QString vendorSite();
    void startSetup();

    QString installPath;
    QString updatePath;
    QString logFileName;
    QString configFileName;
    QString version;
    Ui::Finisher *ui = nullptr;
    BusyIndicator *progressIndicator = nullptr;
    SetupThread *setupThread = nullptr;

public slots:
    void setupSuccessSlot();
    void showMessageBox(const QString &msg);
    void setupFailedSlot();
    void uploadLog();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // Stops the spinner and hides the window, so only the box is on screen.
    void clearForMessage();
};

#endif
