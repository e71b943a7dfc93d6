#include "TestReleaseKey.h"

#include "ReleaseKey.h"
#include "SignedManifest.h"
#include "TestFiles.h"

TestReleaseKey::TestReleaseKey()
{
    QString error;
    m_valid = m_dir.isValid() && ReleaseSigner::generateKeyPair(m_dir.path(), &m_public, &error)
        && m_signer.load(secretKeyPath(), &error);
}

QString TestReleaseKey::secretKeyPath() const
{
    return m_dir.path() + QLatin1Char('/') + ReleaseSigner::secretKeyFileName();
}

bool TestReleaseKey::installInto(const QString &installPath) const
{
    return TestFiles::writeFile(ReleaseKey::bundleKeyPath(installPath), m_public + '\n');
}

bool TestReleaseKey::writeSigned(const QString &manifestPath, const QByteArray &bytes) const
{
    return TestFiles::writeFile(manifestPath, bytes)
        && TestFiles::writeFile(SignedManifest::signaturePathOf(manifestPath), sign(bytes));
}
