#ifndef VELTORA_DIALOGSHOWREPORTER_H
#define VELTORA_DIALOGSHOWREPORTER_H

#include <QObject>

// For child programs of the tests: writes the line "box" to standard output
// whenever a dialog is shown, so the parent can order it among what it sees
// itself (uploads, started programs).
class DialogShowReporter : public QObject
{
    Q_OBJECT

public:
    explicit DialogShowReporter(QObject *parent = nullptr);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};

#endif
