#ifndef VELTORA_TESTRELEASEKEY_H
#define VELTORA_TESTRELEASEKEY_H

#include "ReleaseSigner.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A release key pair made for one test, and what it signs: manifests with their
// detached signature, and installations that trust it.
class TestReleaseKey
{
public:
    TestReleaseKey();

    bool isValid() const { return m_valid; }
    QByteArray publicText() const { return m_public; }
    QString secretKeyPath() const;
    QByteArray sign(const QByteArray &bytes) const { return m_signer.sign(bytes); }

    // Puts the public key where the installation at installPath looks for it.
    bool installInto(const QString &installPath) const;
    // Writes the manifest's bytes and, beside them, their signature.
    bool writeSigned(const QString &manifestPath, const QByteArray &bytes) const;

private:
    QTemporaryDir m_dir;
    ReleaseSigner m_signer;
    QByteArray m_public;
    bool m_valid = false;
};

#endif
