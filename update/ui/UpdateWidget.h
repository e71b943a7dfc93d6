#ifndef VELTORA_UPDATEWIDGET_H
#define VELTORA_UPDATEWIDGET_H

#include <QPoint>
#include <QString>
#include <QWidget>

class UpdateControl;
namespace Ui {
class UpdateWidget;
}

// The updater's window: a frameless, draggable panel with a status line and a
// progress bar that is either byte-accurate or an indeterminate busy bar. It
// creates the update controller and shows what it reports; every message box the
// controller asks for is final.
class UpdateWidget : public QWidget
{
    Q_OBJECT

public:
    explicit UpdateWidget(QWidget *parent = nullptr);
    ~UpdateWidget() override;

    struct ProgressScale
    {
        int maximum;
        int value;
    };
    // Bar numbers for a download, kept at or below 100,000,000 and full once done.
    static ProgressScale scaleProgress(qint64 totalSize, qint64 readySize);
    // The vendor's web site, opened after a final failure.
    static QString vendorSite();

    void setUI();
    void startUpdate();

    qint64 readySize = 0;
    qint64 totalSize = 0;
    QString url;
    QString platform;
    QString version;
    QString installPath;
    QString logFileName;
    bool skipFix = false;
    Ui::UpdateWidget *ui = nullptr;
    UpdateControl *control = nullptr;
    QPoint dragPosition;
    bool mousePressed = false;

public slots:
    void progressChangeSlot(int index, qint64 startPoint, qint64 endPoint, qint64 readySize);
    void chanageLabelText(const QString &text);
    void showMessageBox(const QString &text, bool isUploadLog);
    void showMovie();
    void hideMovie();
    void closeAppSlot();
    void closeUpdateSlot();
    void uploadLog();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
};

#endif
