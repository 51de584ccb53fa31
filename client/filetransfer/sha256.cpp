#include "sha256.h"

#ifdef QUILLET_HAVE_OPENSSL
#include <openssl/evp.h>
#else
#include <QCryptographicHash>
#endif

namespace quillet {

#ifdef QUILLET_HAVE_OPENSSL
struct Sha256::State {
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : d(std::make_unique<State>())
{
    if (!d->context || EVP_DigestInit_ex(d->context, EVP_sha256(), nullptr) != 1)
        qFatal("SHA-256 is not available from libcrypto");
}

void Sha256::addData(QByteArrayView bytes)
{
    EVP_DigestUpdate(d->context, bytes.data(), size_t(bytes.size()));
}

QByteArray Sha256::result()
{
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    EVP_DigestFinal_ex(d->context, reinterpret_cast<unsigned char *>(digest.data()), &length);
    digest.truncate(length);
    return digest;
}
#else
struct Sha256::State {
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

Sha256::Sha256() : d(std::make_unique<State>()) {}

void Sha256::addData(QByteArrayView bytes)
{
    d->hash.addData(bytes);
}

QByteArray Sha256::result()
{
    return d->hash.result();
}
#endif

Sha256::~Sha256() = default;

} // namespace quillet
