#include "publish/certificatepair.h"

#include <QFile>

#include <memory>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace {

// Asked for a pass phrase: there is none, so the read fails instead of
// waiting for someone at a terminal.
int noPassPhrase(char *, int, int, void *)
{
    return 0;
}

struct Freed
{
    void operator()(BIO *bio) const { BIO_free(bio); }
    void operator()(X509 *cert) const { X509_free(cert); }
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};

std::unique_ptr<BIO, Freed> openPem(const QString &path, QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    content = file.read(1 << 20);
    return std::unique_ptr<BIO, Freed>(BIO_new_mem_buf(content.constData(), int(content.size())));
}

QString checkFiles(const QString &certFile, const QString &keyFile)
{
    QByteArray certText;
    QByteArray keyText;
    const auto certBio = openPem(certFile, certText);
    if (!certBio)
        return QStringLiteral("can't read the certificate file ") + certFile;
    const auto keyBio = openPem(keyFile, keyText);
    if (!keyBio)
        return QStringLiteral("can't read the key file ") + keyFile;
    const std::unique_ptr<X509, Freed> cert(
        PEM_read_bio_X509(certBio.get(), nullptr, noPassPhrase, nullptr));
    if (!cert)
        return certFile + QStringLiteral(" holds no PEM certificate");
    if (keyText.contains("ENCRYPTED"))
        return keyFile + QStringLiteral(" is encrypted: the key must be stored without a pass "
                                        "phrase, readable by this user only");
    const std::unique_ptr<EVP_PKEY, Freed> key(
        PEM_read_bio_PrivateKey(keyBio.get(), nullptr, noPassPhrase, nullptr));
    if (!key)
        return keyFile + QStringLiteral(" holds no PEM private key");
    if (X509_check_private_key(cert.get(), key.get()) != 1)
        return keyFile + QStringLiteral(" is not the key of the certificate in ") + certFile;
    return {};
}

} // namespace

QString CertificatePair::check(const QString &certFile, const QString &keyFile)
{
    const QString why = checkFiles(certFile, keyFile);
    // The library's TLS on this thread must not find these errors later
    // and take them for its own.
    ERR_clear_error();
    return why;
}
