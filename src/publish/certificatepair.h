#pragma once

#include <QString>

// A client certificate and its private key, PEM files, as a broker that
// requires certificates will take them.
namespace CertificatePair {

// Empty when both can be read and the key is the certificate's; else what
// is wrong, in a few words. An encrypted key is refused: nobody may be
// there to type its pass phrase.
QString check(const QString &certFile, const QString &keyFile);

} // namespace CertificatePair
