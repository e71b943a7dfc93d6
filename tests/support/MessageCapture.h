#ifndef VELTORA_MESSAGECAPTURE_H
#define VELTORA_MESSAGECAPTURE_H

#include <QStringList>
#include <QtGlobal>

// Collects the debug-stream messages of this process while it lives, so tests
// can assert on log texts without going through a file.
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    QStringList messages() const;
    bool contains(const QString &message) const { return messages().contains(message); }

private:
    QtMessageHandler m_previous;
};

#endif
